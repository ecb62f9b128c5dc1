// Device to clients: every block from the device goes to each client as an
// envelope of its own, as soon as a key made ahead is ready for it; this
// thread never derives one. Bytes that come while a client waits for its key,
// or sooner than kDevicePaceMs after the last block, join the bytes already
// waiting, so under a flood envelopes grow instead of falling behind. What a
// client's TCP has not acknowledged when it resets goes to the listener's
// next client first.
#include <exception>
#include <optional>
#include <utility>

#include "cipher/envelope.h"
#include "cipher/error.h"
#include "cipher/key_pool.h"
#include "cipher/sha512_lanes.h"
#include "core/client.h"
#include "core/relay.h"
#include "serial/serial_line.h"
#include "stream/wire_bytes.h"

namespace zv {

namespace {
std::string_view viewOf(const QByteArray& bytes) {
    return {bytes.constData(), size_t(bytes.size())};
}
}  // namespace

// A client that gets the device's bytes: the served one, else one that ended
// its data and still reads (until another client takes the listener).
Client* Relay::recipient(Listener& l) {
    if (Client* c = l.served()) return l.failed ? nullptr : c;
    return l.lingering();
}

// An error leaving a Qt slot would end the program: every step is caught.
void Relay::onDeviceData() {
    // Nothing waits: the pace's time is up with nothing new, or the line
    // closes or the relay stops with nothing to take.
    if (line_->available() == 0) return;
    try {
        if (recipient(listenerAt(0)) == nullptr && recipient(listenerAt(1)) == nullptr) {
            // The bytes stay waiting in the line (up to its input cap) and go
            // with a later event.
            setStatus(QStringLiteral("com send failed, client not connected") + discardedText() +
                      stoppedReadingText());
            return;
        }
        // A client still waits for keys for more than a few envelopes' worth:
        // the bytes wait in the line (its input cap applies) until then.
        deviceHeld_ = clientsFull();
        if (deviceHeld_) return;
        if (paceTimer_.isActive()) return;  // its time up, it takes them
        // An envelope's worth at a time while a client takes it, so what
        // waits for keys stays bounded; the rest waits in the line.
        for (;;) {
            const QByteArray bytes = line_->read(kMaxEnvelopeBytes);
            trace_.deviceToClients(bytes);
            discarded_ = 0;
            for (auto& l : listeners_) {
                Client* c = recipient(*l);
                if (c == nullptr) continue;
                queueFor(*c, bytes, true);  // one envelope per event
                sendQueued(*l, *c);
            }
            emit fromDevice(bytes);
            if (line_->available() == 0) break;
            if (recipient(listenerAt(0)) == nullptr && recipient(listenerAt(1)) == nullptr) break;
            deviceHeld_ = clientsFull();
            if (deviceHeld_) break;
        }
        paceTimer_.start(kDevicePaceMs);
    } catch (const Error&) {  // the read failed: nothing was sent or shown
        setStatus(QStringLiteral("com data read error"));
    } catch (const std::exception&) {  // e.g. out of memory
        setStatus(QStringLiteral("com data read error"));
    }
}

// Device bytes that wait go now: the pace's time is up, the line closes
// (what waits in it would go with it), or the relay stops.
void Relay::sendPacedNow() {
    paceTimer_.stop();
    onDeviceData();  // nothing when nothing waits
}

// The line dropped the oldest waiting bytes (its input cap): the running
// total since the last read that went to a client is shown until then.
void Relay::onOverflow(qint64 dropped) {
    discarded_ += dropped;
    const bool client = recipient(listenerAt(0)) || recipient(listenerAt(1));
    setStatus((client ? QStringLiteral("com buffer full: %1 oldest bytes discarded")
                      : QStringLiteral("com buffer full, no client: %1 oldest bytes discarded"))
                  .arg(discarded_));
}

void Relay::queueFor(Client& c, const QByteArray& payload, bool fromDevice,
                     const QString& failure) {
    if (fromDevice && !c.toClient.empty() && c.toClient.back().fromDevice && !payload.isEmpty())
        c.toClient.back().payload += payload;
    else if (!fromDevice || c.toClient.empty() || !c.toClient.back().fromDevice)
        c.toClient.push_back({payload, fromDevice, failure});
}

void Relay::sendQueued() {
    sendPosted_ = false;
    for (auto& l : listeners_)
        for (auto& c : l->clients) sendQueued(*l, *c);
}

void Relay::sendQueued(Listener& l, Client& c) {
    if (c.role == Client::Gone || !c.connection->open()) return;
    const std::string pass = passBytes_.toStdString();
    QString failure;    // of the message being sent
    bool took = false;  // a key made ahead
    // Each client on its own: one failing must not cost the other its copy.
    try {
        while (!c.toClient.empty()) {
            failure.clear();
            if (c.connection->unsent() > maxClientBacklog_) {
                // It stopped reading: rather than queue without bound, reset
                // its connection (it sees that it lost data) and say so.
                stoppedReading_ = l.name + QStringLiteral(" client stopped reading, disconnected");
                const bool served = c.role == Client::Served;
                c.toClient.clear();
                c.unconfirmed.clear();
                c.role = Client::Gone;
                c.connection->abort();
                if (!c.stream.finished()) c.stream.finish(passBytes_);
                setStatus(stoppedReading_);
                if (served && !stopping() && !stopped_) {
                    l.server->listen();
                    emit listenerChanged(l.index, ListenerState::Listening);
                }
                break;
            }
            // Checked before: a client that stopped reading is let go even
            // while keys are scarce.
            std::optional<PreparedKey> key = keys_->take(pass);
            // None ready: the pool calls back once one is.
            if (!key && keys_->derivesAhead(pass)) break;
            took = took || key;
            Outgoing& front = c.toClient.front();
            Outgoing message;
            if (front.fromDevice && front.payload.size() > kMaxEnvelopeBytes) {
                message = {front.payload.first(kMaxEnvelopeBytes), true, {}};
                front.payload.remove(0, kMaxEnvelopeBytes);
            } else {
                message = std::move(front);
                c.toClient.pop_front();
            }
            failure = message.fromDevice ? QStringLiteral("com data send error on ") + l.name
                                         : message.failure;
            const QByteArray text =
                message.fromDevice ? bytesAsText(message.payload) : message.payload;
            const std::string envelope =
                key ? EncryptText(viewOf(text), std::move(*key)) : EncryptText(viewOf(text), pass);
            c.connection->write(QByteArrayView(envelope.data(), qsizetype(envelope.size())));
            const bool fromDevice = message.fromDevice;
            c.unconfirmed.push_back({c.connection->written(), std::move(message)});
            if (fromDevice)
                setStatus(QStringLiteral("com data sent to winsock ") + l.name +
                          stoppedReadingText());
        }
        const qint64 acknowledged = c.connection->acknowledged();
        while (!c.unconfirmed.empty() && c.unconfirmed.front().end <= acknowledged)
            c.unconfirmed.pop_front();
    } catch (const std::exception&) {  // zv::Error, or e.g. out of memory
        if (!failure.isEmpty()) setStatus(failure);
        c.toClient.clear();
    }
    if (took) {  // keys are made again once the link pauses, or at once when few are left
        if (keys_->size() < kLowKeys)
            keys_->refill(kLanes);
        else
            keysTimer_.start(kKeysQuietMs);
    }
    if (deviceHeld_ && !clientsFull()) {  // bytes held in the line go on now
        deviceHeld_ = false;
        QMetaObject::invokeMethod(this, &Relay::onDeviceData, Qt::QueuedConnection);
    }
}

// The client's connection is over (it reset, or another client took the
// listener): what it was sent and its TCP did not acknowledge, and what still
// waited for it, goes to the listener's next client, first and in order.
void Relay::handBack(Listener& l, Client& c) {
    const qint64 acknowledged = c.connection->acknowledged();
    bool lost = false;
    for (Client::Sent& sent : c.unconfirmed)
        if (sent.end > acknowledged) l.owed.push_back(std::move(sent.message)), lost = true;
    for (Outgoing& waiting : c.toClient) l.owed.push_back(std::move(waiting)), lost = true;
    c.unconfirmed.clear();
    c.toClient.clear();
    c.role = Client::Gone;
    if (lost)
        c.connection->abort();  // it must not get them twice
    else
        c.connection->close();
    if (!c.stream.finished()) c.stream.finish(passBytes_);
}

qint64 Relay::waitingFor(const Client& c) const {
    qint64 bytes = 0;
    for (const Outgoing& o : c.toClient) bytes += o.payload.size();
    const qint64 acknowledged = c.connection ? c.connection->acknowledged() : 0;
    for (const Client::Sent& s : c.unconfirmed)
        if (s.end > acknowledged) bytes += s.message.payload.size();
    return bytes;
}

bool Relay::clientsFull() const {
    for (const auto& l : listeners_)
        for (const auto& c : l->clients) {
            qint64 device = 0;
            for (const Outgoing& o : c->toClient)
                if (o.fromDevice) device += o.payload.size();
            if (device >= 4 * kMaxEnvelopeBytes) return true;
        }
    return false;
}

QString Relay::stoppedReadingText() const {
    return stoppedReading_.isEmpty() ? QString() : QStringLiteral("; ") + stoppedReading_;
}

QString Relay::discardedText() const {
    return discarded_ > 0 ? QStringLiteral("; %1 oldest bytes discarded").arg(discarded_)
                          : QString();
}

}  // namespace zv
