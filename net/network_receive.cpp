// Network receive path: a client's envelopes are deciphered on the listener's
// own thread, then shown, written to the device and passed on, encrypted
// afresh, to the other listener's client, in the order they arrived. A message
// waits while the serial line has no room for it, and a client whose messages
// pile up is no longer read, so nothing it sends is lost or reordered.
#include <QLabel>

#include "app/data_pane.h"
#include "app/frmZVServer.h"
#include "app/lamp.h"
#include "app/listener.h"
#include "app/qt_cipher.h"
#include "app/traffic_trace.h"
#include "cipher/error.h"
#include "net/winsock.h"
#include "serial/mscomm.h"

namespace zv {

void frmZVServer::dataArrival(int index, qint64 /*bytesTotal*/) {
    Listener& l = listener(index);
    QString received;
    trapStatus(l.name + QStringLiteral(" data arrival error"),
               [&] { received = l.sock.GetData(); });
    if (!received.isEmpty()) submit(index, received, false);
}

void frmZVServer::submit(int index, const QString& received, bool closed) {
    Listener& l = listener(index);
    const quint64 connection = l.sock.ConnectionId();
    if (connection != l.connection) {  // a new client: nothing of the last one goes on
        l.worker.dropQueued();
        l.ready.clear();
        l.readyChars = 0;
        l.connection = connection;
    }
    const bool passOn = otherListener(index).sock.State() == sck::Connected;
    l.worker.push({connection, received, closed, Password, passOn});
    updateReading(index);
}

void frmZVServer::deciphered(int index, const ReceiveWorker::Result& result) {
    Listener& l = listener(index);
    if (result.connection != l.sock.ConnectionId()) return;  // that client is gone
    for (const ReceiveWorker::Item& item : result.items) {
        l.ready.push_back(item);
        l.readyChars += item.message.text.size();
    }
    l.passPhrase = result.passPhrase;
    handleReady(index);
}

void frmZVServer::handleReady(int index) {
    Listener& l = listener(index);
    if (l.handling) return;
    if (l.connection != l.sock.ConnectionId()) {  // closed here meanwhile: dropped with it
        l.ready.clear();
        l.readyChars = 0;
    }
    l.handling = true;
    while (!l.ready.empty()) {
        const ReceiveWorker::Item& next = l.ready.front();
        if (next.closed) {
            l.ready.clear();
            l.readyChars = 0;
            clientClosed(index);
            break;
        }
        // The serial line text is at most as long as the clear text.
        const qint64 waiting = MSComm1.OutBufferCount();
        if (MSComm1.PortOpen() && waiting > 0 &&
            waiting + next.message.text.size() > MSComm1.OutBufferSize())
            break;  // MSComm1's outputWritten brings us back
        const ReceiveWorker::Item item = next;
        l.ready.pop_front();
        l.readyChars -= item.message.text.size();
        handleClientMessage(index, item);
    }
    l.handling = false;
    updateReading(index);
}

void frmZVServer::updateReading(int index) {
    Listener& l = listener(index);
    const qsizetype chars = l.worker.queuedChars() + l.readyChars;
    const qsizetype messages = l.worker.queuedJobs() + qsizetype(l.ready.size());
    if (chars > kMaxWaitingChars || messages > kMaxWaitingMessages)
        l.sock.setReading(false);
    else if (chars <= kMaxWaitingChars / 2 && messages <= kMaxWaitingMessages / 2)
        l.sock.setReading(true);
}

void frmZVServer::handleClientMessage(int index, const ReceiveWorker::Item& item) {
    const Listener& l = listener(index);
    const QString trapText = l.name + QStringLiteral(" data arrival error");
    using Message = EnvelopeReader::Message;
    if (item.message.kind == Message::TooLong) {
        setStatus(trapText + QStringLiteral("; message over 1 MiB refused"));
        return;
    }
    if (item.message.kind == Message::Failed) {  // the cipher failed: nothing shown or written
        errorRecord_ = {errc::CipherFailure, item.message.text};
        setStatus(trapText);
        errorRecord_.clear();
        return;
    }
    trapStatus(trapText, [&] {
        QString clear = item.message.text;
        ShowData(*txtRxData, clear);  // edits `clear` as shown
        const QString line = stripLF(clear);
        MSComm1.setOutput(line);
        trace_->clientToDevice(index, line);
        setStatus(l.name + QStringLiteral(" received data"));
        if (otherListener(index).sock.State() == sck::Connected) {
            // Encrypted afresh on the listener's thread when the other client
            // was there already, with the key still in force.
            const bool ready =
                !item.passOnEnvelope.isEmpty() && item.lineText == line && l.passPhrase == Password;
            sendToClient(1 - index, ready ? item.passOnEnvelope : encryptForNet(line));
        }
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
        return false;
    }
    l.sock.SendData(envelope);
    return true;
}

}  // namespace zv
