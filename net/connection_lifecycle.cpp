// Connection lifecycle: accept one client per listener, listen again when it
// leaves, show socket errors.
#include <QCoreApplication>
#include <QLabel>

#include "app/dialogs.h"
#include "app/frmZVServer.h"
#include "app/lamp.h"
#include "app/listener.h"
#include "net/winsock.h"

namespace zv {

void frmZVServer::connectionRequest(int index, std::int32_t requestID) {
    Listener& l = listener(index);
    trapStatus(l.name + QStringLiteral(" connection request error"), [&] {
        l.sock.Close();  // no longer listening: a second client is refused
        l.sock.Accept(requestID);
        stoppedReading_.clear();  // said long enough: a client is back
        QCoreApplication::processEvents();
        setStatus(QStringLiteral("client ") + QString::number(requestID) + l.connectedText);
        l.lamp->setFillColor(colour::Green);
    });
}

void frmZVServer::clientClosed(int index) {
    // Handled at once: what the client sent before it left still reaches
    // the device afterwards, before anything of a next client.
    Listener& l = listener(index);
    endStream(index);
    trapStatus(l.name + QStringLiteral(" close error"), [&] {
        l.sock.Close();
        setStatus(l.name + QStringLiteral(" closed"));
        if (stopping() || stopFinished_) {  // a stop takes no new client
            l.lamp->setFillColor(colour::WindowBackground);
            return;
        }
        l.sock.Listen();
        setStatus(QStringLiteral("listening on ") + l.name);
        l.lamp->setFillColor(colour::Yellow);
    });
    pump(index);
}

void frmZVServer::socketError(int index, int /*number*/, const QString& /*description*/) {
    Listener& l = listener(index);
    if (l.sock.State() == sck::Error) {
        setStatus(l.name + QStringLiteral(" winsock error"));
        l.lamp->setFillColor(colour::Red);
    }
    if (errorRecord_.number != 0) {
        dialogs_.MsgBox(QStringLiteral("VB6 error (winsock): ") +
                            QString::number(errorRecord_.number) + QStringLiteral(" - ") +
                            errorRecord_.description,
                        mb::OkOnly, kAppTitle);
    }
}

}  // namespace zv
