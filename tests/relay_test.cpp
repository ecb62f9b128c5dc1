// The relay without a window, on real parts: a socat pseudo-terminal as COM3,
// clients on 127.0.0.1, the real `openssl enc`. The reader's rule and the
// message edit on their own first; then what crosses the relay: nothing lost,
// garbled or reordered, whatever TCP cuts and whatever clients, the device
// and the operator do meanwhile; and bounded memory.
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <QRegularExpression>
#include <QSignalSpy>

#include "core/message_edit.h"
#include "core/qt_cipher.h"
#include "stream/envelope_stream.h"
#include "support/e2e_process.h"
#include "support/openssl_cli.h"
#include "support/relay_rig.h"

namespace zv::test {
namespace {

const QString kPass = QStringLiteral("ResetNow");
using Piece = EnvelopeStream::Piece;

// Bytes 1 to 126 but backspace and line feed, which the relay edits.
QByteArray mixed(qsizetype size, quint32 seed) {
    QByteArray except("\0\b\n", 3);
    for (int c = 127; c < 256; ++c) except += char(c);
    return mixedBytes(size, except, seed);
}

QByteArray envelope(const QByteArray& text) {
    return EncryptText(QString::fromUtf8(text), kPass).toLatin1();
}

// What the reader makes of `reads`, then the connection's end: one line per
// message ("T" from an envelope, "N" no envelope, "C" cut short), its text.
QByteArrayList readAll(const QByteArrayList& reads) {
    EnvelopeStream stream([](EnvelopeStream::Batch batch) {
        for (const auto& d : batch) d->run();
    });
    QByteArrayList messages;
    QByteArray open;  // the message under way
    auto take = [&] {
        for (const Piece& p : stream.take()) {
            open += p.text;
            if (!p.ends) continue;
            messages << "TNCF"[p.kind] + std::exchange(open, {});
        }
    };
    for (const QByteArray& r : reads) stream.append(r, kPass.toUtf8()), take();
    stream.finish(kPass.toUtf8());
    take();
    return messages;
}

// Waits until the relay took every byte client 1 sent off the network:
// nothing is left in either kernel's queue.
bool received(RelayRig& rig) {
    const auto queued = [](qintptr fd, unsigned long request) {
        int n = -1;
        return ::ioctl(int(fd), request, &n) == 0 ? n : -1;
    };
    QTcpSocket& client = rig.client(1).socket();
    return QTest::qWaitFor(
        [&] {
            return client.bytesToWrite() == 0 && queued(client.socketDescriptor(), SIOCOUTQ) == 0 &&
                   queued(rig.relay->clientId(0), SIOCINQ) == 0;
        },
        30000);
}

QByteArray opened(const QByteArrayList& envelopes) {
    QByteArray clear;
    for (const QByteArray& e : envelopes) {
        const QByteArray part = DecryptBytes(QString::fromLatin1(e), kPass);
        EXPECT_FALSE(part.isEmpty()) << "an envelope of no device bytes";
        clear += part;
    }
    return clear;
}

}  // namespace

// The same text gives the same messages however it is cut into reads, and
// nothing waits for a clock.
TEST(ReaderRule, EveryCutGivesTheSameMessages) {
    const QByteArray unpadded = envelope("OK"), padded = envelope("ATI\r"),
                     cut = envelope("caf\xc3\xa9!"),
                     lines = opensslEncrypt(mixed(100, 1), kPass, false);
    ASSERT_FALSE(unpadded.endsWith('='));
    // clang-format off
    const std::pair<QByteArray, QByteArrayList> table[] = {
        {unpadded + padded, {"TOK", "TATI\r"}},  // only the next header ends the first
        {padded + "\r\n" + cut, {"TATI\r", "Tcaf\xc3\xa9!"}},  // a character cut in two waits
        {lines, {"T" + mixed(100, 1)}},  // `openssl enc -a`: lines of 64 and their breaks
        {padded + "U2FsdGVk", {"TATI\r", "C"}},  // a header start the connection ends on
        {padded.left(16) + padded, {"C", "TATI\r"}}};  // an envelope cut before its salt
    // clang-format on
    for (const auto& [wire, want] : table)
        for (qsizetype at = 0; at <= wire.size(); ++at)
            EXPECT_EQ(readAll({wire.left(at), wire.mid(at)}), want) << wire.left(at).constData();
}

// Line feeds removed and backspaces applied by one function of the message;
// a message that arrives in pieces is edited as it is whole.
TEST(ReaderRule, TheDeviceGetsOneEditOfTheMessage) {
    const std::pair<QByteArray, QByteArray> table[] = {
        {"A\r\nB", "A\rB"}, {"A\nB", "AB"}, {"AB\bC", "AC"},        {"\bX", "X"},
        {"A\n\bB", "AB"},   {"ab\b\b", ""}, {"x\xc3\xa9\bz", "xz"}, {"", ""}};
    for (const auto& [message, device] : table) {
        EXPECT_EQ(editMessage(message, false), device) << message.constData();
        EXPECT_EQ(editMessage(message, true), message);
        for (qsizetype at = 0; at <= message.size(); ++at) {
            if (at > 0 && at < message.size() && (quint8(message[at]) & 0xC0) == 0x80) continue;
            MessageEdit edit;
            QByteArray pieces = edit.add(message.left(at));
            pieces += edit.add(message.mid(at));
            pieces += edit.end();
            EXPECT_TRUE(message.mid(at).startsWith("\b\b") || pieces == device)
                << message.constData() << " cut at " << at;
        }
    }
}

// A client's end of data is its close, said at once; bytes sent to a client
// that closed reach the next one; a client that only half-closed still gets
// what the device answers until another takes the listener.
TEST(Relay, ACloseIsACloseAndNothingIsLostToIt) {
    RelayRig rig;
    ASSERT_TRUE(rig.start("1"));
    // clang-format off
    rig.run({{.act = "join1"}, {.act = "leave1", .status = "listening on port 1"},
             {.act = "dev", .in = "X"}, {.act = "dev", .in = "Y"},
             {.act = "join1"}, {.act = "dev", .in = "Z", .to1 = "XYZ"},
             {.act = "c1", .in = "ATI\r", .dev = "ATI\r"},
             {.act = "half1", .status = "listening on port 1"},
             {.act = "dev", .in = "OK\r", .to1 = "OK\r"}});
    // clang-format on
    EXPECT_EQ(rig.state(1), ListenerState::Listening);
    TcpClient& halfClosed = rig.client(1);
    TcpClient next;
    ASSERT_TRUE(rig.serve(next, rig.p1, 1));  // takes the listener: the old one ends cleanly
    EXPECT_TRUE(halfClosed.waitForClose());
    EXPECT_EQ(halfClosed.error(), QAbstractSocket::RemoteHostClosedError);
}

// What arrives is written whole and as written: a header cut by a pause, a
// backspace cut from what it deletes, another client's message in between,
// the fragment a client ends on, messages still deciphering when it leaves.
TEST(Relay, MessagesReachTheDeviceWholeWhateverTcpCuts) {
    RelayRig rig;
    ASSERT_TRUE(rig.start("3"));
    rig.run({{.act = "join1"}, {.act = "join2"}});
    const QByteArray first = opensslEncrypt("OK", kPass);  // no "=": only a header ends it
    ASSERT_FALSE(first.endsWith('='));
    for (qsizetype at = 1; at <= 12; ++at) {
        const QByteArray next = opensslEncrypt("AT+CSQ\r", kPass);
        rig.run({{.act = "raw1", .in = first + next.left(at)}});
        QTest::qWait(400);  // as a lost segment's resend takes
        rig.run({{.act = "raw1", .in = next.mid(at), .dev = "OKAT+CSQ\r", .to2 = "OKAT+CSQ\r"}});
    }
    rig.relay->setQuietMs(60000);  // no pause of this machine's ends a message early
    const QByteArray edited = opensslEncrypt("ab\bc\n\bdX\r", kPass);
    for (qsizetype at = 1; at < edited.size(); ++at)
        rig.run({{.act = "raw1", .in = edited.left(at)},
                 {.act = "raw1", .in = edited.mid(at), .dev = "acdX\r"}});
    const QByteArray big = mixed(3000, 5), wire = opensslEncrypt(big, kPass);
    // clang-format off
    rig.run({{.act = "raw1", .in = wire.left(wire.size() / 2)},
             {.act = "c2", .in = "cmd\r"},
             {.act = "raw1", .in = wire.mid(wire.size() / 2), .dev = big + "cmd\r"},
             // A fragment its client leaves on is said, and joins nobody's message.
             {.act = "raw1", .in = "U2FsdGVk"},
             {.act = "leave1", .status = "port 1 data arrival error; an envelope that ended before its salt was dropped"},
             {.act = "join1"}, {.act = "c1", .in = "B-msg\r", .dev = "B-msg\r"}});
    // clang-format on
    QByteArray many, text;
    for (int i = 0; i < 20; ++i) {
        text += QByteArray::number(i) + "\r";
        many += opensslEncrypt(QByteArray::number(i) + "\r", kPass);
    }
    rig.run({{.act = "raw1", .in = many}, {.act = "leave1", .dev = text}});
}

// A client that never reads: let go at the backlog cap, with a reset and a
// word; and at a stop asked twice (at once), what such a client loses is
// counted in clear bytes, in flight included, and it gets a reset too.
TEST(Relay, AClientThatNeverReadsIsLetGoAndToldItLostData) {
    RelayRig rig;
    ASSERT_TRUE(rig.start("1"));
    constexpr qint64 cap = 64 * 1024;
    rig.relay->setMaxClientBacklog(cap);
    const auto deafClient = [&] {  // a small receive window, never read
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0), small = 4096;
        sockaddr_in to{AF_INET, htons(rig.p1), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return rig.state(1) == ListenerState::Connected; }, 10000));
        // A small kernel queue, so that the backlog builds up in the relay.
        EXPECT_EQ(
            ::setsockopt(int(rig.relay->clientId(0)), SOL_SOCKET, SO_SNDBUF, &small, sizeof small),
            0);
        return fd;
    };
    const auto wasReset = [](int fd) {
        char buf[65536];
        ssize_t n = -1;
        while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        }
        const bool reset = n == -1 && errno == ECONNRESET;
        return ::close(fd), reset;
    };
    int fd = deafClient();
    const qintptr served = rig.relay->clientId(0);
    // Bounded at every point: the cap, what may wait for keys (4 envelopes'
    // worth), one envelope on its way and the small kernel queues.
    for (qint64 written = 0; rig.relay->clientId(0) == served && written < 256ll << 20;
         written += 8192) {
        ASSERT_TRUE(rig.device->writeAll(QByteArray(8192, 'x')));
        QCoreApplication::processEvents();
        ASSERT_LE(rig.relay->waitingForClients(), cap + 5 * Relay::kMaxEnvelopeBytes + 64 * 1024);
    }
    const QString dropped = "port 1 client stopped reading, disconnected";
    EXPECT_TRUE(rig.status().endsWith(dropped)) << rig.status().toStdString();
    EXPECT_EQ(rig.state(1), ListenerState::Listening);
    // Device bytes since do not hide it (nor what the line dropped of the
    // flood while keys were scarce, on a busy machine).
    ASSERT_TRUE(rig.device->writeAll("more\r"));
    const QRegularExpression noClient(
        "^com send failed, client not connected(; \\d+ oldest bytes discarded)?; " + dropped + "$");
    EXPECT_TRUE(QTest::qWaitFor([&] { return noClient.match(rig.status()).hasMatch(); }, 10000))
        << rig.status().toStdString();
    EXPECT_TRUE(wasReset(fd)) << "a clean end instead of a reset";

    // Room for what the line kept of the flood (its cap) as well: this
    // client must not be let go, only stopped.
    rig.relay->setMaxClientBacklog(4 * Relay::kMaxClientBacklog);
    fd = deafClient();
    ASSERT_TRUE(rig.device->writeAll(QByteArray(200000, 'x')));
    for (qint64 last = -1; rig.relay->waitingForClients() != last;)  // until its window closed
        last = rig.relay->waitingForClients(), QTest::qWait(200);
    QSignalSpy stopped(rig.relay.get(), &Relay::stopped);
    rig.relay->stop();
    const qint64 lost = rig.relay->waitingForClients();
    EXPECT_GT(lost, 100000);
    rig.relay->stop();
    ASSERT_EQ(stopped.count(), 1);
    EXPECT_EQ(stopped[0][1].toString(),
              QStringLiteral("stopped after 0.0 s: 0 bytes not written to the device, %1 bytes not "
                             "delivered to clients")
                  .arg(lost));
    EXPECT_TRUE(wasReset(fd)) << "a clean end instead of a reset";
}

