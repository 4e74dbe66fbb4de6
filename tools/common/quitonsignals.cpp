// SPDX-License-Identifier: MIT
#include "quitonsignals.h"

#include <QCoreApplication>

#if defined(Q_OS_WIN)
#  include <qt_windows.h>
#elif defined(Q_OS_UNIX)
#  include <QSocketNotifier>

#  include <csignal>
#  include <sys/socket.h>
#  include <unistd.h>
#endif

namespace {

#if defined(Q_OS_WIN)

// Runs on a thread of its own that the system starts: only posts the quit to the event loop.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        QMetaObject::invokeMethod(QCoreApplication::instance(),
                                  &QCoreApplication::quit,
                                  Qt::QueuedConnection);
        return TRUE;
    default:
        return FALSE;
    }
}

#elif defined(Q_OS_UNIX)

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop does the rest.
void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

#endif

} // namespace

void quitOnSignals(QCoreApplication &app)
{
#if defined(Q_OS_WIN)
    Q_UNUSED(app);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#elif defined(Q_OS_UNIX)
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char byte;
        [[maybe_unused]] const ssize_t read = ::read(signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#else
    Q_UNUSED(app);
#endif
}
