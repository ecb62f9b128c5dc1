#pragma once
// A small loopback TCP client for tests. Every wait runs the event loop (so a
// server in the same thread makes progress) and gives up after a timeout.
#include <QAbstractSocket>
#include <QByteArray>
#include <QTcpSocket>

namespace zv::test {

class TcpClient {
  public:
    explicit TcpClient(int timeoutMs = 5000) : timeoutMs_(timeoutMs) {}

    // True once connected to 127.0.0.1:port; false when refused or timed out.
    bool connect(quint16 port);
    // True once every byte went to the kernel.
    bool send(const QByteArray& bytes);
    // Waits until at least `count` bytes arrived in all, then returns and
    // forgets every byte received so far (fewer on timeout).
    QByteArray read(qsizetype count);
    // Waits until the server closed or reset the connection.
    bool waitForClose();
    // FIN after the sent bytes.
    void close();
    // RST: SO_LINGER with a zero timeout, then close.
    bool reset();

    QAbstractSocket::SocketError error() const { return error_; }
    QTcpSocket& socket() { return socket_; }

  private:
    void collect();

    QTcpSocket socket_;
    QByteArray received_;
    QAbstractSocket::SocketError error_ = QAbstractSocket::UnknownSocketError;
    bool errorSeen_ = false;
    int timeoutMs_;
};

}  // namespace zv::test
