#pragma once
// What the relay keeps per client and per direction, and per listener.
#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <deque>
#include <memory>

#include "core/message_edit.h"
#include "net/tcp_connection.h"
#include "net/tcp_server.h"
#include "stream/envelope_stream.h"

namespace zv {

// A message on its way to a client: text (UTF-8), or device bytes, which
// join the device bytes queued before them while they wait for a key.
struct Outgoing {
    QByteArray payload;
    bool fromDevice = false;
    QString failure;  // what the status says when it cannot be sent; device bytes: their own
};

// One client, from its connection until what it sent reached the device and
// what was sent to it was acknowledged or handed on.
struct Client {
    enum Role {
        Served,     // the listener's client: it may send and gets everything
        Lingering,  // it ended its data; it still gets the device's bytes
        Gone,       // its connection is over; what it sent still goes to the device
    };

    Client(std::unique_ptr<TcpConnection> c, EnvelopeStream::Derive derive)
        : connection(std::move(c)), id(connection->id()), stream(std::move(derive)) {
        lastRead.start();
    }

    std::unique_ptr<TcpConnection> connection;  // closed, not destroyed, once Gone
    qintptr id;                                 // the request id the status named
    Role role = Served;

    // --- Client to device.
    EnvelopeStream stream;  // its text, read as it arrives; finished at its end
    std::deque<EnvelopeStream::Piece> toDevice;  // deciphered, waiting for the line, in order
    qsizetype toDeviceBytes = 0;                 // their text
    MessageEdit edit;                            // the edit of its message on the line
    QElapsedTimer lastRead;                      // since bytes last came from it
    bool reading = true;                         // its bytes are taken (flow control)

    // --- Device to client.
    std::deque<Outgoing> toClient;  // waiting for a key, in order
    struct Sent {
        qint64 end;  // the connection's written() after its envelope
        Outgoing message;
    };
    std::deque<Sent> unconfirmed;  // written, not yet acknowledged by the client's TCP

    // Nothing of it is left to hand on to the device.
    bool drained() const { return stream.finished() && stream.empty() && toDevice.empty(); }
};

// One listener: its socket, its texts, its clients in the order they came.
struct Listener {
    Listener(std::unique_ptr<TcpServer> s, int i)
        : server(std::move(s)),
          index(i),
          name(QStringLiteral("port %1").arg(i + 1)),
          connectedText(i == 0 ? QStringLiteral(" connected on port 1")
                               : QStringLiteral(" connected to port 2")) {}

    std::unique_ptr<TcpServer> server;
    int index;
    QString name;           // "port 1": the listener, not the port number
    QString connectedText;  // " connected on port 1" / " connected to port 2"
    bool failed = false;    // a socket error: said in red until Listen or Close
    std::deque<std::shared_ptr<Client>> clients;  // oldest first; a served one is last
    std::deque<Outgoing> owed;  // what a client lost to a reset: its successor's first

    Client* served() const {
        return !clients.empty() && clients.back()->role == Client::Served ? clients.back().get()
                                                                          : nullptr;
    }
    Client* lingering() const {
        for (const auto& c : clients)
            if (c->role == Client::Lingering) return c.get();
        return nullptr;
    }
};

}  // namespace zv
