#ifndef TESSARO_TAKELOG_H
#define TESSARO_TAKELOG_H

#include <QObject>
#include <QString>

class AudioFileWriter;

// What the recordist reads about the files of a recording: a line when each take, track or
// part begins ("recording into take_0002.dsf") and one when it is closed with the audio and
// the bytes it holds, read back from the finished file rather than from a clock, so the line
// says what a player will find. It also numbers the tracks of the take for the window.
//
// Threads: the writer emits fileOpened and fileClosed on its own thread; they reach the slots
// here queued, on the GUI thread this object lives in. Everything else is called on the GUI
// thread too, so no field is shared and none needs a lock.
class TakeLog : public QObject
{
    Q_OBJECT
public:
    explicit TakeLog(QObject* parent = nullptr);

    void follow(AudioFileWriter* writer);
    // A recording starts with track 1; each next track counts on.
    void startTake();
    void startTrack();
    int trackNumber() const { return trackNumber_; }

    // "00:03:12.4": hours, minutes, seconds and tenths.
    static QString lengthText(double seconds);

signals:
    void info(const QString& message);
    void warning(const QString& message);

private:
    void onFileOpened(const QString& name);
    void onFileClosed(const QString& name);

    int trackNumber_ = 0;
};

#endif
