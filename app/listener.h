#pragma once
// What the window keeps per listener: its control, its lamp, the texts that
// name it, and its client's messages on their way from the socket to the
// window's steps.
#include <QString>
#include <deque>

#include "app/frmZVServer.h"
#include "net/receive_worker.h"

namespace zv {

struct frmZVServer::Listener {
    Listener(Winsock& s, Lamp* l, QString n, QString connected, ReceiveWorker::Deliver deliver)
        : sock(s),
          lamp(l),
          name(std::move(n)),
          connectedText(std::move(connected)),
          worker(std::move(deliver)) {}

    Winsock& sock;
    Lamp* lamp;
    QString name;           // "port 1": the listener, not the port number
    QString connectedText;  // " connected on port 1" / " connected to port 2"
    ReceiveWorker worker;   // deciphers the client's text off the window's thread

    // Deciphered messages of `connection` waiting for the window's steps, in
    // order (a message waits while the serial line has no room for it).
    quint64 connection = 0;
    QString passPhrase;  // they were deciphered with
    std::deque<ReceiveWorker::Item> ready;
    qsizetype readyChars = 0;
    bool handling = false;  // handleReady() is running
};

}  // namespace zv
