#include "net/tcp_winsock.h"

#include "cipher/error.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace zv {

namespace {

constexpr const char* kWrongState =
    "Wrong protocol or connection state for the requested transaction or request";

// Keepalive timers in seconds: a vanished client is given up after
// 60 s idle + 3 probes 10 s apart, about 90 s.
constexpr int kKeepIdle = 60;
constexpr int kKeepInterval = 10;
constexpr int kKeepCount = 3;
// Bytes held from the peer before reading from the kernel stops (TCP flow
// control then slows the sender), and so the most one GetData gives.
constexpr qint64 kReadBufferBytes = 256 * 1024;
constexpr qint64 kReadChunk = 64 * 1024;

std::string portSuffix(std::int32_t port) {
    return " (port " + std::to_string(port) + ")";
}

void closeDescriptor(qintptr descriptor) {
    if (::close(static_cast<int>(descriptor)) != 0) {
        qWarning("TcpWinsock: close(%lld) failed: %s", static_cast<long long>(descriptor),
                 std::strerror(errno));
    }
}

// Every message is one small write: without TCP_NODELAY, Nagle plus the peer's
// delayed ACK can hold the next one for 40 ms. Keepalive ends connections to
// clients that vanished without closing. A failure here is not fatal.
void tuneAccepted(qintptr descriptor) {
    struct Option {
        int level;
        int name;
        int value;
        const char* label;
    };
    const Option options[] = {
        {IPPROTO_TCP, TCP_NODELAY, 1, "TCP_NODELAY"},
        {SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE"},
        {IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdle, "TCP_KEEPIDLE"},
        {IPPROTO_TCP, TCP_KEEPINTVL, kKeepInterval, "TCP_KEEPINTVL"},
        {IPPROTO_TCP, TCP_KEEPCNT, kKeepCount, "TCP_KEEPCNT"},
    };
    for (const Option& o : options) {
        if (::setsockopt(static_cast<int>(descriptor), o.level, o.name, &o.value, sizeof o.value) !=
            0) {
            qWarning("TcpWinsock: setsockopt %s failed: %s", o.label, std::strerror(errno));
        }
    }
}

// The peer is gone rather than the connection broken on our side.
bool peerGone(int error) {
    return error == ECONNRESET || error == EPIPE || error == ETIMEDOUT || error == EHOSTUNREACH ||
           error == ENETUNREACH;
}

}  // namespace

// QTcpServer hands every accepted descriptor to incomingConnection(); we take
// it from there instead of letting Qt wrap it in a pending QTcpSocket.
class TcpWinsock::Server final : public QTcpServer {
  public:
    explicit Server(TcpWinsock* owner) : QTcpServer(owner), owner_(owner) {}

  protected:
    void incomingConnection(qintptr descriptor) override { owner_->onIncoming(descriptor); }

