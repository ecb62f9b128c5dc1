// Network receive path end to end: envelopes from a loopback client reach the
// socat pseudo-terminal as the serial line text, the "Rx from Net:" pane shows
// them, and the other listener's client gets a fresh envelope.
#include <gtest/gtest.h>

#include "app/data_pane.h"
#include "support/link_rig.h"
#include "support/openssl_cli.h"

using namespace zv;
using test::LinkRig;
using test::TcpClient;

namespace {

// After `expected` arrived, nothing more comes within a short wait.
void expectDevice(test::RawTty& device, const QByteArray& expected) {
    EXPECT_EQ(device.read(expected.size()), expected);
    EXPECT_EQ(device.read(1, 150), QByteArray()) << "nothing more on the line";
}

}  // namespace

TEST(NetworkToSerial, EdgeCasesOfLineEndsAndBackspace) {
    LinkRig link;
    ASSERT_TRUE(link.start("1"));
    TcpClient client;
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    const struct {
        const char* clear;
        const char* device;
        const char* pane;  // what the pane gains
    } table[] = {
        {"A\r\nB", "A\rB", "A\r\nB"},  // two lines
        {"A\nB", "AB", "AB"},          // one line
        {"AB\bC", "AC", "AC"},
        {"x\ry", "x\ry", "x\r\ny"},
    };
    QString pane;
    for (const auto& row : table) {
        SCOPED_TRACE(QByteArray(row.clear).toPercentEncoding().toStdString());
        ASSERT_TRUE(client.send(test::opensslEncrypt(row.clear, "ResetNow")));
        expectDevice(*link.device, row.device);
        pane += QString::fromLatin1(row.pane);
        EXPECT_EQ(link.w->txtRxData->model().Text(), pane);
        EXPECT_EQ(link.status(), "port 1 received data");
    }
    // The pane shows A and B of the first row on two lines.
    EXPECT_TRUE(link.w->txtRxData->toPlainText().startsWith("A\nB"));
}

TEST(NetworkToSerial, PassesOnToTheOtherClientAsANewEnvelopeBothWays) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    TcpClient c1, c2;
    ASSERT_TRUE(link.connect(c1, link.p1, link.sock1));
    ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));

    const QByteArray sent = test::opensslEncrypt("A\r\nB", "ResetNow");
    ASSERT_TRUE(c1.send(sent));
    expectDevice(*link.device, "A\rB");
    const QByteArrayList to2 = test::readEnvelopes(c2, 3);
    ASSERT_EQ(to2.size(), 1);
    EXPECT_NE(to2[0], sent) << "encrypted afresh";
    EXPECT_EQ(test::opensslDecrypt(to2[0], "ResetNow"), "A\rB") << "the serial line text";
    EXPECT_EQ(link.status(), "port 1 received data");
    QTest::qWait(100);
    EXPECT_EQ(c1.socket().bytesAvailable(), 0) << "nothing back to the sender";

    ASSERT_TRUE(c2.send(test::opensslEncrypt("XY\bZ", "ResetNow")));
    expectDevice(*link.device, "XZ");
    const QByteArrayList to1 = test::readEnvelopes(c1, 2);
    ASSERT_EQ(to1.size(), 1);
    EXPECT_EQ(test::opensslDecrypt(to1[0], "ResetNow"), "XZ");
    EXPECT_EQ(link.status(), "port 2 received data");
}

TEST(NetworkToSerial, WrongPassPhraseGoesThroughAsMeaninglessText) {
    LinkRig link;
    ASSERT_TRUE(link.start("1"));
    TcpClient client;
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    const QByteArray env = test::opensslEncrypt("a secret message", "NotTheKey");
    const QByteArray expected = test::serialLineFor(QString::fromLatin1(env), "ResetNow");
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_NE(expected, "a secret message");
    ASSERT_TRUE(client.send(env));
    expectDevice(*link.device, expected);
    EXPECT_EQ(link.status(), "port 1 received data");
    EXPECT_FALSE(link.w->txtRxData->model().Text().isEmpty());
}

