#pragma once
// What the window keeps per listener: its control, its lamp, the texts that
// name it, and the receive buffer that cuts its client's text into envelopes.
#include <QString>

#include "app/frmZVServer.h"
#include "net/envelope_framer.h"
#include "net/envelope_joiner.h"

namespace zv {

struct frmZVServer::Listener {
    Listener(Winsock& s, Lamp* l, QString n, QString connected)
        : sock(s), lamp(l), name(std::move(n)), connectedText(std::move(connected)) {}

    Winsock& sock;
    Lamp* lamp;
    QString name;           // "port 1": the listener, not the port number
    QString connectedText;  // " connected on port 1" / " connected to port 2"
    EnvelopeFramer framer;  // text received and not yet handled
    EnvelopeJoiner joiner;  // joins an envelope that TCP cut where it looked whole

    void resetReceive() {
        framer.clear();
        joiner.clear();
    }
};

}  // namespace zv
