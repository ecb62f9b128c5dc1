// Keyboard entry: a key typed into "Rx from Net:" goes to the clients as if
// the device had sent it; one typed into "Rx from Com:" goes to the device.
#include "app/frmZVServer.h"
#include "app/traffic_trace.h"
#include "net/winsock.h"
#include "serial/mscomm.h"

namespace zv {

void frmZVServer::txtRxData_KeyPress(int KeyAscii) {
    trapBox(QStringLiteral("VB6 runtime error (txtRxData_keypress): "), [&] {
        wskServer1.SendData(encryptForNet(QString(QChar(KeyAscii))));
        trace_->keysToClients(QString(QChar(KeyAscii)));
        wskServer2.SendData(encryptForNet(QString(QChar(KeyAscii))));
    });
}

void frmZVServer::txtTxData_KeyPress(int KeyAscii) {
    trapBox(QStringLiteral("VB6 runtime error (txtTxData_keypress): "), [&] {
        MSComm1.setOutput(QString(QChar(KeyAscii)));
        trace_->keysToDevice(QString(QChar(KeyAscii)));
    });
}

}  // namespace zv
