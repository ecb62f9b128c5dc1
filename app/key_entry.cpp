// Keyboard entry: a key typed into "Rx from Net:" goes to the clients as if
// the device had sent it; one typed into "Rx from Com:" goes to the device.
#include "app/frmZVServer.h"
#include "core/relay.h"

namespace zv {

void frmZVServer::txtRxData_KeyPress(int KeyAscii) {
    trapBox(QStringLiteral("VB6 runtime error (txtRxData_keypress): "),
            [&] { relay_.typeToClients(QChar(KeyAscii)); });
}

void frmZVServer::txtTxData_KeyPress(int KeyAscii) {
    trapBox(QStringLiteral("VB6 runtime error (txtTxData_keypress): "),
            [&] { relay_.typeToDevice(QChar(KeyAscii)); });
}

}  // namespace zv
