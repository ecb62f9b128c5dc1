// Network receive path: each connection's text is read by a stream of its own
// (keys derived on the derivation pool), and what the streams hand on is
// shown, written to the device and passed on, encrypted afresh, to the other
// listener's client, in the order it arrived. A piece waits while the serial
// line has no room for it, and a listener with too much waiting reads no more
// from its client (TCP flow control then slows the sender), so nothing a
// client sends is lost or reordered, whatever its size.
#include <QLabel>

#include "app/data_pane.h"
#include "app/frmZVServer.h"
#include "app/lamp.h"
#include "app/listener.h"
#include "app/qt_cipher.h"
#include "app/traffic_trace.h"
#include "cipher/derivation_pool.h"
#include "cipher/error.h"
#include "net/winsock.h"
#include "serial/mscomm.h"

namespace zv {

void frmZVServer::dataArrival(int index, qint64 /*bytesTotal*/) {
    Listener& l = listener(index);
    QString received;
    trapStatus(l.name + QStringLiteral(" data arrival error"),
               [&] { received = l.sock.GetData(); });
    if (received.isEmpty()) return;
    readingStream(index).append(received.toLatin1(), Password.toUtf8());
    pump(index);
}

EnvelopeStream& frmZVServer::readingStream(int index) {
    Listener& l = listener(index);
    endStream(index);
    if (l.streams.empty() || l.streams.back()->finished()) {
        // Derivations come back on a pool thread: one queued pump serves them all.
        auto derive = [this, owner = &l](EnvelopeStream::Batch batch) {
            derivations_->submit(owner, std::move(batch), [this] {
                if (!pumpPosted_.exchange(true))
                    QMetaObject::invokeMethod(this, &frmZVServer::pumpBoth, Qt::QueuedConnection);
            });
        };
        l.streams.push_back(std::make_unique<EnvelopeStream>(derive));
        l.connection = l.sock.ConnectionId();
    }
    return *l.streams.back();
}

void frmZVServer::endStream(int index) {
    Listener& l = listener(index);
    if (l.streams.empty() || l.streams.back()->finished()) return;
    if (l.sock.State() == sck::Connected && l.sock.ConnectionId() == l.connection) return;
    l.streams.back()->finish(Password.toUtf8());
}

void frmZVServer::pumpBoth() {
    pumpPosted_ = false;
    pump(0);
    pump(1);
}

void frmZVServer::pump(int index) {
    Listener& l = listener(index);
    endStream(index);
    while (!l.streams.empty()) {
        EnvelopeStream& stream = *l.streams.front();
        for (EnvelopeStream::Piece& piece : stream.take()) {
            if (piece.text.isEmpty() && !piece.starts) continue;  // only says its message ended
            const QString text = QString::fromUtf8(piece.text);
            for (qsizetype at = 0; at == 0 || at < text.size(); at += kMaxPieceChars) {
                l.ready.push_back({piece.kind, text.mid(at, kMaxPieceChars)});
                l.readyChars += l.ready.back().text.size();
            }
        }
        if (!stream.finished() || !stream.empty()) break;  // later streams wait their turn
        l.streams.pop_front();
    }
    handleReady(index);
}

void frmZVServer::handleReady(int index) {
    Listener& l = listener(index);
    if (l.handling) return;
    l.handling = true;
    while (!l.ready.empty()) {
        // The serial line text is at most as long as the clear text.
        const qint64 waiting = MSComm1.OutBufferCount();
        if (MSComm1.PortOpen() && waiting > 0 &&
            waiting + l.ready.front().text.size() > MSComm1.OutBufferSize())
            break;  // MSComm1's outputWritten brings us back
        const Listener::Ready piece = std::move(l.ready.front());
        l.ready.pop_front();
        l.readyChars -= piece.text.size();
        handleClientMessage(index, piece.kind, piece.text);
    }
    l.handling = false;
    updateReading(index);
}

void frmZVServer::updateReading(int index) {
    Listener& l = listener(index);
    qsizetype chars = l.readyChars;
    qsizetype messages = qsizetype(l.ready.size());
    for (const auto& stream : l.streams) {
        chars += stream->waitingBytes();
        messages += stream->waitingMessages();
    }
    if (chars > kMaxWaitingChars || messages > kMaxWaitingMessages)
        l.sock.setReading(false);
    else if (chars <= kMaxWaitingChars / 2 && messages <= kMaxWaitingMessages / 2)
        l.sock.setReading(true);
}

qint64 frmZVServer::bytesWaitingForDevice() const {
    qint64 bytes = MSComm1.OutBufferCount();
    for (const auto& l : listeners_) {
        bytes += l->readyChars;
        for (const auto& stream : l->streams) bytes += stream->waitingBytes();
    }
    return bytes;
}

void frmZVServer::handleClientMessage(int index, EnvelopeStream::Piece::Kind kind,
                                      const QString& text) {
    const Listener& l = listener(index);
    const QString trapText = l.name + QStringLiteral(" data arrival error");
    using Piece = EnvelopeStream::Piece;
    if (kind == Piece::CutShort) {
        setStatus(trapText +
                  QStringLiteral("; an envelope that ended before its salt was dropped"));
        return;
    }
    if (kind == Piece::Failed) {  // the cipher failed: nothing shown or written
        errorRecord_ = {errc::CipherFailure, text};
        setStatus(trapText);
        errorRecord_.clear();
        return;
    }
    trapStatus(trapText, [&] {
        QString clear = text;
        ShowData(*txtRxData, clear);  // edits `clear` as shown
        const QString line = stripLF(clear);
        MSComm1.setOutput(line);
        trace_->clientToDevice(index, line);
        setStatus(l.name + QStringLiteral(" received data"));
        if (otherListener(index).sock.State() == sck::Connected)
            sendToClient(1 - index, encryptForNet(line));
    });
}

bool frmZVServer::sendToClient(int index, const QString& envelope) {
    Listener& l = listener(index);
    if (l.sock.BytesToWrite() > maxClientBacklog_) {
        // The client stopped reading: rather than queue without bound, reset
        // its connection (it sees that it lost data), say so, and listen again
        // for one that reads.
        l.sock.Reset();
        stoppedReading_ = l.name + QStringLiteral(" client stopped reading, disconnected");
        setStatus(stoppedReading_);
        l.sock.Listen();
        l.lamp->setFillColor(colour::Yellow);
        endStream(index);
        return false;
    }
    l.sock.SendData(envelope);
    return true;
}

}  // namespace zv
