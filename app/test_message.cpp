// Test message: one encrypted greeting to one client, listener 1's first.
#include "app/main_window.h"
#include "core/relay.h"

namespace zv {

void MainWindow::sendTestMessage() {
    relay_.sendGreeting();  // it says where the greeting went, or that it could not go
}

}  // namespace zv
