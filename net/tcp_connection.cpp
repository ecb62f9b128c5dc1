#include "net/tcp_connection.h"

#include <fcntl.h>
#include <linux/tcp.h>  // struct tcp_info with tcpi_bytes_acked (glibc's copy lacks it)
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cipher/error.h"

namespace zv {

namespace {

constexpr unsigned kStateClosed = 7;  // TCP_CLOSE of the kernel's tcp_states: after a reset

constexpr const char* kWrongState =
    "Wrong protocol or connection state for the requested transaction or request";

// Keepalive timers in seconds: a vanished client is given up after
// 60 s idle + 3 probes 10 s apart, about 90 s.
constexpr int kKeepIdle = 60;
constexpr int kKeepInterval = 10;
constexpr int kKeepCount = 3;
// Bytes held from the peer before reading from the kernel stops (TCP flow
// control then slows the sender), and so the most one read() gives.
constexpr qint64 kReadBufferBytes = 256 * 1024;
constexpr qint64 kReadChunk = 64 * 1024;

// Every message is one small write: without TCP_NODELAY, Nagle plus the peer's
// delayed ACK can hold the next one for 40 ms. Keepalive ends connections to
// clients that vanished without closing. A failure here is not fatal.
void tune(int fd) {
    struct Option {
        int level, name, value;
        const char* label;
    };
    const Option options[] = {
        {IPPROTO_TCP, TCP_NODELAY, 1, "TCP_NODELAY"},
        {SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE"},
        {IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdle, "TCP_KEEPIDLE"},
        {IPPROTO_TCP, TCP_KEEPINTVL, kKeepInterval, "TCP_KEEPINTVL"},
        {IPPROTO_TCP, TCP_KEEPCNT, kKeepCount, "TCP_KEEPCNT"},
    };
    for (const Option& o : options)
        if (::setsockopt(fd, o.level, o.name, &o.value, sizeof o.value) != 0)
            qWarning("TcpConnection: setsockopt %s failed: %s", o.label, std::strerror(errno));
}

// The peer is gone rather than the connection broken on our side.
bool peerGone(int error) {
    return error == ECONNRESET || error == EPIPE || error == ETIMEDOUT || error == EHOSTUNREACH ||
           error == ENETUNREACH;
}

}  // namespace

SocketConnection::SocketConnection(int descriptor, QObject* parent)
    : TcpConnection(parent), fd_(descriptor), id_(descriptor) {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        const std::string text = std::strerror(errno);
        (void)::close(fd_);
        fd_ = -1;
        throw Error(errc::SocketFailure, text);
    }
    tune(fd_);
    readable_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(readable_.get(), &QSocketNotifier::activated, this, &SocketConnection::onReadable);
    writable_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
    writable_->setEnabled(false);
    connect(writable_.get(), &QSocketNotifier::activated, this, &SocketConnection::writeOut);
    watch_.setInterval(kWatchMs);
    connect(&watch_, &QTimer::timeout, this, &SocketConnection::watch);
}

SocketConnection::~SocketConnection() {
    drop();
}

qint64 SocketConnection::acknowledged() const {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (fd_ >= 0 && ::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
        size >= offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        acked_ = qint64(info.tcpi_bytes_acked);
    return std::min(acked_, written_);
}

qint64 SocketConnection::arriving() const {
    int queued = 0;
    if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &queued) != 0) queued = 0;
    return received_.size() + queued;
}

QByteArray SocketConnection::read() {
    QByteArray bytes = std::exchange(received_, QByteArray());
    updateReadable();
    return bytes;
}

void SocketConnection::write(QByteArrayView bytes) {
    if (!open_) throw Error(errc::NotConnected, kWrongState);
    if (bytes.isEmpty()) return;
    written_ += bytes.size();
    // To the kernel now, not on the next event-loop pass: the caller may go
    // on for milliseconds. Only what it does not take is copied to the queue.
    if (out_.size() == 0) {
        const auto [sent, ok] = sendNow(bytes);
        bytes = bytes.sliced(sent);
        if (ok && writable_ && !bytes.isEmpty()) writable_->setEnabled(true);
    }
    if (!bytes.isEmpty()) out_.append(bytes.toByteArray());
    if (peerEnded_) watch_.start();
}

