#pragma once
// One accepted client: its descriptor served directly with notifiers on the
// owner's thread. QTcpSocket would take a client's half-close (it shut down
// only its sending side) for the end of the connection and close it; here the
// end of its data is reported and the connection can still send to it.
//
// Events:
// - readyRead(): bytes wait for read().
// - endOfData(): the peer sent its FIN (after its last bytes). A peer that
//   closed fully and one that only stopped sending look alike here; what is
//   written afterwards counts once acknowledged (see acknowledged()).
// - lost(error): the peer is gone (it reset the connection, keepalive gave
//   up, a send failed with EPIPE); nothing more goes out. Said once.
// - failed(number, text): any other failure of the socket. Said once.
//
// Handlers may call close() or abort() from inside any of these, but must not
// delete the object there (use deleteLater()).
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <utility>

#include "stream/byte_queue.h"

class QSocketNotifier;

namespace zv {

class TcpConnection : public QObject {
    Q_OBJECT

  public:
    using QObject::QObject;
    ~TcpConnection() override = default;

    // The descriptor it was accepted on: the request id the status names.
    virtual qintptr id() const = 0;
    // Every byte that arrived and was not yet taken.
    virtual QByteArray read() = 0;
    // Queues the bytes for the peer, nothing added; raises 40006 once the
    // connection is closed, lost or failed.
    virtual void write(QByteArrayView bytes) = 0;
    // Bytes handed to write() since the connection began, and how many of
    // them the peer's TCP has acknowledged (its kernel has them).
    virtual qint64 written() const = 0;
    virtual qint64 acknowledged() const = 0;
    // Bytes of write() still queued here, not yet handed to the kernel.
    virtual qint64 unsent() const = 0;
    // Bytes that arrived and were not yet taken, here or in the kernel.
    virtual qint64 arriving() const = 0;
    // false: take no more bytes from the peer (they wait in the kernel, and
    // TCP flow control slows the sender); true: take them again.
    virtual void setReading(bool on) = 0;
    bool open() const { return open_; }
    // Ends the connection; what is queued here is dropped, the kernel sends
    // what it holds and then the FIN. Never reported as the peer's end.
    virtual void close() = 0;
    // Ends it with a reset: what the peer has not taken is discarded and the
    // peer sees that it lost data.
    virtual void abort() = 0;

  signals:
    void readyRead();
    void endOfData();
    void lost(int error);
    void failed(int number, const QString& description);

  protected:
    bool open_ = true;
};

// The real connection on an accepted descriptor (non-blocking from now on).
class SocketConnection final : public TcpConnection {
    Q_OBJECT

  public:
    // How often a connection whose peer ended its data is looked at for the
    // acknowledgement or the reset of what was sent since (milliseconds).
    static constexpr int kWatchMs = 20;

    // Takes `descriptor`; raises 10035-class errors as zv::Error when it
    // cannot be made non-blocking (the descriptor is closed then).
    explicit SocketConnection(int descriptor, QObject* parent = nullptr);
    ~SocketConnection() override;

    qintptr id() const override { return id_; }
    QByteArray read() override;
    void write(QByteArrayView bytes) override;
    qint64 written() const override { return written_; }
    qint64 acknowledged() const override;
    qint64 unsent() const override { return out_.size(); }
    qint64 arriving() const override;
    void setReading(bool on) override;
    void close() override;
    void abort() override;

  private:
    void onReadable();
    void writeOut();
    std::pair<qint64, bool> sendNow(QByteArrayView bytes);
    void watch();  // after the peer's FIN: acknowledged, or reset?
    void fail(int error);
    void updateReadable();
    void drop();

    int fd_;
    qintptr id_;
    std::unique_ptr<QSocketNotifier> readable_, writable_;
    QByteArray received_;  // arrived, not yet taken by read()
    ByteQueue out_;        // for the peer
    qint64 written_ = 0;   // bytes
    mutable qint64 acked_ = 0;
    bool reading_ = true;
    bool peerEnded_ = false;
    QTimer watch_;
};

}  // namespace zv
