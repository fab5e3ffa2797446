#ifndef TESSARO_RECORDINGJOURNAL_H
#define TESSARO_RECORDINGJOURNAL_H

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

// The files a recording has open, one absolute path per line in a small text file that is
// flushed to the disk at every change: whatever is still listed at the next start was cut off
// by a crash or a power loss and needs its header repaired.
//
// Threads: add and remove on the writer thread (connected directly to its signals), entries
// and clear on the GUI thread at start-up. mutex guards the file's read-modify-write within
// this process, a lock file beside the journal between recorders.
class RecordingJournal : public QObject
{
    Q_OBJECT
public:
    explicit RecordingJournal(const QString& path, QObject* parent = nullptr);

    // $XDG_STATE_HOME/Veloran/open-recordings, or the same under ~/.local/state.
    static QString defaultPath();
    QString path() const;
    QStringList entries() const;
    void clear();

public slots:
    void add(const QString& fileName);
    void remove(const QString& fileName);

signals:
    // The journal could not be stored; a crash would then go unrepaired.
    void failed(const QString& message);

private:
    void update(const std::function<void(QStringList&)>& change);
    QStringList read() const;
    void store(const QStringList& lines);

    const QString path_;
    mutable QMutex mutex;
};

#endif
