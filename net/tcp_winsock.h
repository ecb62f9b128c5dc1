#pragma once
// The real TCP socket control on the GUI thread: QTcpServer listens, and the
// accepted client is served on its descriptor directly, with notifiers.
// QTcpSocket would take a client's half-close (it shut down only its sending
// side) for the end of the connection and close it; here such a client still
// gets what is sent to it. One object either listens on LocalPort or serves
// one accepted client.
//
// Events:
// - connectionRequest(fd): the request id is the accepted descriptor. The
//   handler may Close() and then Accept(fd) during the emission; a descriptor
//   not accepted when the emission returns is closed (the client sees EOF).
// - dataArrival(n): n bytes wait for GetData().
// - peerClosed(): exactly once per connection, after any trailing data, when
//   the client reset the connection, keepalive gave up on it, a send to it
//   failed, or halfCloseMs() passed since its end of data (a client that has
//   closed fully and one that only stopped sending look alike on the wire).
//   From its end of data on, the object listens again: a new client ends the
//   old connection as a Close() would. State() reads 8 after peerClosed
//   until Close(). Our own Close() never emits it.
// - socketError(number, text): any other failure; State() then reads 9.
// - acceptFailed(number, text): accept() failed (EMFILE, ENFILE, ENOMEM,
//   ECONNABORTED, ...); said once until a client is taken again, and the
//   object goes on listening.
//
// Handlers may call Close(), Accept() and Listen() from inside any of these
// emissions, but must not delete the object there (use deleteLater()).
#include "stream/byte_queue.h"
#include "net/winsock.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QTimer>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace zv {

class TcpWinsock : public Winsock {
    Q_OBJECT

  public:
    // How long a client that ended its sending still gets data (milliseconds).
    static constexpr int kHalfCloseMs = 10000;
    // Pause before accepting again after accept() failed (milliseconds).
    static constexpr int kAcceptRetryMs = 250;

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
    // Exactly the bytes held here for the peer; the kernel's queue is not counted.
    qint64 BytesToWrite() const override;
    void Reset() override;
    void setReading(bool on) override;
    void StopReading() override;
    quint64 ConnectionId() const override { return generation_; }
    void setHalfCloseMs(int ms) { halfClose_.setInterval(ms); }

    // The accepted connection's descriptor, or -1 when no client is held.
    qintptr SocketHandle() const;

  private:
    class Server;

    void onIncoming(qintptr descriptor);
    void onReadable();
    void onAcceptError(QAbstractSocket::SocketError error);
    void peerEndedSending();
    void endByPeer();
    void enterError(int number, const QString& description);
    // After a send or receive failure: the peer is gone (reset, timeout,
    // broken pipe) or the connection failed otherwise.
    void failed(int error, quint64 generation);
    void writeOut();
    void updateReadable();
    void dropSocket();  // silently: nothing of the old connection reaches us
    bool listenSocket(QString* why);

    Server* server_;
    int fd_ = -1;  // the accepted client's descriptor
    std::unique_ptr<QSocketNotifier> readable_, writable_;
    QByteArray received_;           // arrived, not yet taken by GetData()
    ByteQueue out_;                 // for the peer
    std::vector<qintptr> pending_;  // descriptors of requests being emitted
    quint64 generation_ = 0;        // bumped whenever fd_ changes
    std::int32_t localPort_ = 0;
    QString bindAddress_;  // empty: every interface
    AddressFilter allowed_;
    std::int16_t state_ = sck::Closed;
    bool reading_ = true;        // take bytes from the peer as they come
    bool stopped_ = false;       // StopReading(): no more bytes until Close()
    bool peerEnded_ = false;     // the peer sent its FIN (or reading failed)
    bool acceptFailed_ = false;  // reported; said again only after a success
    QTimer halfClose_;           // from the peer's FIN to peerClosed()
};

}  // namespace zv
