#pragma once
// One TCP socket control: it either listens on LocalPort or serves one
// accepted client. Bytes and characters map one to one (ISO 8859-1).
// Failures raise zv::Error.
#include <QObject>
#include <QString>
#include <cstdint>

#include "net/address_filter.h"

namespace zv {

namespace sck {
constexpr std::int16_t Closed = 0;
constexpr std::int16_t Listening = 2;
constexpr std::int16_t Connected = 7;
constexpr std::int16_t Closing = 8;  // the peer closed; our Close() not yet called
constexpr std::int16_t Error = 9;
}  // namespace sck

class Winsock : public QObject {
    Q_OBJECT

  public:
    using QObject::QObject;
    ~Winsock() override = default;

    virtual void setLocalPort(std::int32_t port) = 0;  // the next Listen() uses it
    // The literal IPv4 or IPv6 address the next Listen() binds to; empty: every
    // interface, IPv4 and IPv6. Listen() raises 10049 when the machine has no
    // such address or the text is not one.
    virtual void setBindAddress(const QString& address) = 0;
    // Peers the control serves; one from elsewhere is closed at once, before
    // connectionRequest, and reported with clientRefused.
    virtual void setAllowedClients(const AddressFilter& filter) = 0;
    virtual std::int32_t LocalPort() const = 0;
    virtual void Listen() = 0;  // raises 10048 when the port is in use
    // Closes whatever the control holds; harmless when closed. Never reported
    // as the peer's close.
    virtual void Close() = 0;
    // Serves the client of a connectionRequest, also after Close() ran.
    virtual void Accept(std::int32_t requestID) = 0;
    // Queues the text's bytes for the peer, nothing added; raises 40006 when
    // not connected.
    virtual void SendData(const QString& text) = 0;
    // Every byte received and not yet taken.
    virtual QString GetData() = 0;
    virtual std::int16_t State() const = 0;
    virtual QString LocalHostName() const = 0;
    virtual QString LocalIP() const = 0;
    // Bytes queued for the peer and not yet handed to the kernel.
    virtual qint64 BytesToWrite() const = 0;
    // Closes at once and discards what the peer has not taken: the peer sees a
    // reset, not a clean end, and knows it lost data.
    virtual void Reset() = 0;
    // false: take no more bytes from the peer (they wait in the kernel, and TCP
    // flow control slows the sender); true: take them again. A new client
    // starts with reading on.
    virtual void setReading(bool on) = 0;
    // Changes whenever the control starts or stops serving a client.
    virtual quint64 ConnectionId() const = 0;
    // Takes nothing more until Close(): no bytes from the peer, whatever
    // setReading() asks later, and no new client. A stop delivers what was
    // taken and takes nothing new.
    virtual void StopReading() { setReading(false); }

  signals:
    void connectionRequest(std::int32_t requestID);
    void dataArrival(qint64 bytesTotal);
    void peerClosed();  // the client closed the connection
    void socketError(int number, const QString& description);
    void clientRefused(const QString& address);  // not in the allowed clients
    // Taking a waiting client failed (no descriptor or memory left, the client
    // gone first); the control goes on listening and tries again.
    void acceptFailed(int number, const QString& description);
};

}  // namespace zv