// Envelopes as `openssl enc -a` writes them, of any size, whatever a faulty
// sender cuts; text that is no envelope goes on as one run.
TEST(NothingLost, EnvelopesOfAnySizeAndLineBreaksWhateverIsCut) {
    RelayRig rig;
    ASSERT_TRUE(rig.start("3"));
    const QByteArray lf = mixed(30000, 1), big = mixed(3 << 19, 2), unpadded = mixed(2000, 3);
    const QByteArray lines = opensslEncrypt(lf, kPass, false);  // 64 characters a line
    QByteArray crlf = lines;
    const QByteArray noPad = opensslEncrypt(unpadded, kPass),
                     next = opensslEncrypt("next\r", kPass);
    ASSERT_TRUE(lines.contains('\n') && !noPad.endsWith('='));
    rig.run({{.act = "join1"},
             {.act = "join2"},
             {.act = "raw1", .in = "hello world foo bar\r", .status = "port 1 received data"}});
    const QByteArray run =
        QString::fromStdString(DecryptText("hello", kPass.toStdString())).toLatin1();
    EXPECT_EQ(rig.device->read(run.size()), run);
    QTest::qWait(200);  // time for a second message, if any came
    EXPECT_EQ(cutEnvelopes(rig.client(2).read(1 << 30)).size(), 1);
    // clang-format off
    rig.run({
        {.act = "raw1", .in = lines, .dev = lf, .to2 = lf},
        {.act = "raw1", .in = crlf.replace("\n", "\r\n"), .dev = lf},
        {.act = "raw1", .in = opensslEncrypt(big, kPass), .dev = big},  // more than the line queues
        // Cut short by a faulty sender, then a proper envelope at once or a
        // read later: the cut one ends at the next header, whole bytes kept.
        {.act = "raw1", .in = noPad.chopped(1) + next, .dev = unpadded.chopped(1) + "next\r"},
        {.act = "raw1", .in = noPad.chopped(2) + next, .dev = unpadded.chopped(2) + "next\r"},
        {.act = "raw1", .in = noPad.chopped(3)}, {.act = "raw1", .in = next, .dev = unpadded.chopped(3) + "next\r"}});
    // clang-format on
}

