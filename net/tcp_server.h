#pragma once
// One listening socket. A client that connects is offered as a connection
// request; the owner takes it with accept() during or after the signal, or
// leaves it, and a request nobody took when the signal returns is closed (the
// client sees its connection end).
#include <QObject>
#include <QString>
#include <memory>
#include <vector>

#include "net/address_filter.h"
#include "net/tcp_connection.h"

namespace zv {

class TcpServer : public QObject {
    Q_OBJECT

  public:
    using QObject::QObject;
    ~TcpServer() override = default;

    virtual void setLocalPort(qint32 port) = 0;  // the next listen() uses it
    // The bound port while listening, else the one set (0 lets the kernel
    // pick one, which is then kept for the next listen()).
    virtual qint32 localPort() const = 0;
    // The literal IPv4 or IPv6 address the next listen() binds to; empty:
    // every interface, IPv4 and IPv6.
    virtual void setBindAddress(const QString& address) = 0;
    // Peers that may connect; one from elsewhere is closed at once, before
    // any request, and said with clientRefused.
    virtual void setAllowedClients(const AddressFilter& filter) = 0;
    // Raises 10048 when the port is in use, 10049 when the machine has no
    // such address (or the text is none), 380 for a port outside 0..65535.
    virtual void listen() = 0;
    // Stops listening: later clients are refused. Harmless when not listening.
    virtual void close() = 0;
    virtual bool listening() const = 0;
    // The client of a connection request; raises 40006 for an unknown id.
    virtual std::unique_ptr<TcpConnection> accept(qintptr requestId) = 0;
    virtual QString localHostName() const = 0;
    virtual QString localIP() const = 0;

  signals:
    void connectionRequest(qintptr requestId);
    void clientRefused(const QString& address);  // not in the allowed clients
    // Taking a waiting client failed (no descriptor or memory left, the
    // client gone first); said once until a client is taken again, and the
    // socket goes on listening and tries again.
    void acceptFailed(int number, const QString& description);
};

// The real listening socket: QTcpServer, whose accepted descriptors are
// taken before Qt wraps them.
class ListeningSocket final : public TcpServer {
    Q_OBJECT

  public:
    // Pause before accepting again after accept() failed (milliseconds).
    static constexpr int kAcceptRetryMs = 250;

    explicit ListeningSocket(QObject* parent = nullptr);
    ~ListeningSocket() override;

    void setLocalPort(qint32 port) override { localPort_ = port; }
    qint32 localPort() const override;
    void setBindAddress(const QString& address) override { bindAddress_ = address; }
    void setAllowedClients(const AddressFilter& filter) override { allowed_ = filter; }
    void listen() override;
    void close() override;
    bool listening() const override;
    std::unique_ptr<TcpConnection> accept(qintptr requestId) override;
    QString localHostName() const override;
    QString localIP() const override;

  private:
    class Server;
    void onIncoming(qintptr descriptor);
    void onAcceptError();

    Server* server_;
    std::vector<qintptr> pending_;  // descriptors of requests being offered
    qint32 localPort_ = 0;
    QString bindAddress_;  // empty: every interface
    AddressFilter allowed_;
    bool acceptFailed_ = false;  // said; said again only after a success
};

}  // namespace zv
