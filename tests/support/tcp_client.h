#pragma once
// A small loopback TCP client for tests, and the reading of envelope text off
// the wire. Every wait runs the event loop (so a server in the same thread
// makes progress) and gives up after a timeout.
#include <sys/socket.h>

#include <QByteArrayList>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>
#include <utility>

namespace zv::test {

class TcpClient {
  public:
    explicit TcpClient(int timeoutMs = 5000) : timeoutMs_(timeoutMs) {
        QObject::connect(&socket_, &QTcpSocket::errorOccurred, [this](auto e) { error_ = e; });
    }
    // True once connected to 127.0.0.1:port; false when refused or timed out.
    bool connect(quint16 port) {
        socket_.connectToHost(QHostAddress::LocalHost, port);
        return socket_.waitForConnected(timeoutMs_);  // the kernel completes the handshake
    }
    // True once every byte went to the kernel.
    bool send(const QByteArray& bytes) {
        return socket_.write(bytes) == bytes.size() &&
               wait([&] { return socket_.bytesToWrite() == 0; });
    }
    // Waits until at least `count` bytes arrived in all, then returns and
    // forgets every byte received so far (fewer on timeout).
    QByteArray read(qsizetype count) {
        (void)wait([&] { return (received_ += socket_.readAll()).size() >= count; });
        return std::exchange(received_, {}) + socket_.readAll();
    }
    // Waits until the server closed or reset the connection.
    bool waitForClose() {
        return wait([&] { return socket_.state() == QAbstractSocket::UnconnectedState; });
    }
    void close() { socket_.disconnectFromHost(); }  // FIN after the sent bytes
    bool reset() {                                  // RST: SO_LINGER 0, then close
        const linger off{1, 0};
        const bool ok =
            !::setsockopt(int(socket_.socketDescriptor()), SOL_SOCKET, SO_LINGER, &off, sizeof off);
        return socket_.abort(), ok;
    }
    QAbstractSocket::SocketError error() const { return error_; }
    QTcpSocket& socket() { return socket_; }

  private:
    template <class Done>
    bool wait(Done done, int ms = -1) {
        return QTest::qWaitFor(done, ms < 0 ? timeoutMs_ : ms);
    }
    QTcpSocket socket_;
    QByteArray received_;
    QAbstractSocket::SocketError error_ = QAbstractSocket::UnknownSocketError;
    int timeoutMs_;
};

// Envelope text cut before every "U2FsdGVkX1" that stands at a multiple of 4
// characters from the start of the piece before it.
inline QByteArrayList cutEnvelopes(const QByteArray& wire) {
    QByteArrayList out;
    qsizetype start = 0;
    for (qsizetype k = 4; k + 10 <= wire.size(); k += 4)
        if (wire.mid(k, 10) == "U2FsdGVkX1") out << wire.mid(start, k - start), start = k;
    return wire.size() > start ? out << wire.mid(start) : out;
}

// The message bytes envelopes carry, by their lengths (Base64 less the header).
inline qsizetype carried(const QByteArrayList& envelopes) {
    qsizetype sum = 0;
    for (const QByteArray& e : envelopes) sum += e.size() / 4 * 3 - e.count('=') - 16;
    return sum;
}

// Reads from `client` until its envelopes carry `messageBytes` bytes in all.
inline QByteArrayList readEnvelopes(TcpClient& client, qsizetype messageBytes,
                                    int timeoutMs = 10000) {
    QByteArray wire;
    const QDeadlineTimer deadline(timeoutMs);
    do wire += client.read(1);
    while ((wire.size() % 4 || carried(cutEnvelopes(wire)) < messageBytes) &&
           !deadline.hasExpired());
    return cutEnvelopes(wire);
}

}  // namespace zv::test
