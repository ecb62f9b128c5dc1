// Network receive path: a client's envelopes are decrypted, shown, written to
// the device and passed on, encrypted afresh, to the other listener's client.
#include <QLabel>

#include "app/data_pane.h"
#include "app/frmZVServer.h"
#include "app/lamp.h"
#include "app/listener.h"
#include "app/qt_cipher.h"
#include "cipher/error.h"
#include "net/winsock.h"
#include "serial/mscomm.h"

namespace zv {

void frmZVServer::dataArrival(int index, qint64 /*bytesTotal*/) {
    Listener& l = listener(index);
    QStringList messages;
    trapStatus(l.name + QStringLiteral(" data arrival error"),
               [&] { messages = l.framer.append(l.sock.GetData()); });
    for (qsizetype i = 0; i < messages.size(); ++i)
        handleClientMessage(index, messages[i], i + 1 == messages.size());
}

namespace {
// Bytes at the end of `b` that start a UTF-8 sequence the text does not finish.
qsizetype unfinishedUtf8(const QByteArray& b) {
    for (qsizetype back = 1; back <= 3 && back <= b.size(); ++back) {
        const auto c = static_cast<unsigned char>(b[b.size() - back]);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const qsizetype need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? back : 0;
    }
    return 0;
}
}  // namespace

// The clear text of one message. A piece of Base64 that follows an envelope
// which ended a read without padding is the rest of that envelope, cut by TCP
// on a 4-character boundary. Counter mode deciphers the joined envelope to
// the same first bytes, so only the bytes after those already handled are
// new; a character cut in two waits for its other half.
QString frmZVServer::decryptFromClient(int index, const QString& received, bool endsRead) {
    Listener& l = listener(index);
    const bool continues = !l.openEnvelope.isEmpty() &&
                           EnvelopeFramer::continuesEnvelope(received) &&
                           l.openEnvelope.size() + received.size() <= EnvelopeFramer::kMaxPending;
    const QString envelope = continues ? l.openEnvelope + received : received;
    const qsizetype handled = continues ? l.openHandled : 0;
    const QByteArray bytes = DecryptBytes(envelope, Password);
    qsizetype end = bytes.size();
    if (endsRead && EnvelopeFramer::mayContinue(envelope)) {
        end -= unfinishedUtf8(bytes);
        l.openEnvelope = envelope;
        l.openHandled = end;
    } else {
        l.openEnvelope.clear();
        l.openHandled = 0;
    }
    return DecodeUtf8(QByteArrayView(bytes).sliced(handled, end - handled));
}

void frmZVServer::handleClientMessage(int index, const QString& received, bool endsRead) {
    trapStatus(listener(index).name + QStringLiteral(" data arrival error"), [&] {
        QString clear = decryptFromClient(index, received, endsRead);
        ShowData(*txtRxData, clear);  // edits `clear` as shown
        MSComm1.setOutput(stripLF(clear));
        setStatus(listener(index).name + QStringLiteral(" received data"));
        if (otherListener(index).sock.State() == sck::Connected)
            sendToClient(1 - index, EncryptText(stripLF(clear), Password));
    });
}

bool frmZVServer::sendToClient(int index, const QString& envelope) {
    Listener& l = listener(index);
    if (l.sock.BytesToWrite() > maxClientBacklog_) {
        // The client stopped reading: rather than queue without bound, drop
        // it, say so, and listen again for one that reads.
        l.sock.Close();
        l.resetReceive();
        setStatus(l.name + QStringLiteral(" client stopped reading, disconnected"));
        l.sock.Listen();
        l.lamp->setFillColor(colour::Yellow);
        return false;
    }
    l.sock.SendData(envelope);
    return true;
}

}  // namespace zv
