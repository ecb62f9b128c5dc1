// Nothing is lost on the way from a client to the device: big messages wait
// for a slow line, a character cut in two is not dropped, and a flood on one
// port holds up neither the other port nor any client's order. Nor on the way
// from the device: a flood reaches each client whole and in order.
#include "app/qt_cipher.h"
#include "support/e2e_process.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"

using zv::test::opensslEncrypt;

namespace {
// Bytes 1 to 126 but backspace and line feed, which the relay edits.
QByteArray mixed(qsizetype size, quint32 seed) {
    QByteArray except("\0\b\n", 3);
    for (int c = 127; c < 256; ++c) except += char(c);
    return zv::test::mixedBytes(size, except, seed);
}
}  // namespace

TEST(NothingLost, MessagesUpToOneMebibyteWaitForASlowLineLargerOnesAreRefused) {
    zv::test::ServerRig rig;
    ASSERT_TRUE(rig.link("1"));
    const QByteArray one = mixed(1 << 20, 1), two = mixed(1 << 20, 2), cut = "A\xC3";
    rig.run({{.act = "join1"}});
    rig.client(1).socket().write(opensslEncrypt(one, "ResetNow") + opensslEncrypt(two, "ResetNow"));
    QByteArray got;  // 4 KiB at a time with pauses: a line slower than the network
    for (int idle = 0; got.size() < 2 << 20 && idle < 2000; QTest::qWait(1)) {
        const QByteArray more = rig.device->read(4096, 10);
        idle = more.isEmpty() ? idle + 1 : 0;
        got += more;
    }
    EXPECT_TRUE(got == one + two) << got.size() << " bytes, whole and in order?";
    // A message over 1 MiB: nothing of it; an unpadded message ending inside a
    // character: the broken character as the cipher decodes it ('?' on the line).
    const QByteArray big = opensslEncrypt(mixed((1 << 20) + 1, 3), "ResetNow") + "\n";
    // clang-format off
    rig.run({{.act = "raw1", .in = big, .status = "port 1 data arrival error; message over 1 MiB refused"},
             {.act = "raw1", .in = opensslEncrypt(cut, "ResetNow"), .dev = "A"},
             {.act = "c1", .in = "Z\r", .dev = "?Z\r", .status = "port 1 received data"},
             {.act = "dev", .in = "back\r", .to1 = "back\r"}});
    // clang-format on
}

TEST(NothingLost, AFloodOnOnePortDoesNotHoldUpTheOtherAndEachClientKeepsItsOrder) {
    zv::test::ServerRig rig;
    ASSERT_TRUE(rig.link("3"));
    rig.run({{.act = "join1"}, {.act = "join2"}});
    QByteArray burst[2], want[2], got[2];
    for (int i = 0; i < 300; ++i)
        for (int n : {0, 1}) {
            const QString line = QStringLiteral("%1%2\r").arg("ab"[n]).arg(i);
            want[n] += line.toLatin1();
            burst[n] += zv::EncryptText(line, "ResetNow").toLatin1();
        }
    ASSERT_TRUE(rig.client(1).send(burst[0]) && rig.client(2).send(burst[1]));
    QByteArray lines;
    for (int i = 0; i < 6000 && lines.count('\r') < 600; ++i) lines += rig.device->read(4096, 10);
    for (const QByteArray& line : lines.split('\r'))
        if (!line.isEmpty()) got[line[0] == 'b'] += line + '\r';
    EXPECT_EQ(got[0], want[0]);
    EXPECT_EQ(got[1], want[1]);

    // 1,000 envelopes made up without the key (2 meaningless bytes each).
    ASSERT_TRUE(rig.client(1).send(QByteArray("U2FsdGVkX1AAAAAAAAAAAAAA").repeated(1000)));
    ASSERT_TRUE(rig.client(2).send(opensslEncrypt("real one\r", "ResetNow")));
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
    EXPECT_EQ(rig.window->pendingForClients(), 0);
}
