// Test message: one encrypted greeting to one client, listener 1's first.
#include <QLabel>

#include "app/frmZVServer.h"
#include "net/winsock.h"

namespace zv {

void frmZVServer::cmdSend_Click() {
    static const QString greeting = QStringLiteral("Hello there client, this is server.\r");
    trapStatus(QStringLiteral("send error"), [&] {
        if (wskServer1.State() == sck::Connected) {
            wskServer1.SendData(encryptForNet(greeting));
            setStatus(QStringLiteral("data sent to port 1"));
        } else if (wskServer2.State() == sck::Connected) {
            wskServer2.SendData(encryptForNet(greeting));
            setStatus(QStringLiteral("data sent to port 2"));
        } else {
            setStatus(QStringLiteral("send failed, client not connected"));
        }
    });
}

}  // namespace zv
