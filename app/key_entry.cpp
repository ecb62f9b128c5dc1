// Keyboard entry: a key typed into "Rx from Net:" goes to the clients as if
// the device had sent it; one typed into "Rx from Com:" goes to the device.
#include "app/main_window.h"
#include "core/relay.h"

namespace zv {

void MainWindow::typedToClients(int key) {
    trapBox(QStringLiteral("VB6 runtime error (txtRxData_keypress): "),
            [&] { relay_.typeToClients(QChar(key)); });
}

void MainWindow::typedToDevice(int key) {
    trapBox(QStringLiteral("VB6 runtime error (txtTxData_keypress): "),
            [&] { relay_.typeToDevice(QChar(key)); });
}

}  // namespace zv
