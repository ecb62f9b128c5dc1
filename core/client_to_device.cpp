// Client to device: each connection's text is read by a stream of its own
// (keys derived on the derivation pool); what the streams hand on is shown,
// edited, written to the device and passed on, encrypted afresh, to the other
// listener's client. One message holds the line at a time; a piece waits
// while the line has no room for it, and a listener with too much waiting
// reads no more from its client, so nothing is lost or reordered.
#include <QCoreApplication>

#include "cipher/error.h"
#include "core/client.h"
#include "core/relay.h"
#include "serial/serial_line.h"
#include "stream/wire_bytes.h"

namespace zv {

namespace {
using Piece = EnvelopeStream::Piece;

// Where to cut `text` near `at` without cutting a UTF-8 character.
qsizetype characterBoundary(const QByteArray& text, qsizetype at) {
    while (at > 0 && at < text.size() && (quint8(text[at]) & 0xC0) == 0x80) --at;
    return at;
}
}  // namespace

void Relay::onReadyRead(Client* client) {
    const QByteArray bytes = client->connection->read();
    if (bytes.isEmpty()) return;
    client->lastRead.start();
    client->stream.append(bytes, passBytes_);
    pump();
}

void Relay::pump() {
    pumpPosted_ = false;
    for (auto& l : listeners_) {
        for (auto& c : l->clients) {
            for (Piece& piece : c->stream.take()) {
                if (piece.text.size() <= kMaxPieceBytes) {
                    c->toDeviceBytes += piece.text.size();
                    c->toDevice.push_back(std::move(piece));
                    continue;
                }
                // Longer pieces are cut between characters, so each fits the line whole.
                qsizetype at = 0;
                do {
                    const qsizetype cut =
                        piece.text.size() - at <= kMaxPieceBytes
                            ? piece.text.size()
                            : qMax(at + 1, characterBoundary(piece.text, at + kMaxPieceBytes));
                    Piece part{piece.kind, piece.text.sliced(at, cut - at), piece.starts && at == 0,
                               piece.ends && cut == piece.text.size()};
                    c->toDeviceBytes += part.text.size();
                    c->toDevice.push_back(std::move(part));
                    at = cut;
                } while (at < piece.text.size());
            }
        }
    }
    writeToLine();
    for (auto& l : listeners_) updateReading(*l);
    dropFinished();
}

// The client whose message goes to the line next: the listeners take turns;
// within one, the oldest client with anything left goes first (a new client
// follows what its predecessor sent).
Client* Relay::nextSpeaker() {
    for (int turn = 1; turn <= 2; ++turn) {
        Listener& l = listenerAt((lastSpeaker_ + turn) % 2);
        for (const auto& c : l.clients) {
            if (!c->toDevice.empty()) {
                speaker_ = c;
                lastSpeaker_ = l.index;
                return c.get();
            }
            if (!c->drained()) break;  // still deciphering: later clients wait
        }
    }
    return nullptr;
}

// Nothing of the speaker's message waits, and nothing more will come soon.
bool Relay::quiet(const Client& c) const {
    if (!c.toDevice.empty() || !c.stream.caughtUp()) return false;
    if (c.stream.finished()) return true;
    return c.reading && c.lastRead.elapsed() >= quietMs_ && c.connection->arriving() == 0;
}

void Relay::writeToLine() {
    for (;;) {
        std::shared_ptr<Client> speaker = speaker_.lock();
        Client* c = speaker ? speaker.get() : nextSpeaker();
        if (c == nullptr) return;
        if (c->toDevice.empty()) {
            if (!quiet(*c)) {  // its message goes on: others wait for its end
                if (c->stream.caughtUp() && !c->stream.finished())
                    quietTimer_.start(int(qMax<qint64>(1, quietMs_ - c->lastRead.elapsed() + 1)));
                return;
            }
            endMessage(*c);
            continue;
        }
        const qint64 queued = line_->queued();
        if (line_->isOpen() && queued > 0 &&
            queued + c->toDevice.front().text.size() > line_->capacity())
            return;  // the line's written() brings us back
        Piece piece = std::move(c->toDevice.front());
        c->toDevice.pop_front();
        c->toDeviceBytes -= piece.text.size();
        Listener* l = listenerOf(c);
        const int index = l ? l->index : 0;
        const QString trap = listenerAt(index).name + QStringLiteral(" data arrival error");
        if (piece.kind == Piece::CutShort) {
            setStatus(trap +
                      QStringLiteral("; an envelope that ended before its salt was dropped"));
        } else if (piece.kind == Piece::Failed) {  // the cipher failed: nothing shown or written
            setStatus(trap);
        } else {
            if (!piece.text.isEmpty() || piece.starts) emit fromClient(index, piece.text);
            if (piece.starts) c->edit = MessageEdit(transparent_);  // the mode now in force
            QByteArray edited = c->edit.add(std::move(piece.text));
            if (piece.ends) edited += c->edit.end();
            deliver(index, edited, piece.starts && piece.ends);
        }
        if (piece.ends) speaker_.reset();
    }
}

// The speaker's message is over without an end of its own (its client went
// quiet): the character held for a backspace goes now, and the line is free.
void Relay::endMessage(Client& c) {
    speaker_.reset();
    if (!c.edit.holding()) return;
    const Listener* l = listenerOf(&c);
    deliver(l ? l->index : 0, c.edit.end(), false);
}

void Relay::deliver(int index, const QByteArray& edited, bool whole) {
    if (edited.isEmpty() && !whole) return;  // all of it waits for what follows
    Listener& l = listenerAt(index);
    const QByteArray device = textAsBytes(edited);
    try {
        line_->write(device);
    } catch (const Error&) {  // shown, not written: nothing is passed on either
        setStatus(l.name + QStringLiteral(" data arrival error"));
        return;
    }
    trace_.clientToDevice(index, device);
    setStatus(l.name + QStringLiteral(" received data"));
    Listener& other = listenerAt(1 - index);
    if (serving(other.index)) {
        queueFor(*other.served(), edited, false, l.name + QStringLiteral(" data arrival error"));
        sendQueued(other, *other.served());
    }
}

// A listener with too much waiting for the device reads no more from its
// client until half of it went.
void Relay::updateReading(Listener& l) {
    Client* reader = l.served() ? l.served() : nullptr;
    if (reader == nullptr) return;
    qsizetype bytes = 0, messages = 0;
    for (const auto& c : l.clients) {
        bytes += c->stream.waitingBytes() + c->toDeviceBytes;
        messages += c->stream.waitingMessages() + qsizetype(c->toDevice.size());
    }
    bool on = reader->reading;
    if (bytes > kMaxWaitingBytes || messages > kMaxWaitingMessages)
        on = false;
    else if (bytes <= kMaxWaitingBytes / 2 && messages <= kMaxWaitingMessages / 2)
        on = true;
    if (stopping() || stopped_) on = false;
    if (on == reader->reading) return;
    reader->reading = on;
    reader->connection->setReading(on);
}

// Clients whose connection is over and whose text all went are forgotten.
void Relay::dropFinished() {
    for (auto& l : listeners_) {
        auto& clients = l->clients;
        for (auto it = clients.begin(); it != clients.end();) {
            Client& c = **it;
            if (c.role != Client::Gone || !c.drained() || speaker_.lock().get() == &c) {
                ++it;
                continue;
            }
            // Its connection may be in the middle of a signal: it goes later.
            TcpConnection* connection = c.connection.release();
            connection->disconnect(this);
            connection->deleteLater();
            it = clients.erase(it);
        }
    }
}

}  // namespace zv
