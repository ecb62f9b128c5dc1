// Test message: one encrypted greeting to one client, listener 1's first.
#include "app/frmZVServer.h"
#include "core/relay.h"

namespace zv {

void frmZVServer::cmdSend_Click() {
    relay_.sendGreeting();  // it says where the greeting went, or that it could not go
}

}  // namespace zv
