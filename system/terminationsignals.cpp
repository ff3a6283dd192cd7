#include "terminationsignals.h"

#include <QCoreApplication>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace veltor {
namespace system {

#ifdef Q_OS_UNIX
namespace {

int signalPipe[2] = {-1, -1};

void writeSignalByte(int signalNumber)
{
    // The interrupted code may be about to read errno. The socket is
    // non-blocking: with its buffer full, a quit is on its way anyway, and
    // waiting here would hang the thread the loop runs on.
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    const ssize_t written = ::write(signalPipe[0], &byte, 1);
    Q_UNUSED(written)
    errno = savedErrno;
}

} // namespace

bool quitOnTerminationSignals(QCoreApplication *app, std::function<void(int)> onSignal)
{
    if (signalPipe[0] == -1 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app, onSignal] {
        char byte = 0;
        if (::read(signalPipe[1], &byte, 1) == 1 && onSignal)
            onSignal(int(byte));
        app->quit();
    });

    struct sigaction action = {};
    action.sa_handler = writeSignalByte;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    return true;
}
#else
bool quitOnTerminationSignals(QCoreApplication *, std::function<void(int)>)
{
    return false;
}
#endif

} // namespace system
} // namespace veltor