// What a listener received reaches the device in order whatever happens
// next: its client leaving, Listen, Close, the COM port opened again.
TEST(NothingLost, WhatAListenerReceivedOutlastsTheClientListenCloseAndAComPortChosenAgain) {
    RelayRig rig;
    ASSERT_TRUE(rig.start("1"));
    QByteArray sent, want;
    auto flood = [&](int from) {  // 8 messages of 100 kB; the device reads nothing meanwhile
        for (int i = from; i < from + 8; ++i) {
            const QByteArray m = mixed(100000, quint32(i));
            want += m;
            sent += opensslEncrypt(m, kPass);
        }
        rig.client(1).socket().write(sent);
        sent.clear();
        return received(rig);
    };
    rig.run({{.act = "join1"}});
    ASSERT_TRUE(flood(0));
    // The client leaves: its close is handled at once, a new client is served.
    rig.run({{.act = "leave1", .status = "listening on port 1"}, {.act = "join1"}});
    EXPECT_GT(rig.relay->waitingForDevice(), 100000);
    ASSERT_TRUE(flood(8));
    rig.relay->close(0);  // Listen: the client is let go, the COM port opened again
    rig.relay->listen(0);
    rig.relay->line().open(3);
    rig.run({{.act = "join1"}, {.act = "c1", .in = "last\r"}});
    want += "last\r";
    const QByteArray got = rig.device->read(want.size(), 60000);
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "in order?";
}

