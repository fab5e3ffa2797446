#include "quitonsignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_sockets[2] = {-1, -1};
volatile std::sig_atomic_t g_stopRequested = 0;
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onSignal(int number)
{
    g_stopRequested = 1;
    const unsigned char byte = static_cast<unsigned char>(number);
    const ssize_t ignored = ::write(g_sockets[0], &byte, 1);
    (void)ignored;
}
} // namespace

QuitOnSignal::QuitOnSignal(QObject* parent) : QObject(parent)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_sockets) != 0)
        return; // without the pair the default handlers stay: nothing worse than before
    notifier = new QSocketNotifier(g_sockets[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &QuitOnSignal::onReadable);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kStopSignals)
        sigaction(number, &action, nullptr);
}

QuitOnSignal::~QuitOnSignal()
{
    // SIGPIPE stays ignored: the closing lines of the process may still meet a closed pipe.
    if (!notifier)
        return;
    for (int number : kStopSignals)
        std::signal(number, SIG_DFL);
    ::close(g_sockets[0]);
    ::close(g_sockets[1]);
}

bool QuitOnSignal::stopRequested()
{
    return g_stopRequested != 0;
}

void QuitOnSignal::onReadable()
{
    unsigned char byte = 0;
    if (::read(g_sockets[1], &byte, 1) == 1)
        QCoreApplication::quit();
}
