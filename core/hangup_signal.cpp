#include "core/hangup_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

namespace zv {

namespace {
int hangupPipe[2] = {-1, -1};  // [0] read by the event loop, [1] written by the handler

void onHangup(int) {
    const int saved = errno;
    const char byte = 1;
    (void)!write(hangupPipe[1], &byte, 1);  // a full pipe already holds a request
    errno = saved;
}
}  // namespace

HangupSignal::HangupSignal(QObject* parent) : QObject(parent) {
    if (pipe2(hangupPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = QStringLiteral("pipe2: ") + QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    notifier_ = new QSocketNotifier(hangupPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char bytes[64];
        bool any = false;
        while (read(hangupPipe[0], bytes, sizeof bytes) > 0) any = true;
        if (any) emit hangUp();  // several signals before we looked: one reopen
    });
    struct sigaction action {};
    action.sa_handler = onHangup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGHUP, &action, nullptr) != 0)
        error_ = QStringLiteral("sigaction: ") + QString::fromLocal8Bit(std::strerror(errno));
}

HangupSignal::~HangupSignal() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGHUP, &action, nullptr);
    delete notifier_;
    for (int& fd : hangupPipe) {
        if (fd >= 0) (void)close(fd);
        fd = -1;
    }
}

}  // namespace zv