// A flood costs bounded memory and holds up neither the other port nor any
// client's order; a flood of made-up envelopes on one port does not delay
// the other's message.
TEST(NothingLost, AFloodKeepsItsMemoryBoundedReachesAStalledDeviceWholeAndHoldsUpNoOtherPort) {
    RelayRig rig;
    ASSERT_TRUE(rig.start("3"));
    rig.run({{.act = "join1"}, {.act = "join2"}});
    // 16 MiB for a device that reads nothing: the relay stops reading the
    // client at its bound (TCP flow control holds the rest back).
    QByteArray flood, want;
    for (int i = 0; i < 16; ++i) {
        const QByteArray m = mixed(1 << 20, quint32(100 + i));
        want += m;
        flood += opensslEncrypt(m, kPass);
    }
    rig.client(1).socket().write(flood);
    qint64 most = 0;
    for (int i = 0; i < 100; ++i, QTest::qWait(20))
        most = qMax(most, rig.relay->waitingForDevice());
    EXPECT_GT(most, 1 << 20);
    EXPECT_LE(most, SerialLine::kDefaultOutputCap + Relay::kMaxWaitingBytes + (512 << 10));
    const QByteArray got = rig.device->read(want.size(), 120000);
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "in order?";

    // Two bursts of lines, one per port: every line whole, each port in its own order.
    QByteArray burst[2], lines[2], seen[2];
    for (int i = 0; i < 300; ++i)
        for (int n : {0, 1}) {
            const QString line = QStringLiteral("%1%2\r").arg("ab"[n]).arg(i);
            lines[n] += line.toLatin1();
            burst[n] += EncryptText(line, kPass).toLatin1();
        }
    ASSERT_TRUE(rig.client(1).send(burst[0]) && rig.client(2).send(burst[1]));
    QByteArray all;
    for (int i = 0; i < 6000 && all.count('\r') < 600; ++i) all += rig.device->read(4096, 10);
    for (const QByteArray& line : all.split('\r'))
        if (!line.isEmpty()) seen[line[0] == 'b'] += line + '\r';
    EXPECT_EQ(seen[0], lines[0]);
    EXPECT_EQ(seen[1], lines[1]);

    ASSERT_TRUE(rig.client(1).send(QByteArray("U2FsdGVkX1AAAAAAAAAAAAAA").repeated(1000)));
    ASSERT_TRUE(rig.client(2).send(opensslEncrypt("real one\r", kPass)));
    QByteArray before;
    for (int i = 0; i < 3000 && !before.endsWith("real one\r"); ++i)
        before += rig.device->read(1, 10);
    ASSERT_TRUE(before.endsWith("real one\r"));
    EXPECT_LT(before.size(), 500) << "port 2 waited behind the flood";
}

