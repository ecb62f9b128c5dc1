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

void frmZVServer::handleClientMessage(int index, const QString& received, bool endsRead) {
    trapStatus(listener(index).name + QStringLiteral(" data arrival error"), [&] {
        QString clear = listener(index).joiner.decrypt(received, endsRead, Password);
        ShowData(*txtRxData, clear);  // edits `clear` as shown
        MSComm1.setOutput(stripLF(clear));
        setStatus(listener(index).name + QStringLiteral(" received data"));
        if (otherListener(index).sock.State() == sck::Connected)
            sendToClient(1 - index, encryptForNet(stripLF(clear)));
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
