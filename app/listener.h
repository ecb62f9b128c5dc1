#pragma once
// What the window keeps per listener: its control, its lamp, the texts that
// name it, and the receive buffer that cuts its client's text into envelopes.
#include <QString>

#include "app/frmZVServer.h"
#include "net/envelope_framer.h"

namespace zv {

struct frmZVServer::Listener {
    Winsock& sock;
    Lamp* lamp;
    QString name;           // "port 1": the listener, not the port number
    QString connectedText;  // " connected on port 1" / " connected to port 2"
    EnvelopeFramer framer;  // text received and not yet handled
};

}  // namespace zv
