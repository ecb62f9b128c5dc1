// The relay's listeners and their clients: a client is taken when it
// connects, becomes lingering when it ends its data (the listener listens
// again at once), and is gone once its connection is over.
#include "core/relay.h"

#include <QCoreApplication>
#include <utility>

#include "cipher/derivation_pool.h"
#include "cipher/error.h"
#include "cipher/key_pool.h"
#include "cipher/sha512_lanes.h"
#include "core/client.h"
#include "serial/serial_line.h"
#include "stream/wire_bytes.h"

namespace zv {

namespace {
const QString kGreeting = QStringLiteral("Hello there client, this is server.\r");
}  // namespace

Relay::Relay(std::unique_ptr<SerialLine> line, std::unique_ptr<TcpServer> server1,
             std::unique_ptr<TcpServer> server2, QObject* parent)
    : QObject(parent),
      line_(std::move(line)),
      trace_([this](const QString& text) {
          // Said after the step that met it has set its own status.
          QMetaObject::invokeMethod(
              this, [this, text] { setStatus(text); }, Qt::QueuedConnection);
      }),
      keys_(std::make_unique<KeyPool>(KeyPool::kMaxCapacity, 0,
                                      [this] {
                                          // On a worker's thread: a key is ready for
                                          // what waits for one.
                                          if (!sendPosted_.exchange(true))
                                              QMetaObject::invokeMethod(
                                                  this, qOverload<>(&Relay::sendQueued),
                                                  Qt::QueuedConnection);
                                      })),
      derivations_(std::make_unique<DerivationPool>()) {
    listeners_[0] = std::make_unique<Listener>(std::move(server1), 0);
    listeners_[1] = std::make_unique<Listener>(std::move(server2), 1);
    for (auto& l : listeners_) {
        TcpServer* s = l->server.get();
        s->setParent(this);
        connect(s, &TcpServer::connectionRequest, this,
                [this, i = l->index](qintptr id) { onConnectionRequest(i, id); });
        connect(s, &TcpServer::clientRefused, this, [this, i = l->index](const QString& address) {
            setStatus(QStringLiteral("port %1 refused %2: not in allowed clients")
                          .arg(i + 1)
                          .arg(address));
        });
        connect(s, &TcpServer::acceptFailed, this, [this, name = l->name](int, const QString& why) {
            setStatus(name + QStringLiteral(" accept failed, still listening: ") + why);
        });
    }
    line_->setParent(this);
    connect(line_.get(), &SerialLine::received, this, &Relay::onDeviceData);
    connect(line_.get(), &SerialLine::overflow, this, &Relay::onOverflow);
    connect(line_.get(), &SerialLine::failed, this, [this](int, const QString& description) {
        setStatus(QStringLiteral("com port closed: ") + description);
        pump();  // what waited for the line waits on for the device
    });
    // Queued: at start-up the caption would be overwritten by start-up's own.
    connect(
        line_.get(), &SerialLine::waiting, this,
        [this](int n, const QString& device) {
            if (line_->isOpen() && line_->comPort() == n)
                setStatus(QStringLiteral("com port %1 waiting for %2").arg(n).arg(device));
        },
        Qt::QueuedConnection);
    connect(line_.get(), &SerialLine::reopened, this, [this](int n, const QString& device) {
        setStatus(QStringLiteral("com port %1 reopened: %2").arg(n).arg(device));
    });
    // Room on the line: messages that waited for it go on.
    connect(line_.get(), &SerialLine::written, this, &Relay::pump);
    quietTimer_.setSingleShot(true);
    connect(&quietTimer_, &QTimer::timeout, this, &Relay::writeToLine);
    paceTimer_.setSingleShot(true);
    paceTimer_.setTimerType(Qt::PreciseTimer);
    connect(&paceTimer_, &QTimer::timeout, this, &Relay::sendPacedNow);
    connect(line_.get(), &SerialLine::closing, this, &Relay::sendPacedNow);
    keysTimer_.setSingleShot(true);
    connect(&keysTimer_, &QTimer::timeout, this, [this] {
        if (keys_->size() + kLanes >= keys_->capacity()) return keys_->refill();  // the rest
        keys_->refill(kLanes);
        keysTimer_.start(kKeysQuietMs);  // more while it stays quiet
    });
}

Relay::~Relay() {
    // The line goes last of the members and says it closes: to nobody by then.
    QObject::disconnect(line_.get(), nullptr, this, nullptr);
    // The pools' threads call back into this object: they go first.
    derivations_.reset();
    keys_.reset();
}

TcpServer& Relay::server(int listener) {
    return *listenerAt(listener).server;
}

void Relay::setPassPhrase(const QString& passPhrase) {
    passPhrase_ = passPhrase;
    passBytes_ = passPhrase.toUtf8();
    keys_->setPassPhrase(passBytes_.toStdString());  // no key ahead under the old one
}

void Relay::setAllowedClients(const AddressFilter& filter) {
    for (auto& l : listeners_) l->server->setAllowedClients(filter);
}

void Relay::setBindAddress(const QString& address) {
    for (auto& l : listeners_) l->server->setBindAddress(address);
}

void Relay::say(const QString& caption) {
    setStatus(caption);
}

ListenerState Relay::state(int listener) const {
    const Listener& l = listenerAt(listener);
    if (l.failed) return ListenerState::Failed;
    if (l.served()) return ListenerState::Connected;
    return l.server->listening() ? ListenerState::Listening : ListenerState::Closed;
}

bool Relay::serving(int listener) const {
    return listenerAt(listener).served() != nullptr && !listenerAt(listener).failed;
}

Listener* Relay::listenerOf(const Client* client) {
    for (auto& l : listeners_)
        for (const auto& c : l->clients)
            if (c.get() == client) return l.get();
    return nullptr;
}

void Relay::listen(int listener) {
    if (stopping() || stopped_) return;  // a stop takes no new client
    Listener& l = listenerAt(listener);
    l.server->listen();
    l.failed = false;
}

qintptr Relay::clientId(int listener) const {
    const Client* c = listenerAt(listener).served();
    return c ? c->id : -1;
}

void Relay::close(int listener) {
    Listener& l = listenerAt(listener);
    l.server->close();
    l.failed = false;
    for (const auto& c : l.clients)
        if (c->role != Client::Gone) letGo(l, *c);
    pump();  // what they sent still goes to the device
}

void Relay::letGo(Listener& l, Client& c) {
    if (c.role == Client::Gone) return;
    c.role = Client::Gone;
    c.connection->close();
    c.toClient.clear();
    c.unconfirmed.clear();
    if (!c.stream.finished()) c.stream.finish(passBytes_);
    updateReading(l);
}

void Relay::onConnectionRequest(int index, qintptr requestId) {
    Listener& l = listenerAt(index);
    try {
        l.server->close();  // no longer listening: a second client is refused
        std::unique_ptr<TcpConnection> connection = l.server->accept(requestId);
        l.failed = false;
        // The one that lingered ends here; what it had not got goes to this one.
        if (Client* old = l.lingering()) handBack(l, *old);
        auto derive = [this, owner = &l](EnvelopeStream::Batch batch) {
            derivations_->submit(owner, std::move(batch), [this] {
                if (!pumpPosted_.exchange(true))
                    QMetaObject::invokeMethod(this, &Relay::pump, Qt::QueuedConnection);
            });
        };
        auto client = std::make_shared<Client>(std::move(connection), derive);
        Client* c = client.get();
        connect(c->connection.get(), &TcpConnection::readyRead, this,
                [this, c] { onReadyRead(c); });
        connect(c->connection.get(), &TcpConnection::endOfData, this,
                [this, c] { onEndOfData(c); });
        connect(c->connection.get(), &TcpConnection::lost, this, [this, c] { onLost(c); });
        connect(c->connection.get(), &TcpConnection::failed, this,
                [this, c](int number, const QString& text) { onFailed(c, number, text); });
        std::move(l.owed.begin(), l.owed.end(), std::back_inserter(c->toClient));
        l.owed.clear();
        l.clients.push_back(std::move(client));
        stoppedReading_.clear();  // said long enough: a client is back
        QCoreApplication::processEvents();
        setStatus(QStringLiteral("client ") + QString::number(requestId) + l.connectedText);
        emit listenerChanged(index, ListenerState::Connected);
        sendQueued(l, *c);
    } catch (const Error&) {
        setStatus(l.name + QStringLiteral(" connection request error"));
    }
}

// The client ended its data: said at once and the listener listens again;
// the connection stays for what the device sends until another client comes.
void Relay::onEndOfData(Client* client) {
    Listener* l = listenerOf(client);
    if (l == nullptr) return;
    client->stream.finish(passBytes_);
    if (client->role == Client::Served) {
        client->role = Client::Lingering;
        relisten(*l);
    }
    pump();
}

void Relay::onLost(Client* client) {
    Listener* l = listenerOf(client);
    if (l == nullptr || client->role == Client::Gone) return;
    const bool served = client->role == Client::Served;
    handBack(*l, *client);
    if (served) relisten(*l);
    pump();
}

void Relay::onFailed(Client* client, int number, const QString& description) {
    Listener* l = listenerOf(client);
    if (l == nullptr || client->role == Client::Gone) return;
    const bool served = client->role == Client::Served;
    letGo(*l, *client);
    if (served) {  // the listener is in the error state until Listen or Close
        l->failed = true;
        setStatus(l->name + QStringLiteral(" winsock error"));
        emit listenerChanged(l->index, ListenerState::Failed);
        emit socketError(l->index, number, description);
    }
    pump();
}

void Relay::relisten(Listener& l) {
    setStatus(l.name + QStringLiteral(" closed"));
    if (stopping() || stopped_) {  // a stop takes no new client
        emit listenerChanged(l.index, ListenerState::Closed);
        return;
    }
    try {
        l.server->close();
        l.server->listen();
        setStatus(QStringLiteral("listening on ") + l.name);
        emit listenerChanged(l.index, ListenerState::Listening);
    } catch (const Error&) {
        setStatus(l.name + QStringLiteral(" close error"));
    }
}

void Relay::typeToClients(QChar key) {
    const QByteArray text = QString(key).toUtf8();
    for (auto& l : listeners_) {
        Client* c = serving(l->index) ? l->served() : nullptr;
        if (c == nullptr)
            throw Error(errc::NotConnected,
                        "Wrong protocol or connection state for the requested transaction or "
                        "request");
        queueFor(*c, text, false, QStringLiteral("send error"));
        sendQueued(*l, *c);
        if (l->index == 0) trace_.keysToClients(textAsBytes(text));
    }
}

void Relay::typeToDevice(QChar key) {
    const QByteArray byte = QByteArray(1, key.unicode() <= 0xFF ? char(key.unicode()) : '?');
    line_->write(byte);
    trace_.keysToDevice(byte);
}

void Relay::sendGreeting() {
    try {
        for (auto& l : listeners_) {
            if (!serving(l->index)) continue;
            Client& c = *l->served();
            queueFor(c, kGreeting.toUtf8(), false, QStringLiteral("send error"));
            setStatus(QStringLiteral("data sent to ") + l->name);
            sendQueued(*l, c);  // a failure says "send error" over it
            return;
        }
        setStatus(QStringLiteral("send failed, client not connected"));
    } catch (const Error&) {
        setStatus(QStringLiteral("send error"));
    }
}

}  // namespace zv
