#ifndef TESSARO_QUITONSIGNAL_H
#define TESSARO_QUITONSIGNAL_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP (Ctrl+C, a service stop, a closed terminal or an ssh logout)
// into a normal end of the event loop, so the closing phase still saves the settings and the
// writer still drains the RAM buffer and finishes the file with its final header. SIGPIPE is
// ignored meanwhile: a reader of standard error that went away (`| head`, a quit pager, a
// dropped ssh pipe) makes a diagnostic fail, never the recording. The handler only writes one
// byte into a socket pair; the quit happens on the GUI thread when the notifier sees it.
//
// Threads: constructed and notified on the GUI thread; the signal handler runs on whichever
// thread the kernel picks and touches only the socket.
class QuitOnSignal : public QObject
{
    Q_OBJECT
public:
    explicit QuitOnSignal(QObject* parent = nullptr);
    ~QuitOnSignal() override;

    // True once one of the signals came, even before an event loop runs to end: a task still
    // starting up asks this before it begins what the signal was meant to prevent.
    static bool stopRequested();

private:
    void onReadable();
    QSocketNotifier* notifier = nullptr;
};

#endif
