#include "support/tcp_client.h"

#include <sys/socket.h>
#include <QHostAddress>
#include <QTest>

namespace zv::test {

bool TcpClient::connect(quint16 port) {
    QObject::connect(&socket_, &QTcpSocket::errorOccurred, [this](QAbstractSocket::SocketError e) {
        error_ = e;
        errorSeen_ = true;
    });
    socket_.connectToHost(QHostAddress::LocalHost, port);
    const bool settled = QTest::qWaitFor(
        [this] { return socket_.state() == QAbstractSocket::ConnectedState || errorSeen_; },
        timeoutMs_);
    return settled && socket_.state() == QAbstractSocket::ConnectedState;
}

bool TcpClient::send(const QByteArray& bytes) {
    if (socket_.write(bytes) != bytes.size()) return false;
    return QTest::qWaitFor([this] { return socket_.bytesToWrite() == 0 || errorSeen_; },
                           timeoutMs_) &&
           socket_.bytesToWrite() == 0;
}

void TcpClient::collect() {
    received_ += socket_.readAll();
}

QByteArray TcpClient::read(qsizetype count) {
    (void)QTest::qWaitFor(
        [this, count] {
            collect();
            return received_.size() >= count;
        },
        timeoutMs_);
    collect();
    QByteArray out;
    out.swap(received_);
    return out;
}

bool TcpClient::waitForClose() {
    return QTest::qWaitFor(
        [this] {
            collect();
            return socket_.state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs_);
}

void TcpClient::close() {
    socket_.disconnectFromHost();
}

bool TcpClient::reset() {
    const linger off{1, 0};
    const bool ok = ::setsockopt(static_cast<int>(socket_.socketDescriptor()), SOL_SOCKET,
                                 SO_LINGER, &off, sizeof off) == 0;
    socket_.abort();
    return ok;
}

}  // namespace zv::test
