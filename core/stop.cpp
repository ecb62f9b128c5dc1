// Stopping without loss: what the relay took from clients still goes to the
// device, and what it sent or queued for clients still reaches them, for a
// bounded time; what could not be delivered is said in clear bytes.
#include <QCoreApplication>

#include "core/client.h"
#include "core/relay.h"
#include "serial/serial_line.h"

namespace zv {

namespace {
constexpr int kPollMs = 100;
}  // namespace

qint64 Relay::waitingForDevice() const {
    qint64 bytes = line_->queued();
    for (const auto& l : listeners_)
        for (const auto& c : l->clients) bytes += c->stream.waitingBytes() + c->toDeviceBytes;
    return bytes;
}

qint64 Relay::waitingForClients() const {
    qint64 bytes = 0;
    for (const auto& l : listeners_) {
        for (const Outgoing& o : l->owed) bytes += o.payload.size();
        for (const auto& c : l->clients)
            if (c->role != Client::Gone) bytes += waitingFor(*c);
    }
    return bytes;
}

void Relay::stop() {
    if (stopped_) return;
    if (stopTimer_ != nullptr) return finishStop();  // asked again: at once
    stopClock_.start();
    sendPacedNow();
    for (auto& l : listeners_) {
        l->server->close();
        bool clients = false;
        for (const auto& c : l->clients) {
            if (c->role == Client::Gone) continue;
            clients = true;
            // The kernel keeps what comes now; the reset at the end discards it.
            c->reading = false;
            c->connection->setReading(false);
            // What the stream holds back for a next read goes on as it stands.
            if (!c->stream.finished()) c->stream.finish(passBytes_);
        }
        if (!clients) emit listenerChanged(l->index, ListenerState::Closed);
    }
    stopTimer_ = new QTimer(this);
    connect(stopTimer_, &QTimer::timeout, this, &Relay::pollStop);
    stopTimer_->start(kPollMs);
    pump();
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);  // results already deciphered
    const qint64 device = waitingForDevice(), clients = waitingForClients();
    if (device + clients == 0) return finishStop();
    setStatus(
        QStringLiteral("stopping: %1 bytes wait for the device, %2 for clients (at most %3 s)")
            .arg(device)
            .arg(clients)
            .arg(kStopMs / 1000));
}

void Relay::pollStop() {
    for (auto& l : listeners_)  // acknowledgements are looked at here
        for (auto& c : l->clients) sendQueued(*l, *c);
    const bool idle = waitingForDevice() == 0 && waitingForClients() == 0;
    quietPolls_ = idle ? quietPolls_ + 1 : 0;
    if (quietPolls_ >= 2 || stopClock_.elapsed() >= kStopMs) finishStop();
}

void Relay::finishStop() {
    stopTimer_->stop();
    stopTimer_->deleteLater();  // we may be in its timeout
    stopTimer_ = nullptr;
    stopped_ = true;
    const qint64 device = waitingForDevice(), clients = waitingForClients();
    // A client that loses anything sees a reset, not a clean end.
    for (auto& l : listeners_) {
        for (auto& c : l->clients) {
            if (c->role == Client::Gone) continue;
            if (waitingFor(*c) > 0)
                c->connection->abort();
            else
                c->connection->close();
            c->role = Client::Gone;
        }
        for (auto& c : l->clients) c->connection.release()->deleteLater();
        l->clients.clear();  // their derivations are cancelled
        l->owed.clear();
    }
    speaker_.reset();
    const QString report =
        device + clients == 0
            ? QStringLiteral("stopped, everything delivered")
            : QStringLiteral(
                  "stopped after %1 s: %2 bytes not written to the device, %3 bytes "
                  "not delivered to clients")
                  .arg(stopClock_.elapsed() / 1000.0, 0, 'f', 1)
                  .arg(device)
                  .arg(clients);
    setStatus(report);
    emit stopped(device + clients, report);
}

}  // namespace zv
