// Serial receive path: every block from the device goes to each connected
// client as an envelope of its own, then into the "Rx from Com:" pane.
#include <QLabel>

#include "app/data_pane.h"
#include "app/frmZVServer.h"
#include "app/listener.h"
#include "app/qt_cipher.h"
#include "cipher/error.h"
#include "net/winsock.h"
#include "serial/mscomm.h"

namespace zv {

void frmZVServer::MSComm1_OnComm() {
    if (wskServer1.State() != sck::Connected && wskServer2.State() != sck::Connected) {
        // The bytes stay waiting in the control and go with a later event.
        setStatus(QStringLiteral("com send failed, client not connected"));
        return;
    }
    QString received = MSComm1.Input();
    for (int i = 0; i < 2; ++i) {
        if (listener(i).sock.State() != sck::Connected) continue;
        // Each client on its own: one failing must not cost the other its copy.
        try {
            if (sendToClient(i, EncryptText(received, Password)))
                setStatus(QStringLiteral("com data sent to winsock ") + listener(i).name);
        } catch (const Error& e) {
            errorRecord_ = {e.number(), QString::fromStdString(e.description())};
            setStatus(QStringLiteral("com data send error on ") + listener(i).name);
        }
    }
    errorRecord_.clear();
    ShowData(*txtTxData, received);
}

void frmZVServer::MSComm1_InputOverflow(qint64 droppedBytes) {
    setStatus(
        QStringLiteral("com buffer full, no client: %1 oldest bytes discarded").arg(droppedBytes));
}

}  // namespace zv