// From the device: a flood reaches each client whole and in order; a pile-up
// goes out in envelopes every receiver can buffer; without a client the line
// keeps at most its input cap and says how much it dropped.
TEST(NothingLost, ADeviceFloodReachesBothClientsWholeInOrderAndBounded) {
    RelayRig rig;
    ASSERT_TRUE(rig.start("3"));
    rig.run({{.act = "join1"}, {.act = "join2"}});
    const QByteArray flood = mixed(1 << 20, 4);  // far more than keys are ready for
    ASSERT_TRUE(rig.device->writeAll(flood));
    for (int n : {1, 2}) {
        const QByteArray got = opened(readEnvelopes(rig.client(n), flood.size(), 60000));
        EXPECT_TRUE(got == flood) << "client " << n << ": " << got.size() << " bytes";
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return rig.relay->waitingForClients() == 0; }, 10000));

    // Bytes that piled up without a client go out in envelopes of at most
    // 256 Ki characters.
    rig.relay->close(0);
    rig.relay->close(1);
    const QByteArray piled = flood.left(600 * 1024);
    ASSERT_TRUE(rig.device->writeAll(piled));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.comm->available() == piled.size(); }, 20000));
    rig.relay->listen(0);
    rig.run({{.act = "join1"}, {.act = "dev", .in = "!"}});
    const QByteArrayList envelopes = readEnvelopes(rig.client(1), piled.size() + 1, 30000);
    EXPECT_EQ(envelopes.size(), 3);  // 256 Ki + 256 Ki + the rest
    EXPECT_TRUE(opened(envelopes) == piled + "!");

    rig.relay->close(0);
    constexpr qint64 cap = 16 * 1024, total = 512 * 1024;
    rig.comm->setInputCap(cap);
    for (qint64 at = 0; at < total; at += 8192) {
        ASSERT_TRUE(rig.device->writeAll(flood.mid(at, 8192)));
        ASSERT_LE(rig.comm->available(), cap);
    }
    // Every byte either waits or is counted as discarded, oldest first.
    const QRegularExpression re(
        "^com send failed, client not connected; (\\d+) oldest bytes discarded$");
    const auto discarded = [&] { return re.match(rig.status()).captured(1).toLongLong(); };
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return discarded() > 0 && discarded() + rig.comm->available() == total; }, 10000))
        << rig.status().toStdString();
    // A client connects: the newest bytes that waited go out with the next event.
    rig.relay->listen(0);
    rig.run({{.act = "join1"}});
    const qint64 sent = std::min(rig.comm->available() + 1, cap);  // "!" pushes one more out
    rig.run({{.act = "dev", .in = "!", .status = "com data sent to winsock port 1"}});
    EXPECT_EQ(opened(readEnvelopes(rig.client(1), sent)), (flood.left(total) + "!").right(sent));
}

}  // namespace zv::test
