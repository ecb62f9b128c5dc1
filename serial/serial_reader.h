#pragma once
// The serial line's reader: a thread of its own that takes what the tty
// received as soon as it comes. A tty hands over at most 4 KiB per read, so
// read on the owner's thread a fast device cost an event-loop turn per 4 KiB;
// here the owner hears once of the bytes that came since it last read.
//
// The bytes wait in an InputQueue, bounded by its cap: beyond it the oldest
// go, counted.
#include <functional>
#include <mutex>
#include <thread>

#include "stream/byte_queue.h"

namespace zv {

class InputQueue {
  public:
    // Takes at most `most` bytes from the front; the next bytes to come are
    // said again (armed).
    QByteArray take(qint64 most);
    qint64 size() const;
    // Keeps at most `bytes` from now on; returns how many of the oldest went.
    qint64 setCap(qint64 bytes);
    // Bytes came in: appended, and the oldest beyond the cap dropped (their
    // count in `dropped`). True when the owner is to hear of them.
    bool append(const char* data, qint64 size, qint64& dropped);
    void arm();  // the next bytes to come are said even if nothing was taken
    void clear();

  private:
    mutable std::mutex mutex_;
    ByteQueue bytes_;
    qint64 cap_ = 1;
    bool armed_ = true;
};

class SerialReader {
  public:
    // All run on the reader's thread: `arrived` when bytes came that the
    // queue says are news, `dropped` with the count of oldest bytes the cap
    // cost, `failed` once with errno (0: end of file) when the line fails;
    // the thread ends after that.
    using Arrived = std::function<void()>;
    using Dropped = std::function<void(qint64 bytes)>;
    using Failed = std::function<void(int error)>;

    // Reads the non-blocking descriptor `fd` into `queue` until stopped.
    SerialReader(int fd, InputQueue& queue, Arrived arrived, Dropped dropped, Failed failed);
    ~SerialReader();  // stops within one poll() wake-up and joins
    SerialReader(const SerialReader&) = delete;
    SerialReader& operator=(const SerialReader&) = delete;

  private:
    void run();

    const int fd_;
    InputQueue& queue_;
    Arrived arrived_;
    Dropped dropped_;
    Failed failed_;
    int wake_ = -1;       // eventfd: the destructor ends a poll() for the line
    std::thread thread_;  // started last
};

}  // namespace zv
