#include "net/tcp_server.h"

#include <unistd.h>

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "cipher/error.h"

namespace zv {

namespace {

std::string portSuffix(qint32 port) {
    return " (port " + std::to_string(port) + ")";
}

void closeDescriptor(qintptr descriptor) {
    if (::close(int(descriptor)) != 0)
        qWarning("TcpServer: close(%lld) failed: %s", static_cast<long long>(descriptor),
                 std::strerror(errno));
}

}  // namespace

// QTcpServer hands every accepted descriptor to incomingConnection(); we take
// it from there instead of letting Qt wrap it in a pending QTcpSocket.
class ListeningSocket::Server final : public QTcpServer {
  public:
    explicit Server(ListeningSocket* owner) : QTcpServer(owner), owner_(owner) {}

  protected:
    void incomingConnection(qintptr descriptor) override { owner_->onIncoming(descriptor); }

  private:
    ListeningSocket* owner_;
};

ListeningSocket::ListeningSocket(QObject* parent) : TcpServer(parent), server_(new Server(this)) {
    connect(server_, &QTcpServer::acceptError, this, &ListeningSocket::onAcceptError);
}

ListeningSocket::~ListeningSocket() {
    server_->close();
    for (qintptr descriptor : pending_) closeDescriptor(descriptor);
}

qint32 ListeningSocket::localPort() const {
    return server_->isListening() ? qint32(server_->serverPort()) : localPort_;
}

bool ListeningSocket::listening() const {
    return server_->isListening();
}

void ListeningSocket::listen() {
    if (localPort_ < 0 || localPort_ > 65535)
        throw Error(errc::InvalidPropertyValue, "Invalid property value" + portSuffix(localPort_));
    server_->close();
    QHostAddress address(QHostAddress::Any);
    if (!bindAddress_.isEmpty() && !address.setAddress(bindAddress_))
        throw Error(
            errc::AddressNotAvailable,
            "Address not available: \"" + bindAddress_.toStdString() + "\" is not an IP address");
    if (server_->listen(address, quint16(localPort_))) {
        if (localPort_ == 0) localPort_ = server_->serverPort();
        return;
    }
    const QAbstractSocket::SocketError error = server_->serverError();
    const QString why = server_->errorString();
    server_->close();
    if (error == QAbstractSocket::AddressInUseError)
        throw Error(errc::AddressInUse, "Address in use" + portSuffix(localPort_));
    if (error == QAbstractSocket::SocketAddressNotAvailableError)
        throw Error(errc::AddressNotAvailable, "Address not available: this machine has no " +
                                                   bindAddress_.toStdString() +
                                                   portSuffix(localPort_));
    throw Error(errc::SocketFailure, why.toStdString() + portSuffix(localPort_));
}

void ListeningSocket::close() {
    // Later clients get "connection refused"; descriptors of a request being
    // offered stay open until the offer ends.
    server_->close();
}

std::unique_ptr<TcpConnection> ListeningSocket::accept(qintptr requestId) {
    const auto it = std::find(pending_.begin(), pending_.end(), requestId);
    if (it == pending_.end())
        throw Error(errc::NotConnected,
                    "Wrong protocol or connection state for the requested transaction or "
                    "request (unknown request id " +
                        std::to_string(requestId) + ")");
    pending_.erase(it);
    return std::make_unique<SocketConnection>(int(requestId));
}

QString ListeningSocket::localHostName() const {
    return QHostInfo::localHostName();
}

QString ListeningSocket::localIP() const {
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& nic : interfaces) {
        const auto flags = nic.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) ||
            !flags.testFlag(QNetworkInterface::IsRunning) ||
            flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        const auto entries = nic.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback())
                return ip.toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

void ListeningSocket::onIncoming(qintptr descriptor) {
    acceptFailed_ = false;
    if (const QHostAddress peer = peerAddress(descriptor); !allowed_.allows(peer)) {
        closeDescriptor(descriptor);  // the socket keeps listening for an allowed client
        emit clientRefused(peer.isNull() ? QStringLiteral("(gone)") : peer.toString());
        return;
    }
    pending_.push_back(descriptor);
    emit connectionRequest(descriptor);
    const auto it = std::find(pending_.begin(), pending_.end(), descriptor);
    if (it != pending_.end()) {  // declined: nobody else will close it
        pending_.erase(it);
        closeDescriptor(descriptor);
    }
}

void ListeningSocket::onAcceptError() {
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

}  // namespace zv
