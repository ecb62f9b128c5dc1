#pragma once
// What the window keeps per listener: its control, its lamp, the texts that
// name it, and what its clients sent on the way to the window's steps.
#include <QString>
#include <QTimer>
#include <deque>
#include <memory>

#include "app/frmZVServer.h"
#include "stream/envelope_stream.h"

namespace zv {

struct frmZVServer::Listener {
    Listener(Winsock& s, Lamp* l, QString n, QString connected)
        : sock(s), lamp(l), name(std::move(n)), connectedText(std::move(connected)) {}

    Winsock& sock;
    Lamp* lamp;
    QString name;           // "port 1": the listener, not the port number
    QString connectedText;  // " connected on port 1" / " connected to port 2"

    // What the listener's clients sent is the listener's to deliver: a
    // client's close, Listen, Close or a COM port chosen again changes where
    // text comes from, not whether what was received reaches the device.
    // One stream per connection, oldest first; only the last one still reads
    // (while its client is connected), the ones before it hand on the rest of
    // what their clients sent before they left.
    std::deque<std::unique_ptr<EnvelopeStream>> streams;
    quint64 connection = 0;  // the socket connection the last stream reads
    // Handed on by the streams, in order, waiting for room on the serial line.
    struct Ready {
        EnvelopeStream::Piece::Kind kind;
        QString text;
    };
    std::deque<Ready> ready;
    qsizetype readyChars = 0;
    bool handling = false;  // handleReady() is running
};

}  // namespace zv
