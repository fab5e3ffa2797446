#ifndef TESSARO_FREESPACEWATCH_H
#define TESSARO_FREESPACEWATCH_H

#include <QCoreApplication>
#include <QString>
#include <QTimer>
#include <functional>

class ControllerLog;

// The free space on the destination's disk: whether a recording may start, and once a second
// while one runs the recording time left, with one warning as it passes each threshold.
//
// Threads: GUI thread only; its timer fires there.
class FreeSpaceWatch
{
    Q_DECLARE_TR_FUNCTIONS(FreeSpaceWatch)
public:
    // What a look at the disk needs to know of the recording.
    struct Recording
    {
        bool running = false;
        QString file; // the file being written
        qint64 bytesPerSecond = 0;
        qint64 bufferedBytes = 0; // still in RAM, bound for the same disk
    };

    FreeSpaceWatch(ControllerLog& log, std::function<Recording()> read);

    // Why a recording to name cannot start at bytesPerSecond; empty when it can.
    static QString recordingProblem(const QString& name, qint64 bytesPerSecond);

    // -1 when not recording or unknown.
    qint64 secondsLeft() const { return secondsLeft_; }
    // A recording started: looks now and then once a second, warning afresh.
    void start();
    // Looks at once; stops looking when no recording runs.
    void check();

private:
    ControllerLog& log;
    std::function<Recording()> read;
    QTimer timer;
    qint64 secondsLeft_ = -1;
    qint64 lastWarning = 0; // the threshold last warned about, in seconds; 0 for none
};

#endif
