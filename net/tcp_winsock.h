#pragma once
// The real TCP socket control over QTcpServer and one QTcpSocket, on the GUI
// thread. One object either listens on LocalPort or serves one accepted client.
//
// Events:
// - connectionRequest(fd): the request id is the accepted descriptor. The
//   handler may Close() and then Accept(fd) during the emission; a descriptor
//   not accepted when the emission returns is closed (the client sees EOF).
// - dataArrival(n): n bytes wait for GetData().
// - peerClosed(): exactly once per connection, after any trailing data, when
//   the client closed, reset the connection, or keepalive gave up on it
//   (RemoteHostClosedError, NetworkError, SocketTimeoutError or a disconnect
//   we did not cause). State() then reads 8 until Close(). Our own Close()
//   never emits it.
// - socketError(number, text): any other failure; State() then reads 9.
//
// Handlers may call Close(), Accept() and Listen() from inside any of these
// emissions, but must not delete the object there (use deleteLater()).
#include "net/winsock.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <vector>

class QTcpSocket;

namespace zv {

class TcpWinsock : public Winsock {
    Q_OBJECT

  public:
    explicit TcpWinsock(QObject* parent = nullptr);
    ~TcpWinsock() override;

    void setLocalPort(std::int32_t port) override;
    void setBindAddress(const QString& address) override;
    void setAllowedClients(const AddressFilter& filter) override { allowed_ = filter; }
    // The bound port while listening. A LocalPort of 0 lets the kernel pick
    // one; that port is kept for the next Listen().
    std::int32_t LocalPort() const override;
    void Listen() override;
    void Close() override;
    void Accept(std::int32_t requestID) override;
    // Characters above 0xFF cannot go out as one byte each: they are sent as '?'.
    void SendData(const QString& text) override;
    QString GetData() override;
    std::int16_t State() const override;
    QString LocalHostName() const override;
    QString LocalIP() const override;
    // Exactly the bytes held by Qt for the peer; the kernel's queue is not counted.
    qint64 BytesToWrite() const override;
    void Reset() override;
    void setReading(bool on) override;
    quint64 ConnectionId() const override { return generation_; }

    // The accepted connection's descriptor, or -1 when no client is held.
    qintptr SocketHandle() const;

  private:
    class Server;

    void onIncoming(qintptr descriptor);
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onDisconnected();
    void onAcceptError(QAbstractSocket::SocketError error);
    void endByPeer();
    void enterError(int number, const QString& description);
    bool takeSocketBytes();  // moves Qt's buffered bytes to received_
    void dropSocket();       // silently: no signal of the old socket reaches us

    Server* server_;
    QTcpSocket* socket_ = nullptr;
    QByteArray received_;           // arrived, not yet taken by GetData()
    std::vector<qintptr> pending_;  // descriptors of requests being emitted
    quint64 generation_ = 0;        // bumped whenever socket_ changes
    std::int32_t localPort_ = 0;
    QString bindAddress_;  // empty: every interface
    AddressFilter allowed_;
    std::int16_t state_ = sck::Closed;
    bool reading_ = true;  // take bytes from the peer as they come
};

}  // namespace zv
