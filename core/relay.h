#pragma once
// The relay: one serial line and two listeners, each serving one client at a
// time. Every block from the device goes to each client as an envelope;
// every message from a client is deciphered, written to the device and
// passed on, afresh, to the other listener's client. It owns the line, the
// listeners and their clients, the key pools, the stop and the trace, knows
// no window, and says what happens through its signals.
//
// Rules a reader can hold it to:
// - What a client sent and the relay read is the listener's to deliver: a
//   close, Listen, Close or the line opened again changes where new text
//   comes from, not whether what was read reaches the device.
// - Messages reach the device one at a time: a client's message holds the
//   line (and, under the text rules, its last character) until its envelope
//   ends, its connection ends, or it has sent nothing for kQuietMs; other
//   clients' messages wait meanwhile. Each client's messages keep their order.
// - What is sent to a client counts as delivered once the client's TCP
//   acknowledged it; what a reset loses goes to the listener's next client
//   first, in order.
// - No key is derived on this object's thread: received envelopes get theirs
//   on a derivation pool, outgoing ones take keys made ahead, or wait in order.
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <array>
#include <atomic>
#include <memory>

#include "core/traffic_trace.h"
#include "net/address_filter.h"

namespace zv {

class DerivationPool;
class KeyPool;
class SerialLine;
class TcpServer;
class TcpConnection;
struct Client;
struct Listener;

// A listener as its lamp shows it.
enum class ListenerState { Closed, Listening, Connected, Failed };

class Relay : public QObject {
    Q_OBJECT

  public:
    // A client that has sent nothing for this long has ended its message
    // (milliseconds): longer than TCP takes to resend a lost segment.
    static constexpr int kQuietMs = 250;
    // What one listener may have waiting for the device before its client is
    // no longer read (TCP flow control then slows the sender): bytes, messages.
    static constexpr qsizetype kMaxWaitingBytes = 1024 * 1024;
    static constexpr qsizetype kMaxWaitingMessages = 256;
    // A piece waits for the serial line whole: longer ones are cut (bytes).
    static constexpr qsizetype kMaxPieceBytes = 256 * 1024;
    // Device bytes in one envelope at most, so every receiver can buffer it.
    static constexpr qsizetype kMaxEnvelopeBytes = 256 * 1024;
    // Bytes a client may leave unsent (our queue) before it is let go.
    static constexpr qint64 kMaxClientBacklog = 4 * 1024 * 1024;
    // Keys ahead are made in quiet moments: a lane set's worth (about 8 ms
    // of a core) once nothing was sent for kKeysQuietMs, again every
    // kKeysQuietMs while it stays quiet, and at once when fewer than
    // kLowKeys are left. A derivation takes a core, and on two cores the
    // next message waited for it.
    static constexpr int kKeysQuietMs = 10;
    static constexpr std::size_t kLowKeys = 8;
    // Device bytes go to clients at most once per kDevicePaceMs; those that
    // come sooner wait in the line and go together. Every envelope costs a
    // derivation: under a flood envelopes grow instead (at most 250 a second,
    // about a quarter of a core), and a line that pauses longer than this is
    // never held.
    static constexpr int kDevicePaceMs = 4;
    // How long a stop may go on delivering what was taken (milliseconds).
    static constexpr int kStopMs = 10000;

    Relay(std::unique_ptr<SerialLine> line, std::unique_ptr<TcpServer> server1,
          std::unique_ptr<TcpServer> server2, QObject* parent = nullptr);
    ~Relay() override;

    SerialLine& line() { return *line_; }
    TcpServer& server(int listener);
    TrafficTrace& trace() { return trace_; }

    // --- What the traffic is relayed with; in force at once.
    void setPassPhrase(const QString& passPhrase);
    const QString& passPhrase() const { return passPhrase_; }
    // Client messages reach the device as they came instead of under the
    // text rules (see MessageEdit).
    void setTransparent(bool on) { transparent_ = on; }
    bool transparent() const { return transparent_; }
    void setAllowedClients(const AddressFilter& filter);
    void setBindAddress(const QString& address);
    void setMaxClientBacklog(qint64 bytes) { maxClientBacklog_ = bytes > 0 ? bytes : 1; }
    // How long a client must have sent nothing for its message to end without
    // an end of its own (milliseconds; kQuietMs unless set).
    void setQuietMs(int ms) { quietMs_ = ms > 0 ? ms : 1; }

    // --- Listeners; index 0 is listener 1.
    // Listens on the listener's port (close() first lets a client it serves
    // go); raises zv::Error when it cannot.
    void listen(int listener);
    // Stops listening and lets its clients go; harmless when closed.
    void close(int listener);
    ListenerState state(int listener) const;
    bool serving(int listener) const;      // a client is connected
    qintptr clientId(int listener) const;  // its request id; -1 without one

