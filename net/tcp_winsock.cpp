#include "net/tcp_winsock.h"

#include "cipher/error.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
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
// Bytes Qt may hold from the peer before it stops reading from the kernel
// (TCP flow control then slows the sender), and so the most one GetData gives.
constexpr qint64 kReadBufferBytes = 256 * 1024;

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

int errorNumber(QAbstractSocket::SocketError error) {
    return error == QAbstractSocket::AddressInUseError ? errc::AddressInUse : errc::SocketFailure;
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

void TcpWinsock::Listen() {
    if (state_ != sck::Closed) throw Error(errc::NotConnected, kWrongState);
    if (localPort_ < 0 || localPort_ > 65535) {
        throw Error(errc::InvalidPropertyValue, "Invalid property value" + portSuffix(localPort_));
    }
    QHostAddress address(QHostAddress::Any);
    if (!bindAddress_.isEmpty() && !address.setAddress(bindAddress_)) {
        throw Error(
            errc::AddressNotAvailable,
            "Address not available: \"" + bindAddress_.toStdString() + "\" is not an IP address");
    }
    if (!server_->listen(address, static_cast<quint16>(localPort_))) {
        const QAbstractSocket::SocketError error = server_->serverError();
        const std::string text = server_->errorString().toStdString();
        server_->close();
        if (error == QAbstractSocket::AddressInUseError) {
            throw Error(errc::AddressInUse, "Address in use" + portSuffix(localPort_));
        }
        if (error == QAbstractSocket::SocketAddressNotAvailableError) {
            throw Error(errc::AddressNotAvailable, "Address not available: this machine has no " +
                                                       bindAddress_.toStdString() +
                                                       portSuffix(localPort_));
        }
        throw Error(errc::SocketFailure, text + portSuffix(localPort_));
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
    const qintptr descriptor = *it;
    pending_.erase(it);
    Close();  // one object serves one client

    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        const std::string text = socket->errorString().toStdString();
        delete socket;
        closeDescriptor(descriptor);
        throw Error(errc::SocketFailure, text);
    }
    tuneAccepted(descriptor);
    socket->setReadBufferSize(kReadBufferBytes);
    reading_ = true;
    connect(socket, &QTcpSocket::readyRead, this, &TcpWinsock::onReadyRead);
    connect(socket, &QTcpSocket::errorOccurred, this, &TcpWinsock::onSocketError);
    connect(socket, &QTcpSocket::disconnected, this, &TcpWinsock::onDisconnected);
    socket_ = socket;
    ++generation_;
    state_ = sck::Connected;
}

void TcpWinsock::SendData(const QString& text) {
    if (state_ != sck::Connected || socket_ == nullptr)
        throw Error(errc::NotConnected, kWrongState);
    const QByteArray bytes = text.toLatin1();  // one byte per character; above 0xFF gives '?'
    if (bytes.isEmpty()) return;
    if (socket_->write(bytes) != bytes.size()) {
        throw Error(errc::SocketFailure, socket_->errorString().toStdString());
    }
    // To the kernel now, not on the next event-loop pass: the handler may go
    // on for milliseconds (another derivation, a pane redraw). false only means
    // the kernel queue is full; Qt writes the rest when it drains.
    static_cast<void>(socket_->flush());
}

QString TcpWinsock::GetData() {
    if (socket_ != nullptr) takeSocketBytes();
    QString text = QString::fromLatin1(received_);
    received_.clear();
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
    return socket_ != nullptr ? socket_->bytesToWrite() : 0;
}

void TcpWinsock::Reset() {
    if (socket_ != nullptr) {
        // A zero linger time makes close() send a reset and drop the unsent bytes.
        const linger now{1, 0};
        if (::setsockopt(static_cast<int>(socket_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now,
                         sizeof now) != 0)
            qWarning("TcpWinsock: setsockopt SO_LINGER failed: %s", std::strerror(errno));
    }
    Close();
}

void TcpWinsock::setReading(bool on) {
    if (reading_ == on) return;
    reading_ = on;
    // Bytes Qt kept while we did not read go now; taking them lets Qt read on.
    if (on && socket_ != nullptr && takeSocketBytes()) emit dataArrival(received_.size());
}

qintptr TcpWinsock::SocketHandle() const {
    return socket_ != nullptr ? socket_->socketDescriptor() : -1;
}

void TcpWinsock::onIncoming(qintptr descriptor) {
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

bool TcpWinsock::takeSocketBytes() {
    const QByteArray bytes = socket_->readAll();
    received_ += bytes;
    return !bytes.isEmpty();
}

void TcpWinsock::onReadyRead() {
    if (!reading_ || !takeSocketBytes()) return;
    emit dataArrival(received_.size());
}

void TcpWinsock::onSocketError(QAbstractSocket::SocketError error) {
    if (state_ != sck::Connected) return;  // already reported
    switch (error) {
        case QAbstractSocket::RemoteHostClosedError:  // FIN or reset
        case QAbstractSocket::NetworkError:           // e.g. keepalive gave up: ETIMEDOUT
        case QAbstractSocket::SocketTimeoutError:
            endByPeer();
            return;
        default:
            enterError(errorNumber(error), socket_->errorString());
            return;
    }
}

void TcpWinsock::onDisconnected() {
    if (state_ == sck::Connected) endByPeer();
}

void TcpWinsock::endByPeer() {
    const quint64 generation = generation_;
    // Bytes Qt read while the dataArrival handler ran (readyRead does not
    // recurse) would otherwise be lost with the connection.
    if (takeSocketBytes()) {
        emit dataArrival(received_.size());
        if (generation != generation_ || state_ != sck::Connected) return;  // handler closed
    }
    state_ = sck::Closing;
    emit peerClosed();
}

void TcpWinsock::onAcceptError(QAbstractSocket::SocketError error) {
    enterError(errorNumber(error), server_->errorString());
}

void TcpWinsock::enterError(int number, const QString& description) {
    state_ = sck::Error;
    emit socketError(number, description);
}

void TcpWinsock::dropSocket() {
    if (socket_ == nullptr) return;
    QTcpSocket* socket = socket_;
    socket_ = nullptr;
    ++generation_;
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();  // we may be inside one of its signals
}

}  // namespace zv
