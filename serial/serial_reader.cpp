#include "serial/serial_reader.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>
#include <vector>

namespace zv {

namespace {
// Bytes per read; the tty gives at most its 4 KiB buffer at a time.
constexpr std::size_t kChunk = 64 * 1024;
}  // namespace

QByteArray InputQueue::take(qint64 most) {
    const std::lock_guard lock(mutex_);
    const qint64 n = std::min(most, bytes_.size());
    QByteArray taken(bytes_.front(), n);
    bytes_.drop(n);
    armed_ = true;
    return taken;
}

qint64 InputQueue::size() const {
    const std::lock_guard lock(mutex_);
    return bytes_.size();
}

qint64 InputQueue::setCap(qint64 bytes) {
    const std::lock_guard lock(mutex_);
    cap_ = bytes;
    const qint64 excess = std::max<qint64>(0, bytes_.size() - cap_);
    bytes_.drop(excess);
    return excess;
}

bool InputQueue::append(const char* data, qint64 size, qint64& dropped) {
    const std::lock_guard lock(mutex_);
    // Only the newest cap's worth of a big read is kept at all.
    dropped = std::max<qint64>(0, size - cap_);
    bytes_.append(data + dropped, size - dropped);
    const qint64 excess = std::max<qint64>(0, bytes_.size() - cap_);
    bytes_.drop(excess);
    dropped += excess;
    return std::exchange(armed_, false);
}

void InputQueue::arm() {
    const std::lock_guard lock(mutex_);
    armed_ = true;
}

void InputQueue::clear() {
    const std::lock_guard lock(mutex_);
    bytes_.clear();
    armed_ = true;
}

SerialReader::SerialReader(int fd, InputQueue& queue, Arrived arrived, Dropped dropped,
                           Failed failed)
    : fd_(fd),
      queue_(queue),
      arrived_(std::move(arrived)),
      dropped_(std::move(dropped)),
      failed_(std::move(failed)) {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        ::close(wake_);
        throw;
    }
}

SerialReader::~SerialReader() {
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);  // a counter that cannot overflow here
    thread_.join();
    ::close(wake_);
}

void SerialReader::run() {
    std::vector<char> chunk(kChunk);
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return failed_(errno);
        }
        if (fds[1].revents & POLLIN) return;
        // Everything the tty has now: each read empties its buffer, which
        // lets the next bytes in. With VMIN and VTIME 0 an empty tty reads 0
        // bytes rather than EAGAIN, so only a first read of nothing after
        // poll() said there was something is an end of file: a tty whose
        // device is gone (else it fails, EIO).
        for (bool first = true;; first = false) {
            const ssize_t n = ::read(fd_, chunk.data(), chunk.size());
            if (n > 0) {
                qint64 dropped = 0;
                const bool news = queue_.append(chunk.data(), n, dropped);
                if (dropped > 0) dropped_(dropped);
                if (news) arrived_();
            } else if (n == 0 && !first) {
                break;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else if (n == 0 || errno != EINTR) {
                return failed_(n == 0 ? 0 : errno);
            }
        }
    }
}

}  // namespace zv
