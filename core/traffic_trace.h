#pragma once
// The trace file: every block that passes, both ways, appended as one line
//   2026-12-07T10:00:05.123Z device -> clients 3 bytes: 41 0d 42
//   2026-12-07T10:00:05.456Z port 1 -> device 2 bytes: 4f 4b
// (ISO 8601 UTC with milliseconds, direction, byte count, the bytes in hex).
// Past kMaxBytes the file becomes "<path>.1" (one older file kept) and a new
// one starts. A failure to write is reported once, until a write succeeds or
// the file is opened again; it never stops the relay. The file is created
// private to the user (0600): it holds the traffic in clear. Nothing blocks
// the relay: a named pipe without a reader, or one that is full, is a failure
// like any other. A symbolic link at the path, or an existing file that others
// may read or that another user owns, is refused. A line cut short by a
// failed write is ended before the next line goes to the same file.
#include <sys/types.h>

#include <QDateTime>
#include <QString>
#include <functional>
#include <optional>
#include <utility>

namespace zv {

class TrafficTrace {
  public:
    static constexpr qint64 kMaxBytes = 10 * 1024 * 1024;

    // Called with the text of a failure, once per failure.
    explicit TrafficTrace(std::function<void(const QString&)> report);
    ~TrafficTrace() { close(); }
    TrafficTrace(const TrafficTrace&) = delete;
    TrafficTrace& operator=(const TrafficTrace&) = delete;

    // Starts appending to `path`; empty: off.
    void setPath(const QString& path);
    const QString& path() const { return path_; }
    bool on() const { return !path_.isEmpty(); }
    // Closes and opens the path again: after logrotate moved the file away.
    void reopen();
    void setMaxBytes(qint64 bytes) { maxBytes_ = bytes; }

    // The bytes as the serial line carries them; an empty block is no line.
    void deviceToClients(const QByteArray& bytes) { add("device -> clients", bytes); }
    void clientToDevice(int index, const QByteArray& bytes) {
        add(QByteArrayLiteral("port ") + char('1' + index) + " -> device", bytes);
    }
    void keysToDevice(const QByteArray& bytes) { add("keyboard -> device", bytes); }
    void keysToClients(const QByteArray& bytes) { add("keyboard -> clients", bytes); }

    // The line for one block, without its line feed.
    static QByteArray line(const QDateTime& when, QByteArrayView direction,
                           const QByteArray& bytes);

  private:
    void add(QByteArrayView direction, const QByteArray& bytes);
    bool open();
    void fail(const QString& what, const QString& why);
    void fail(const QString& what);  // with errno's text
    void close();

    std::function<void(const QString&)> report_;
    QString path_;
    int fd_ = -1;  // open for appending while tracing
    qint64 maxBytes_ = kMaxBytes;
    bool failed_ = false;  // reported; quiet until a write succeeds again
    // The file (device, inode) whose last line a failed write cut short.
    std::optional<std::pair<dev_t, ino_t>> torn_;
};

}  // namespace zv
