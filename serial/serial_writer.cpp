#include "serial/serial_writer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace zv {

namespace {
// Bytes copied out of the queue per turn; the tty takes a few KiB per write.
constexpr qint64 kChunk = 64 * 1024;
}  // namespace

void OutputQueue::append(const QByteArray& data) {
    {
        const std::lock_guard lock(mutex);
        bytes.append(data);
    }
    more.notify_one();
}

SerialWriter::SerialWriter(int fd, OutputQueue& queue, Written written, Failed failed)
    : fd_(fd), queue_(queue), written_(std::move(written)), failed_(std::move(failed)) {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        ::close(wake_);
        throw;
    }
}

SerialWriter::~SerialWriter() {
    {
        const std::lock_guard lock(queue_.mutex);
        stopping_ = true;
    }
    queue_.more.notify_all();
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);  // a counter that cannot overflow here
    thread_.join();
    ::close(wake_);
}

bool SerialWriter::waitUntilWritable() {
    pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_, POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0)
        if (errno != EINTR) return true;  // the write that follows reports the failure
    return !(fds[1].revents & POLLIN);
}

void SerialWriter::run() {
    std::vector<char> chunk;
    for (;;) {
        {
            std::unique_lock lock(queue_.mutex);
            queue_.more.wait(lock, [this] { return stopping_ || queue_.bytes.size() > 0; });
            if (stopping_) return;
            // Only this thread drops from the front, so the copy stays what
            // the front holds until it is written.
            const qint64 n = std::min(queue_.bytes.size(), kChunk);
            chunk.assign(queue_.bytes.front(), queue_.bytes.front() + n);
        }
        for (std::size_t done = 0; done < chunk.size();) {
            const ssize_t n = ::write(fd_, chunk.data() + done, chunk.size() - done);
            if (n > 0) {
                done += std::size_t(n);
                qint64 left = 0;
                {
                    const std::lock_guard lock(queue_.mutex);
                    queue_.bytes.drop(n);
                    left = queue_.bytes.size();
                }
                written_(n, left);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!waitUntilWritable()) return;
            } else if (n == 0 || errno != EINTR) {
                failed_(n == 0 ? EIO : errno);
                return;
            }
        }
    }
}

}  // namespace zv
