#include "app/quitsignals.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

// A signal handler may do next to nothing: it writes the signal's number,
// and the event loop reads it and closes the window where closing is safe.
int g_wakeFds[2] = {-1, -1};
QPointer<QWidget> g_target;
int g_quitSignal = 0;

void onSignal(int signal)
{
    // Both ends are non-blocking: a burst of signals that fills the socket
    // must not hang the handler, and one byte waiting wakes the loop anyway.
    const int savedErrno = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const auto written = ::write(g_wakeFds[0], &byte, 1);
    errno = savedErrno;
}

void onWake()
{
    // The first signal is the one that ends the program; the rest of a
    // burst only needs reading away, so that it does not wake us again.
    char signal = 0;
    const bool woken = ::read(g_wakeFds[1], &signal, 1) == 1;
    char rest[64];
    while (::read(g_wakeFds[1], rest, sizeof rest) > 0) {
    }
    if (!woken || g_quitSignal != 0)
        return;
    g_quitSignal = signal;
    if (g_target)
        g_target->close();
    // Ends every event loop at once, a message box's included; quit()
    // would ask each window to close first, and a box may refuse.
    QCoreApplication::exit(0);
}

} // namespace

void closeOnQuitSignals(QWidget *window)
{
    static const bool ready = [] {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_wakeFds) != 0)
            return false;
        auto *notifier = new QSocketNotifier(g_wakeFds[1], QSocketNotifier::Read, qApp);
        QObject::connect(notifier, &QSocketNotifier::activated, qApp, onWake);
        return true;
    }();
    if (!ready)
        return;
    g_target = window;
    g_quitSignal = 0;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kQuitSignals)
        ::sigaction(signal, &action, nullptr);
}

int quitSignal()
{
    return g_quitSignal;
}