TEST(NetworkToSerial, MessageSplitAcrossTwoReadsArrivesIntact) {
    LinkRig link;
    ASSERT_TRUE(link.start("1"));
    TcpClient client;
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    // Cuts that TCP may make: inside the header, just after it, in the middle.
    const QByteArray env = test::opensslEncrypt("split across two reads", "ResetNow");
    for (qsizetype cut :
         {qsizetype(3), qsizetype(11), env.size() / 2 / 4 * 4 + 1, env.size() - 1}) {
        SCOPED_TRACE(cut);
        ASSERT_TRUE(client.send(env.left(cut)));
        QTest::qWait(100);  // the first piece is read on its own
        EXPECT_EQ(link.device->read(1, 50), QByteArray()) << "nothing written for half";
        ASSERT_TRUE(client.send(env.mid(cut)));
        expectDevice(*link.device, "split across two reads");
    }
    EXPECT_EQ(link.status(), "port 1 received data");
}

TEST(NetworkToSerial, EnvelopeCutOnAQuadBoundaryIsJoinedNotGarbled) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    TcpClient client, other;
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    ASSERT_TRUE(link.connect(other, link.p2, link.sock2));
    // 24 characters are 18 bytes: the header and "x" plus the first byte of
    // the two-byte "\u00e9". That part ends unpadded and looks whole.
    const QByteArray env = test::opensslEncrypt("x\xc3\xa9z and the rest of it\r", "ResetNow");
    ASSERT_TRUE(client.send(env.left(24)));
    EXPECT_EQ(link.device->read(1), QByteArray("x"));
    QTest::qWait(100);
    ASSERT_TRUE(client.send(env.mid(24)));
    expectDevice(*link.device, "\xe9z and the rest of it\r");  // no '?' for the cut character
    EXPECT_EQ(link.w->txtRxData->model().Text(),
              QString::fromUtf8("x\u00e9z and the rest of it\r\n"));
    // The other client gets the same text, in the two envelopes it came as
    // ("x": 24 characters; the rest, 23 UTF-8 bytes: 52).
    const QByteArray both = other.read(24 + 52);
    ASSERT_EQ(both.size(), 24 + 52);
    EXPECT_EQ(test::opensslDecrypt(both.left(24), "ResetNow"), "x");
    EXPECT_EQ(test::opensslDecrypt(both.mid(24), "ResetNow"), "\xc3\xa9z and the rest of it\r");
}

TEST(NetworkToSerial, TwoMessagesInOneReadArriveIntact) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    TcpClient c1, c2;
    ASSERT_TRUE(link.connect(c1, link.p1, link.sock1));
    ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));
    // "first" has no "=" padding: only the next header ends it.
    const QByteArray one = test::opensslEncrypt("first", "ResetNow");
    const QByteArray two = test::opensslEncrypt("second\r\n", "ResetNow");
    ASSERT_FALSE(one.endsWith('='));
    ASSERT_TRUE(c1.send(one + two));  // one write of two envelopes
    expectDevice(*link.device, "firstsecond\r");
    // Each went on to client 2 as an envelope of its own.
    const QByteArrayList to2 = test::readEnvelopes(c2, 12);
    ASSERT_EQ(to2.size(), 2);
    EXPECT_EQ(test::opensslDecrypt(to2[0], "ResetNow"), "first");
    EXPECT_EQ(test::opensslDecrypt(to2[1], "ResetNow"), "second\r");
    EXPECT_EQ(link.w->txtRxData->model().Text(), "firstsecond\r\n");
}

TEST(NetworkToSerial, TextThatIsNoEnvelopeGoesThrough) {
    LinkRig link;
    ASSERT_TRUE(link.start("1"));
    TcpClient client;
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    const QByteArray text = "hello, not an envelope";
    const QByteArray expected = test::serialLineFor(QString::fromLatin1(text), "ResetNow");
    ASSERT_FALSE(expected.isEmpty());
    ASSERT_TRUE(client.send(text));
    expectDevice(*link.device, expected);
    EXPECT_EQ(link.status(), "port 1 received data");
}

TEST(NetworkToSerial, AMessageWaitingAtCloseIsHandledBeforeTheClose) {
    LinkRig link;
    ASSERT_TRUE(link.start("1"));
    TcpClient client;
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    const QByteArray env = test::opensslEncrypt("last words", "ResetNow");
    // A header-led piece of a length that is no multiple of 4 waits for more...
    ASSERT_TRUE(client.send(env.left(env.size() - 1)));
    QTest::qWait(100);
    EXPECT_EQ(link.device->read(1, 50), QByteArray());
    // ...and is handled as it stands when the client closes.
    client.close();
    ASSERT_TRUE(link.waitStatus("listening on port 1"));
    const QByteArray expected =
        test::serialLineFor(QString::fromLatin1(env.left(env.size() - 1)), "ResetNow");
    EXPECT_EQ(link.device->read(expected.size()), expected);
}