  private:
    TcpWinsock* owner_;
};

TcpWinsock::TcpWinsock(QObject* parent) : Winsock(parent), server_(new Server(this)) {
    connect(server_, &QTcpServer::acceptError, this, &TcpWinsock::onAcceptError);
    halfClose_.setSingleShot(true);
    halfClose_.setInterval(kHalfCloseMs);
    connect(&halfClose_, &QTimer::timeout, this, &TcpWinsock::endByPeer);
}

TcpWinsock::~TcpWinsock() {
    server_->close();
    dropSocket();
    for (qintptr descriptor : pending_) closeDescriptor(descriptor);
}

void TcpWinsock::setLocalPort(std::int32_t port) {
    localPort_ = port;
}

void TcpWinsock::setBindAddress(const QString& address) {
    bindAddress_ = address;
}

std::int32_t TcpWinsock::LocalPort() const {
    return server_->isListening() ? static_cast<std::int32_t>(server_->serverPort()) : localPort_;
}

// Binds and listens on LocalPort; false with the reason's error raised.
bool TcpWinsock::listenSocket(QString* why) {
    QHostAddress address(QHostAddress::Any);
    if (!bindAddress_.isEmpty() && !address.setAddress(bindAddress_)) {
        throw Error(
            errc::AddressNotAvailable,
            "Address not available: \"" + bindAddress_.toStdString() + "\" is not an IP address");
    }
    if (server_->listen(address, static_cast<quint16>(localPort_))) return true;
    if (why != nullptr) *why = server_->errorString();
    return false;
}

void TcpWinsock::Listen() {
    if (state_ != sck::Closed) throw Error(errc::NotConnected, kWrongState);
    if (localPort_ < 0 || localPort_ > 65535) {
        throw Error(errc::InvalidPropertyValue, "Invalid property value" + portSuffix(localPort_));
    }
    QString why;
    if (!listenSocket(&why)) {
        const QAbstractSocket::SocketError error = server_->serverError();
        server_->close();
        if (error == QAbstractSocket::AddressInUseError) {
            throw Error(errc::AddressInUse, "Address in use" + portSuffix(localPort_));
        }
        if (error == QAbstractSocket::SocketAddressNotAvailableError) {
            throw Error(errc::AddressNotAvailable, "Address not available: this machine has no " +
                                                       bindAddress_.toStdString() +
                                                       portSuffix(localPort_));
        }
        throw Error(errc::SocketFailure, why.toStdString() + portSuffix(localPort_));
    }
    if (localPort_ == 0) localPort_ = server_->serverPort();
    state_ = sck::Listening;
}

void TcpWinsock::Close() {
    // Closing the listening socket makes later clients get "connection
    // refused"; descriptors of a request being emitted stay open.
    server_->close();
    dropSocket();
    received_.clear();
    state_ = sck::Closed;
}

void TcpWinsock::Accept(std::int32_t requestID) {
    const auto it = std::find(pending_.begin(), pending_.end(), static_cast<qintptr>(requestID));
    if (it == pending_.end()) {
        throw Error(errc::NotConnected, std::string(kWrongState) + " (unknown request id " +
                                            std::to_string(requestID) + ")");
    }
    const int descriptor = static_cast<int>(*it);
    pending_.erase(it);
    Close();  // one object serves one client

    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) != 0) {
        const std::string text = std::strerror(errno);
        closeDescriptor(descriptor);
        throw Error(errc::SocketFailure, text);
    }
    tuneAccepted(descriptor);
    fd_ = descriptor;
    readable_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(readable_.get(), &QSocketNotifier::activated, this, &TcpWinsock::onReadable);
    writable_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
    writable_->setEnabled(false);
    connect(writable_.get(), &QSocketNotifier::activated, this, &TcpWinsock::writeOut);
    reading_ = true;
    ++generation_;
    state_ = sck::Connected;
}

void TcpWinsock::SendData(const QString& text) {
    if (state_ != sck::Connected || fd_ < 0) throw Error(errc::NotConnected, kWrongState);
    const QByteArray bytes = text.toLatin1();  // one byte per character; above 0xFF gives '?'
    if (bytes.isEmpty()) return;
    out_.append(bytes);
    // To the kernel now, not on the next event-loop pass: the handler may go
    // on for milliseconds (another derivation, a pane redraw).
    if (BytesToWrite() == bytes.size()) writeOut();
}

void TcpWinsock::writeOut() {
    while (fd_ >= 0 && out_.size() > 0) {
        // MSG_NOSIGNAL: a peer that reset gives EPIPE here, never SIGPIPE.
        const ssize_t n = ::send(fd_, out_.front(), size_t(out_.size()), MSG_NOSIGNAL);
        if (n > 0) {
            out_.drop(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // Reported from the event loop: the caller may be a handler that
            // goes on with this connection.
            const int error = errno;
            const quint64 generation = generation_;
            QMetaObject::invokeMethod(
                this, [this, error, generation] { failed(error, generation); },
                Qt::QueuedConnection);
            writable_->setEnabled(false);  // what waits is counted until Close()
            return;
        } else {
            break;  // the kernel queue is full: the notifier says when it takes more
        }
    }
    if (writable_) writable_->setEnabled(BytesToWrite() > 0);
}

QString TcpWinsock::GetData() {
    QString text = QString::fromLatin1(received_);
    received_.clear();
    updateReadable();
    return text;
}

std::int16_t TcpWinsock::State() const {
    return state_;
}

QString TcpWinsock::LocalHostName() const {
    return QHostInfo::localHostName();
}

QString TcpWinsock::LocalIP() const {
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& nic : interfaces) {
        const auto flags = nic.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) ||
            !flags.testFlag(QNetworkInterface::IsRunning) ||
            flags.testFlag(QNetworkInterface::IsLoopBack)) {
            continue;
        }
        const auto entries = nic.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback()) {
                return ip.toString();
            }
        }
    }
    return QStringLiteral("127.0.0.1");
}

