#include "platform/qt/qt_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>

#include "platform/dialog.h"
#include "platform/qt/qt_dialog.h"

namespace qtdialog {

namespace {

// The self-pipe: the handler only writes a byte, the UI thread reads it.
int g_pipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a request.
    const ssize_t written = ::write(g_pipe[1], &byte, 1);
    (void)written;
    errno = saved;
}

constexpr int RETRY_MS = 100;

void CloseInnermost() {
    if (CDialog* top = Topmost()) top->PostClose();
}

}  // namespace

void CloseWindowsOnTerminationSignals() {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || g_pipe[0] >= 0) return;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;

    auto* retry = new QTimer(app);
    retry->setInterval(RETRY_MS);
    QObject::connect(retry, &QTimer::timeout, [retry] {
        if (OpenCount() == 0) {
            retry->stop();
            return;
        }
        CloseInnermost();
    });
    auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, [retry] {
        char drain[64];
        while (::read(g_pipe[0], drain, sizeof drain) > 0) {
        }
        CloseInnermost();
        retry->start();
    });

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted calls on the other threads (the server's accept, the announcer's wait)
    // carry on as if nothing had happened.
    action.sa_flags = SA_RESTART;
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction previous = {};
        if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace qtdialog
