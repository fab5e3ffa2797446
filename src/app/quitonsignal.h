#ifndef TESSARO_QUITONSIGNAL_H
#define TESSARO_QUITONSIGNAL_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM (Ctrl+C in a terminal, a logout, a service stop) into a normal
// end of the event loop, so the closing phase still saves the settings and the writer still
// finishes the file. The handler only writes one byte into a socket pair; the quit happens
// on the GUI thread when the notifier sees it.
//
// Threads: constructed and notified on the GUI thread; the signal handler runs on whichever
// thread the kernel picks and touches only the socket.
class QuitOnSignal : public QObject
{
    Q_OBJECT
public:
    explicit QuitOnSignal(QObject* parent = nullptr);
    ~QuitOnSignal() override;

private:
    void onReadable();
    QSocketNotifier* notifier = nullptr;
};

#endif
