// Serial receive path: every block from the device goes to each connected
// client, then into the "Rx from Com:" pane. A client's bytes go out in an
// envelope as soon as a key derived ahead is ready for it; the window's thread
// never derives one. Bytes that come while a client waits for its key join
// the bytes already waiting, so under a flood envelopes grow instead of
// falling behind, and each client gets the device's bytes in order.
#include <QLabel>
#include <algorithm>
#include <exception>
#include <optional>

#include "app/data_pane.h"
#include "app/frmZVServer.h"
#include "app/listener.h"
#include "app/qt_cipher.h"
#include "app/traffic_trace.h"
#include "cipher/error.h"
#include "net/winsock.h"
#include "serial/mscomm.h"

namespace zv {

namespace {
// Bytes that piled up go out in messages that every receiver can buffer whole
// (1 MiB of text at most).
constexpr qsizetype kMaxMessageChars = 256 * 1024;
}  // namespace

// An error leaving a Qt slot would end the program: every step is caught
// here and shown in the status line instead.
void frmZVServer::MSComm1_OnComm() {
    try {
        if (wskServer1.State() != sck::Connected && wskServer2.State() != sck::Connected) {
            // The bytes stay waiting in the control (up to its input cap) and go
            // with a later event.
            setStatus(QStringLiteral("com send failed, client not connected") + comDiscardedText() +
                      stoppedReadingText());
            return;
        }
        // A client still waits for keys for more than a few messages' worth:
        // the bytes wait in the control (its input cap applies) until then.
        comHeld_ = comBacklogFull();
        if (comHeld_) return;
        // One character per byte; EncryptText sends the text's UTF-8, so a byte
        // 0x80-0xFF reaches the client as the UTF-8 of that Latin-1 character.
        QString received = MSComm1.Input();
        trace_->deviceToClients(received);
        comDiscarded_ = 0;
        for (int i = 0; i < 2; ++i) {
            if (listener(i).sock.State() != sck::Connected) continue;
            ComBacklog& waiting = comFor_[i];
            if (waiting.connection != listener(i).sock.ConnectionId()) waiting = {};
            waiting.connection = listener(i).sock.ConnectionId();
            waiting.text += received;
            waiting.owed = true;  // one envelope per event, even of no bytes
            sendComBacklog(i);
        }
        errorRecord_.clear();
        ShowData(*txtTxData, received);
    } catch (const Error& e) {  // the read failed: nothing was sent or shown
        errorRecord_ = {e.number(), QString::fromStdString(e.description())};
        setStatus(QStringLiteral("com data read error"));
        errorRecord_.clear();
    } catch (const std::exception&) {  // e.g. out of memory
        setStatus(QStringLiteral("com data read error"));
    }
}

void frmZVServer::sendComBacklog(int index) {
    Listener& l = listener(index);
    ComBacklog& waiting = comFor_[index];
    if (l.sock.State() != sck::Connected || l.sock.ConnectionId() != waiting.connection)
        waiting = {};  // that client is gone, and its copy with it
    // Each client on its own: one failing must not cost the other its copy.
    try {
        while (waiting.owed) {
            std::optional<PreparedKey> key = keyPool_->take(Password.toStdString());
            // None ready: the pool calls back once one is (keyReady).
            if (!key && keyPool_->derivesAhead(Password.toStdString())) break;
            const QString piece = waiting.text.left(kMaxMessageChars);
            const QString envelope =
                key ? EncryptText(piece, std::move(*key)) : EncryptText(piece, Password);
            waiting.text.remove(0, piece.size());
            waiting.owed = !waiting.text.isEmpty();
            if (!sendToClient(index, envelope)) {  // it stopped reading and was let go
                waiting = {};
                break;
            }
            setStatus(QStringLiteral("com data sent to winsock ") + l.name + stoppedReadingText());
        }
    } catch (const Error& e) {
        errorRecord_ = {e.number(), QString::fromStdString(e.description())};
        setStatus(QStringLiteral("com data send error on ") + l.name);
        errorRecord_.clear();
        waiting = {};
    } catch (const std::exception&) {  // e.g. out of memory
        setStatus(QStringLiteral("com data send error on ") + l.name);
        waiting = {};
    }
    if (comHeld_ && !comBacklogFull()) {  // bytes held in the control go on now
        comHeld_ = false;
        QMetaObject::invokeMethod(this, &frmZVServer::MSComm1_OnComm, Qt::QueuedConnection);
    }
}

qint64 frmZVServer::comWaitingFor(int index) const {
    const Winsock& sock = listeners_[index]->sock;  // a client gone took its copy along
    const bool live =
        sock.State() == sck::Connected && sock.ConnectionId() == comFor_[index].connection;
    return live ? comFor_[index].text.size() : 0;
}

bool frmZVServer::comBacklogFull() const {
    return std::max(comWaitingFor(0), comWaitingFor(1)) >= 4 * kMaxMessageChars;
}

qint64 frmZVServer::pendingForClients() const {
    return comWaitingFor(0) + comWaitingFor(1);
}

// The control dropped the oldest waiting bytes (its input cap): the running
// total since the last read that went to a client is shown until then.
void frmZVServer::MSComm1_InputOverflow(qint64 droppedBytes) {
    comDiscarded_ += droppedBytes;
    const bool client =
        wskServer1.State() == sck::Connected || wskServer2.State() == sck::Connected;
    setStatus((client ? QStringLiteral("com buffer full: %1 oldest bytes discarded")
                      : QStringLiteral("com buffer full, no client: %1 oldest bytes discarded"))
                  .arg(comDiscarded_));
}

QString frmZVServer::stoppedReadingText() const {
    return stoppedReading_.isEmpty() ? QString() : QStringLiteral("; ") + stoppedReading_;
}

QString frmZVServer::comDiscardedText() const {
    return comDiscarded_ > 0 ? QStringLiteral("; %1 oldest bytes discarded").arg(comDiscarded_)
                             : QString();
}

}  // namespace zv