// Gives the kernel what it takes of `bytes` now; how many it took, and
// false once the connection failed (said from the event loop: the caller
// may go on with this connection).
std::pair<qint64, bool> SocketConnection::sendNow(QByteArrayView bytes) {
    qint64 sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        // MSG_NOSIGNAL: a peer that reset gives EPIPE here, never SIGPIPE.
        const ssize_t n =
            ::send(fd_, bytes.data() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            const int error = errno;
            writable_->setEnabled(false);
            QMetaObject::invokeMethod(
                this, [this, error] { fail(error); }, Qt::QueuedConnection);
            return {sent, false};
        } else {
            break;  // the kernel queue is full: the notifier says when it takes more
        }
    }
    return {sent, true};
}

void SocketConnection::writeOut() {
    const auto [sent, ok] = sendNow(QByteArrayView(out_.front(), out_.size()));
    out_.drop(sent);
    if (ok && writable_) writable_->setEnabled(out_.size() > 0);
}

void SocketConnection::setReading(bool on) {
    reading_ = on;
    updateReadable();
}

// Reads while bytes are wanted and there is room for them; the kernel keeps
// the rest (and TCP flow control slows the sender).
void SocketConnection::updateReadable() {
    if (readable_)
        readable_->setEnabled(open_ && reading_ && !peerEnded_ &&
                              received_.size() < kReadBufferBytes);
}

void SocketConnection::onReadable() {
    bool ended = false;
    int error = 0;
    const qsizetype before = received_.size();
    while (fd_ >= 0 && received_.size() < kReadBufferBytes) {
        const qsizetype at = received_.size();
        received_.resize(at + std::min(kReadChunk, kReadBufferBytes - at));
        const ssize_t n = ::read(fd_, received_.data() + at, size_t(received_.size() - at));
        const int why = errno;
        received_.resize(at + std::max<ssize_t>(n, 0));
        if (n > 0) continue;
        if (n == 0) ended = true;
        if (n < 0 && why == EINTR) continue;
        if (n < 0 && why != EAGAIN && why != EWOULDBLOCK) error = why;
        break;
    }
    const QPointer<SocketConnection> alive(this);
    if (received_.size() > before) {
        emit readyRead();
        if (!alive || !open_) return;  // the handler closed it
    }
    if (error != 0 || ended) {
        peerEnded_ = true;  // nothing more comes: no more read attempts
        updateReadable();
    }
    if (error != 0) return fail(error);
    if (ended) {
        if (written_ > acknowledged()) watch_.start();
        emit endOfData();
        return;
    }
    updateReadable();
}

// The peer ended its data; what was sent since is delivered once its TCP
// acknowledged it, and lost if it resets instead (a peer that closed fully
// answers anything sent to it with a reset).
void SocketConnection::watch() {
    if (fd_ < 0) return watch_.stop();
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
        info.tcpi_state == kStateClosed)
        return fail(ECONNRESET);
    if (acknowledged() >= written_) watch_.stop();
}

void SocketConnection::fail(int error) {
    if (!open_) return;
    (void)acknowledged();  // kept for after the descriptor is gone
    open_ = false;
    watch_.stop();
    updateReadable();
    if (writable_) writable_->setEnabled(false);
    if (peerGone(error))
        emit lost(error);
    else
        emit failed(errc::SocketFailure, QString::fromLocal8Bit(std::strerror(error)));
}

void SocketConnection::close() {
    (void)acknowledged();
    open_ = false;
    drop();
}

void SocketConnection::abort() {
    if (fd_ >= 0) {
        // A zero linger time makes close() send a reset and drop the unsent bytes.
        const linger now{1, 0};
        if (::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now) != 0)
            qWarning("TcpConnection: setsockopt SO_LINGER failed: %s", std::strerror(errno));
    }
    close();
}

void SocketConnection::drop() {
    readable_.reset();
    writable_.reset();
    watch_.stop();
    out_.clear();
    if (fd_ < 0) return;
    if (::close(fd_) != 0) qWarning("TcpConnection: close failed: %s", std::strerror(errno));
    fd_ = -1;
}

}  // namespace zv
