#include "freespacewatch.h"

#include "controllerlog.h"
#include "recordingcontrol.h"
#include "recordingdestination.h"

namespace {

// The least free space a recording starts with, and the warnings while it runs.
constexpr qint64 kLeastSecondsToStart = 60;
constexpr qint64 kSpaceWarnings[] = {600, 60};

} // namespace

FreeSpaceWatch::FreeSpaceWatch(ControllerLog& log, std::function<Recording()> read)
    : log(log), read(std::move(read))
{
    timer.setInterval(1000);
    QObject::connect(&timer, &QTimer::timeout, &timer, [this] { check(); });
}

QString FreeSpaceWatch::recordingProblem(const QString& name, qint64 bytesPerSecond)
{
    const QString problem = RecordingDestination::problem(name);
    if (!problem.isEmpty())
        return problem;
    const qint64 available = RecordingDestination::availableBytes(name);
    const qint64 needed = kLeastSecondsToStart * bytesPerSecond;
    if (available >= 0 && available < needed)
        return tr("only %1 MB free for '%2'; one minute of recording needs %3 MB")
            .arg(double(available) / 1e6, 0, 'f', 1)
            .arg(name)
            .arg(double(needed) / 1e6, 0, 'f', 1);
    return QString();
}

void FreeSpaceWatch::start()
{
    lastWarning = 0;
    check();
    timer.start();
}

void FreeSpaceWatch::check()
{
    const Recording r = read();
    const qint64 available = RecordingDestination::availableBytes(r.file);
    if (!r.running || r.bytesPerSecond <= 0 || available < 0) {
        secondsLeft_ = -1;
        if (!r.running)
            timer.stop();
        return;
    }
    // What still waits in RAM takes its share of the disk too.
    secondsLeft_ = qMax<qint64>(0, available - r.bufferedBytes) / r.bytesPerSecond;
    qint64 due = 0; // the lowest threshold passed
    for (qint64 threshold : kSpaceWarnings)
        if (secondsLeft_ <= threshold)
            due = threshold;
    if (due == 0 || (lastWarning != 0 && lastWarning <= due))
        return;
    lastWarning = due;
    log.appendWarning(tr("%1 of recording time left on the disk of '%2'")
                          .arg(RecordingControl::clockText(secondsLeft_, 1), r.file));
}
