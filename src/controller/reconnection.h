#ifndef TESSARO_RECONNECTION_H
#define TESSARO_RECONNECTION_H

#include <QCoreApplication>
#include <QString>
#include <QTimer>
#include <functional>

class ControllerLog;
class DriverSession;

// Bringing a lost device back: the driver and rate to return to, and the attempt once a second
// until the driver is ready again, with the rate chosen while the device was away.
//
// Threads: GUI thread only; its timer fires there.
class Reconnection
{
    Q_DECLARE_TR_FUNCTIONS(Reconnection)
public:
    // initialize: brings up a driver at a rate, true once it is ready.
    Reconnection(DriverSession& session, ControllerLog& log,
                 std::function<bool(const QString&, double)> initialize);

    QString driver() const { return driver_; }
    void setDriver(const QString& name) { driver_ = name; }
    // The rate to come back with: the one last asked for.
    void setRate(double rate) { rate_ = rate; }
    bool isActive() const { return timer.isActive(); }
    // Begins the attempts unless they already run.
    void start();
    // Begins them afresh: the first attempt a full second from now.
    void restart() { timer.start(); }
    void stop() { timer.stop(); }
    // One attempt; true when the driver is ready again.
    bool attempt();

private:
    DriverSession& session;
    ControllerLog& log;
    std::function<bool(const QString&, double)> initialize;
    QTimer timer;
    QString driver_;
    double rate_ = 0;
};

#endif