qint64 TcpWinsock::BytesToWrite() const {
    return out_.size();
}

void TcpWinsock::Reset() {
    if (fd_ >= 0) {
        // A zero linger time makes close() send a reset and drop the unsent bytes.
        const linger now{1, 0};
        if (::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now) != 0)
            qWarning("TcpWinsock: setsockopt SO_LINGER failed: %s", std::strerror(errno));
    }
    Close();
}

void TcpWinsock::setReading(bool on) {
    reading_ = on;
    updateReadable();
}

void TcpWinsock::StopReading() {
    stopped_ = true;
    server_->close();
    updateReadable();
}

// Reads while bytes are wanted and there is room for them; the kernel keeps
// the rest (and TCP flow control slows the sender).
void TcpWinsock::updateReadable() {
    if (readable_)
        readable_->setEnabled(reading_ && !stopped_ && !peerEnded_ &&
                              received_.size() < kReadBufferBytes);
}

qintptr TcpWinsock::SocketHandle() const {
    return fd_;
}

void TcpWinsock::onIncoming(qintptr descriptor) {
    acceptFailed_ = false;
    if (const QHostAddress peer = peerAddress(descriptor); !allowed_.allows(peer)) {
        closeDescriptor(descriptor);  // the listener keeps listening for an allowed client
        emit clientRefused(peer.isNull() ? QStringLiteral("(gone)") : peer.toString());
        return;
    }
    pending_.push_back(descriptor);
    emit connectionRequest(static_cast<std::int32_t>(descriptor));
    const auto it = std::find(pending_.begin(), pending_.end(), descriptor);
    if (it != pending_.end()) {  // declined: nobody else will close it
        pending_.erase(it);
        closeDescriptor(descriptor);
    }
}

void TcpWinsock::onReadable() {
    const quint64 generation = generation_;
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
    if (received_.size() > before) {
        emit dataArrival(received_.size());
        if (generation != generation_ || state_ != sck::Connected) return;  // handler closed
    }
    if (error != 0) {
        peerEnded_ = true;  // nothing more comes: no more read attempts
        updateReadable();
        return failed(error, generation);
    }
    if (ended) return peerEndedSending();
    updateReadable();
}

// The peer sent its FIN. It may still read (a shell pipe into socat shuts
// down its sending side and waits for the answer), so the connection stays
// for sending; the port takes a new client meanwhile.
void TcpWinsock::peerEndedSending() {
    peerEnded_ = true;
    updateReadable();
    halfClose_.start();
    QString why;
    if (!stopped_ && !server_->isListening() && !listenSocket(&why))
        qWarning("TcpWinsock: cannot listen again on port %d yet: %s", localPort_, qPrintable(why));
}

void TcpWinsock::failed(int error, quint64 generation) {
    if (generation != generation_ || state_ != sck::Connected) return;  // already over
    if (peerGone(error)) return endByPeer();
    enterError(errc::SocketFailure, QString::fromLocal8Bit(std::strerror(error)));
}

void TcpWinsock::endByPeer() {
    if (state_ != sck::Connected) return;
    halfClose_.stop();
    state_ = sck::Closing;
    emit peerClosed();
}

void TcpWinsock::onAcceptError(QAbstractSocket::SocketError /*error*/) {
    // Qt pauses accepting after a failed accept(); the listening socket is
    // fine, and the waiting client stays queued in the kernel until a
    // descriptor is free again.
    const QString why = server_->errorString();
    QTimer::singleShot(kAcceptRetryMs, this, [this] {
        if (server_->isListening()) server_->resumeAccepting();
    });
    if (std::exchange(acceptFailed_, true)) return;
    emit acceptFailed(errc::SocketFailure, why);
}

void TcpWinsock::enterError(int number, const QString& description) {
    state_ = sck::Error;
    emit socketError(number, description);
}

void TcpWinsock::dropSocket() {
    readable_.reset();
    writable_.reset();
    halfClose_.stop();
    out_.clear();
    peerEnded_ = false;
    stopped_ = false;
    if (fd_ < 0) return;
    closeDescriptor(fd_);
    fd_ = -1;
    ++generation_;
}

}  // namespace zv
