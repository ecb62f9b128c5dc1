#include "client/stop_signals.h"

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "client/cli_error.h"

namespace zv::client {

namespace {

int stopPipe = -1;  // written by the handler
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onStop(int) {
    const int saved = errno;
    const char byte = 1;
    (void)!::write(stopPipe, &byte, 1);  // a full pipe already holds a request
    errno = saved;
}

// False (errno set) when one of the signals refused it.
bool setAction(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    (void)sigemptyset(&action.sa_mask);  // cannot fail on a valid set
    action.sa_flags = SA_RESTART;
    bool ok = true;
    for (int number : kSignals) ok = ::sigaction(number, &action, nullptr) == 0 && ok;
    return ok;
}

}  // namespace

StopSignals::StopSignals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw Failure(std::string("cannot make a pipe: ") + std::strerror(errno));
    read_ = Descriptor(fds[0]), write_ = Descriptor(fds[1]);
    stopPipe = fds[1];
    if (!setAction(onStop)) {
        const std::string why = std::strerror(errno);
        (void)setAction(SIG_DFL);  // as before, as far as it goes
        throw Failure("cannot handle signals: " + why);
    }
}

StopSignals::~StopSignals() {
    (void)setAction(SIG_DFL);  // a signal that cannot be reset cannot be set either
    stopPipe = -1;
}

int StopSignals::take() {
    char bytes[64];
    int count = 0;
    for (ssize_t n; (n = ::read(read_.get(), bytes, sizeof bytes)) > 0;) count += int(n);
    return count;
}

}  // namespace zv::client
