#pragma once
// The serial line's writer: a thread of its own that keeps the tty's small
// buffer full. Written from the window's thread, every wait for the line went
// through the event loop, and the line sat idle while the window deciphered
// the next message.
//
// The bytes wait in an OutputQueue that the port keeps across closes; the
// writer only drops from its front what the tty took, so what it has not
// written is still there when it stops.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "stream/byte_queue.h"

namespace zv {

struct OutputQueue {
    mutable std::mutex mutex;
    std::condition_variable more;  // bytes were appended
    ByteQueue bytes;

    qint64 size() const {
        const std::lock_guard lock(mutex);
        return bytes.size();
    }
    void append(const QByteArray& data);
};

class SerialWriter {
  public:
    // Both run on the writer's thread: `written` after each write the tty
    // took (bytes, and what is left in the queue), `failed` once with errno
    // when the line fails; the thread ends after that.
    using Written = std::function<void(qint64 bytes, qint64 left)>;
    using Failed = std::function<void(int error)>;

    // Writes `queue` to the non-blocking descriptor `fd` until stopped.
    SerialWriter(int fd, OutputQueue& queue, Written written, Failed failed);
    ~SerialWriter();  // stops within one poll() wake-up and joins
    SerialWriter(const SerialWriter&) = delete;
    SerialWriter& operator=(const SerialWriter&) = delete;

  private:
    void run();
    bool waitUntilWritable();  // false: stopping

    const int fd_;
    OutputQueue& queue_;
    Written written_;
    Failed failed_;
    int wake_ = -1;          // eventfd: stop() ends a poll() for the line
    bool stopping_ = false;  // under queue_.mutex
    std::thread thread_;     // started last
};

}  // namespace zv
