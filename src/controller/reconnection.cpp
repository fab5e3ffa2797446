#include "reconnection.h"

#include "controllerlog.h"
#include "driversession.h"

Reconnection::Reconnection(DriverSession& session, ControllerLog& log,
                           std::function<bool(const QString&, double)> initialize)
    : session(session), log(log), initialize(std::move(initialize))
{
    timer.setInterval(1000);
    QObject::connect(&timer, &QTimer::timeout, &timer, [this] { attempt(); });
}

void Reconnection::start()
{
    if (!timer.isActive())
        timer.start();
}

// The rate last asked for, also one chosen while the device was away; a device absent when
// the driver list was read (a card plugged in later) is found by reading it again.
bool Reconnection::attempt()
{
    session.rescanFor(driver_);
    const double current = session.sampleRate();
    const double rate = rate_ > 0 ? rate_ : current;
    const bool changed = current > 0 && qRound64(rate) != qRound64(current);
    if (!initialize(driver_, rate))
        return false;
    if (changed)
        log.appendInfo(
            tr("%1 is back: the sampling rate chosen meanwhile, %2 Hz, is applied (now %3)")
                .arg(driver_, DriverSession::hzText(rate), session.sampleRateText()));
    return true;
}