    // --- Traffic the operator makes.
    // One key typed as if the device had sent it: to listener 1's client,
    // then listener 2's; raises 40006 at the first listener without one.
    void typeToClients(QChar key);
    // One key to the device, as it is; raises when the line does not take it.
    void typeToDevice(QChar key);
    // The greeting to one client, listener 1's first; the status says where.
    void sendGreeting();
    // A status caption of the operator's own (the listening status, ...).
    void say(const QString& caption);

    // --- Stopping without loss: nothing new is taken (no listening, no
    // reading); what was taken keeps going to the device and the clients
    // until nothing waits or kStopMs passed, then stopped() says what was
    // not delivered and every client that lost something gets a reset.
    // Asked again while stopping: ends at once.
    void stop();
    bool stopping() const { return stopTimer_ != nullptr; }
    bool hasStopped() const { return stopped_; }
    // Bytes taken from clients and not yet written to the device (in the
    // streams, waiting for the line, queued for it), and bytes for clients
    // not yet acknowledged by them; clear bytes both.
    qint64 waitingForDevice() const;
    qint64 waitingForClients() const;

  signals:
    void statusChanged(const QString& caption);
    void listenerChanged(int listener, ListenerState state);
    // Bytes the device sent, as read.
    void fromDevice(const QByteArray& bytes);
    // A piece of a client's message as deciphered (UTF-8), before any edit.
    void fromClient(int listener, const QByteArray& text);
    // A socket error put the listener in the error state.
    void socketError(int listener, int number, const QString& description);
    void stopped(qint64 undelivered, const QString& report);

  private:
    Listener& listenerAt(int index) { return *listeners_[index]; }
    const Listener& listenerAt(int index) const { return *listeners_[index]; }
    void setStatus(const QString& caption) { emit statusChanged(caption); }

    // Connections (relay.cpp).
    void onConnectionRequest(int index, qintptr requestId);
    void onEndOfData(Client* client);
    void onLost(Client* client);
    void onFailed(Client* client, int number, const QString& description);
    void letGo(Listener& l, Client& c);  // closes its connection; what it sent still goes on
    void relisten(Listener& l);          // after its client left
    Listener* listenerOf(const Client* client);

    // Client to device (client_to_device.cpp).
    void onReadyRead(Client* client);
    void pump();
    void writeToLine();
    Client* nextSpeaker();
    bool quiet(const Client& c) const;
    void endMessage(Client& c);
    void deliver(int index, const QByteArray& edited, bool whole);
    void updateReading(Listener& l);
    void dropFinished();

    // Device to clients (device_to_clients.cpp).
    void onDeviceData();
    void sendPacedNow();
    void onOverflow(qint64 dropped);
    void queueFor(Client& c, const QByteArray& payload, bool fromDevice,
                  const QString& failure = {});
    void sendQueued();
    void sendQueued(Listener& l, Client& c);
    void handBack(Listener& l, Client& c);  // what it did not get goes to the next client
    Client* recipient(Listener& l);
    qint64 waitingFor(const Client& c) const;
    bool clientsFull() const;
    QString stoppedReadingText() const;
    QString discardedText() const;

    // Stopping (stop.cpp).
    void pollStop();
    void finishStop();

    std::unique_ptr<SerialLine> line_;
    std::array<std::unique_ptr<Listener>, 2> listeners_;
    QString passPhrase_;
    QByteArray passBytes_;  // its UTF-8, as the cipher takes it
    bool transparent_ = false;
    qint64 maxClientBacklog_ = kMaxClientBacklog;
    int quietMs_ = kQuietMs;
    TrafficTrace trace_;
    std::unique_ptr<KeyPool> keys_;  // keys ahead for what we send
    // Keys of received envelopes; its threads call back into this object.
    std::unique_ptr<DerivationPool> derivations_;
    std::atomic<bool> pumpPosted_{false};  // a pump() is queued
    std::atomic<bool> sendPosted_{false};  // a sendQueued() is queued
    std::weak_ptr<Client> speaker_;        // whose message holds the line
    int lastSpeaker_ = 1;                  // listener that spoke last: the other goes first
    QTimer quietTimer_;                    // until the speaker's quiet time is over
    QTimer keysTimer_;                     // until what is sent pauses: keys ahead made again
    bool deviceHeld_ = false;              // device bytes wait in the line for keys
    QTimer paceTimer_;                     // until device bytes may go out again
    qint64 discarded_ = 0;                 // device bytes the line dropped since a client read some
    QString stoppedReading_;               // said until a client connects again

    QTimer* stopTimer_ = nullptr;  // polls while a stop drains
    QElapsedTimer stopClock_;
    int quietPolls_ = 0;
    bool stopped_ = false;
};

}  // namespace zv
