// Nothing is lost on the way from a client to the device: envelopes as
// `openssl enc -a` writes them, of any size, whatever TCP or a faulty sender
// cuts; what a listener received reaches the device whatever the operator or
// the client does meanwhile; and a flood costs bounded memory and holds up
// neither the other port nor any client's order. Nor on the way from the
// device: a flood reaches each client whole and in order.
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include "core/qt_cipher.h"
#include "support/e2e_process.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"

using zv::test::opensslEncrypt;

namespace {
const QString kPass = QStringLiteral("ResetNow");

// Bytes 1 to 126 but backspace and line feed, which the relay edits.
QByteArray mixed(qsizetype size, quint32 seed) {
    QByteArray except("\0\b\n", 3);
    for (int c = 127; c < 256; ++c) except += char(c);
    return zv::test::mixedBytes(size, except, seed);
}

// Waits until the window took every byte client 1 sent off the network:
// nothing is left in either kernel's queue.
bool received(zv::test::ServerRig& rig) {
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
}  // namespace

TEST(NothingLost, EnvelopesOfAnySizeAndLineBreaksWhateverIsCut) {
    zv::test::ServerRig rig;
    ASSERT_TRUE(rig.link("3"));
    const QByteArray lf = mixed(30000, 1), big = mixed(3 << 19, 2), unpadded = mixed(2000, 3);
    const QByteArray lines = opensslEncrypt(lf, kPass, false);  // 64 characters a line
    QByteArray crlf = lines;
    const QByteArray noPad = opensslEncrypt(unpadded, kPass),
                     next = opensslEncrypt("next\r", kPass);
    ASSERT_TRUE(lines.contains('\n') && !noPad.endsWith('='));
    const QString error = "port 1 data arrival error";
    // clang-format off
    rig.run({{.act = "join1"}, {.act = "join2"},
             // Text that is no envelope goes on as one run: one message.
             {.act = "raw1", .in = "hello world foo bar\r", .status = "port 1 received data"}});
    const QByteArray run = QString::fromStdString(zv::DecryptText("hello", kPass.toStdString())).toLatin1();
    EXPECT_EQ(rig.device->read(run.size()), run);
    QTest::qWait(200);  // time for a second message, if any came
    EXPECT_EQ(zv::test::cutEnvelopes(rig.client(2).read(1 << 30)).size(), 1);
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
    // A connection that ends inside an envelope's header or salt: dropped, said.
    rig.run({{.act = "raw1", .in = next.left(21)},
             {.act = "leave1",
              .status = error + "; an envelope that ended before its salt was dropped"},
             {.act = "join1"},
             {.act = "c1", .in = "after\r", .dev = "after\r"}});
}

TEST(NothingLost, WhatAListenerReceivedOutlastsTheClientListenCloseAndAComPortChosenAgain) {
    zv::test::ServerRig rig;
    ASSERT_TRUE(rig.link("1"));
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
    rig.run({{.act = "leave1", .status = "listening on port 1", .lamps = "Y-"}, {.act = "join1"}});
    EXPECT_GT(rig.relay->waitingForDevice(), 100000);
    ASSERT_TRUE(flood(8));
    // Listen drops the client, the COM port is opened again: nothing received is lost.
    rig.run({{.act = "click", .in = "cmdListen", .status = "listening on port {p1}"},
             {.act = "click", .in = "mnuPortsCom3"},
             {.act = "join1"},
             {.act = "c1", .in = "last\r"}});
    want += "last\r";
    const QByteArray got = rig.device->read(want.size(), 60000);
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "in order?";
    rig.run({{.act = "leave1", .status = "listening on port 1"}, {.act = "join1"}});
}

TEST(NothingLost, AFloodKeepsItsMemoryBoundedReachesAStalledDeviceWholeAndHoldsUpNoOtherPort) {
    zv::test::ServerRig rig;
    ASSERT_TRUE(rig.link("3"));
    rig.run({{.act = "join1"}, {.act = "join2"}});
    // 16 MiB for a device that reads nothing: the window stops reading the
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
    EXPECT_LE(most, zv::SerialLine::kDefaultOutputCap + zv::Relay::kMaxWaitingBytes + (512 << 10));
    const QByteArray got = rig.device->read(want.size(), 120000);
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "in order?";

    // Two bursts of lines, one per port: every line, each port in its own order.
    QByteArray burst[2], lines[2], seen[2];
    for (int i = 0; i < 300; ++i)
        for (int n : {0, 1}) {
            const QString line = QStringLiteral("%1%2\r").arg("ab"[n]).arg(i);
            lines[n] += line.toLatin1();
            burst[n] += zv::EncryptText(line, kPass).toLatin1();
        }
    ASSERT_TRUE(rig.client(1).send(burst[0]) && rig.client(2).send(burst[1]));
    QByteArray all;
    for (int i = 0; i < 6000 && all.count('\r') < 600; ++i) all += rig.device->read(4096, 10);
    for (const QByteArray& line : all.split('\r'))
        if (!line.isEmpty()) seen[line[0] == 'b'] += line + '\r';
    EXPECT_EQ(seen[0], lines[0]);
    EXPECT_EQ(seen[1], lines[1]);

    // 1,000 envelopes made up without the key (2 meaningless bytes each): the
    // other port's message does not wait behind their derivations.
    ASSERT_TRUE(rig.client(1).send(QByteArray("U2FsdGVkX1AAAAAAAAAAAAAA").repeated(1000)));
    ASSERT_TRUE(rig.client(2).send(opensslEncrypt("real one\r", kPass)));
    QByteArray before;
    for (int i = 0; i < 3000 && !before.endsWith("real one\r"); ++i)
        before += rig.device->read(1, 10);
    ASSERT_TRUE(before.endsWith("real one\r"));
    EXPECT_LT(before.size(), 500) << "port 2 waited behind the flood";
}

TEST(NothingLost, ADeviceFloodReachesBothClientsWholeAndInOrder) {
    zv::test::ServerRig rig;
    ASSERT_TRUE(rig.link("3"));
    rig.run({{.act = "join1"}, {.act = "join2"}});
    const QByteArray flood = mixed(1 << 20, 4);  // far more than keys are ready for
    ASSERT_TRUE(rig.device->writeAll(flood));
    for (int n : {1, 2}) {
        QByteArray got;
        for (const QByteArray& e : zv::test::readEnvelopes(rig.client(n), flood.size(), 60000))
            got += zv::DecryptBytes(QString::fromLatin1(e), "ResetNow");
        EXPECT_TRUE(got == flood) << "client " << n << ": " << got.size() << " bytes";
    }
    EXPECT_EQ(rig.relay->waitingForClients(), 0);
}
