// Network receive path end to end: envelopes from a loopback client reach the
// socat pseudo-terminal as the serial line text, the "Rx from Net:" pane shows
// them, and the other listener's client gets a fresh envelope.
#include <gtest/gtest.h>

#include "app/data_pane.h"
#include "support/link_rig.h"
#include "support/openssl_cli.h"

using namespace zv;
using test::opensslDecrypt;
using test::opensslEncrypt;

class NetworkToSerial : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(link.start("3"));
        ASSERT_TRUE(link.connect(c1, link.p1, link.sock1));
        ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));
    }
    // After `expected` arrived, nothing more comes within a short wait.
    void expectDevice(const QByteArray& expected) {
        EXPECT_EQ(link.device->read(expected.size()), expected);
        EXPECT_EQ(link.device->read(1, 150), QByteArray()) << "nothing more on the line";
    }
    QString pane() const { return link.w->txtRxData->model().Text(); }
    test::LinkRig link;
    test::TcpClient c1, c2;
};

TEST_F(NetworkToSerial, EdgeCasesReachTheDeviceThePaneAndTheOtherClient) {
    const struct {
        int from;  // the listener whose client sends
        QByteArray clear, device;
        QString pane;  // what the pane gains
    } table[] = {
        {1, "A\r\nB", "A\rB", "A\r\nB"},  // two lines
        {1, "A\nB", "AB", "AB"},          // one line
        {1, "AB\bC", "AC", "AC"},         // backspace
        {1, "x\ry", "x\ry", "x\r\ny"},    // lone CR
        {2, "XY\bZ", "XZ", "XZ"},         // and the other way round
    };
    QString shown;
    for (const auto& row : table) {
        SCOPED_TRACE(row.clear.toPercentEncoding().toStdString());
        test::TcpClient& from = row.from == 1 ? c1 : c2;
        test::TcpClient& to = row.from == 1 ? c2 : c1;
        const QByteArray sent = opensslEncrypt(row.clear, "ResetNow");
        ASSERT_TRUE(from.send(sent));
        expectDevice(row.device);
        EXPECT_EQ(pane(), shown += row.pane);
        EXPECT_EQ(link.status(), QStringLiteral("port %1 received data").arg(row.from));
        const QByteArrayList passed = test::readEnvelopes(to, row.device.size());
        ASSERT_EQ(passed.size(), 1);
        EXPECT_NE(passed[0], sent) << "encrypted afresh";
        EXPECT_EQ(opensslDecrypt(passed[0], "ResetNow"), row.device) << "the serial line text";
        EXPECT_EQ(from.socket().bytesAvailable(), 0) << "nothing back to the sender";
    }
    EXPECT_TRUE(link.w->txtRxData->toPlainText().startsWith("A\nB"));
}

TEST_F(NetworkToSerial, WrongPassPhraseOrNoEnvelopeGoesThroughAsMeaninglessText) {
    for (const QByteArray& text :
         {opensslEncrypt("a secret message", "NotTheKey"), QByteArray("hello, not an envelope")}) {
        SCOPED_TRACE(text.toStdString());
        const QByteArray expected = test::serialLineFor(QString::fromLatin1(text), "ResetNow");
        ASSERT_FALSE(expected.isEmpty());
        EXPECT_NE(expected, "a secret message");
        ASSERT_TRUE(c1.send(text));
        expectDevice(expected);
        EXPECT_EQ(link.status(), "port 1 received data");
    }
}

TEST_F(NetworkToSerial, MessageSplitAcrossTwoReadsArrivesIntactOrAtTheClose) {
    // Cuts that TCP may make: inside the header, just after it, in the middle.
    const QByteArray env = opensslEncrypt("split across two reads", "ResetNow");
    for (qsizetype cut : {qsizetype(3), qsizetype(11), env.size() / 8 * 4 + 1, env.size() - 1}) {
        SCOPED_TRACE(cut);
        ASSERT_TRUE(c1.send(env.left(cut)));
        QTest::qWait(100);  // the first piece is read on its own
        EXPECT_EQ(link.device->read(1, 50), QByteArray()) << "nothing written for half";
        ASSERT_TRUE(c1.send(env.mid(cut)));
        expectDevice("split across two reads");
    }
    // A header-led piece of a length that is no multiple of 4 waits for more,
    // and is handled as it stands when the client closes.
    ASSERT_TRUE(c1.send(env.chopped(1)));
    QTest::qWait(100);
    EXPECT_EQ(link.device->read(1, 50), QByteArray());
    c1.close();
    ASSERT_TRUE(link.waitStatus("listening on port 1"));
    expectDevice(test::serialLineFor(QString::fromLatin1(env.chopped(1)), "ResetNow"));
}

TEST_F(NetworkToSerial, EnvelopeCutOnAQuadBoundaryIsJoinedNotGarbled) {
    // 24 characters are 18 bytes: the header and "x" plus the first byte of
    // the two-byte "\u00e9". That part ends unpadded and looks whole.
    const QByteArray env = opensslEncrypt("x\xc3\xa9z and the rest of it\r", "ResetNow");
    ASSERT_TRUE(c1.send(env.left(24)));
    EXPECT_EQ(link.device->read(1), QByteArray("x"));
    QTest::qWait(100);
    ASSERT_TRUE(c1.send(env.mid(24)));
    expectDevice("\xe9z and the rest of it\r");  // no '?' for the cut character
    EXPECT_EQ(pane(), QString::fromUtf8("x\u00e9z and the rest of it\r\n"));
    // The other client gets the same text, in the two envelopes it came as
    // ("x": 24 characters; the rest, 23 UTF-8 bytes: 52).
    const QByteArray both = c2.read(24 + 52);
    ASSERT_EQ(both.size(), 24 + 52);
    EXPECT_EQ(opensslDecrypt(both.left(24), "ResetNow"), "x");
    EXPECT_EQ(opensslDecrypt(both.mid(24), "ResetNow"), "\xc3\xa9z and the rest of it\r");
}

TEST_F(NetworkToSerial, TwoMessagesInOneReadArriveIntact) {
    // "first" has no "=" padding: only the next header ends it.
    const QByteArray one = opensslEncrypt("first", "ResetNow");
    ASSERT_FALSE(one.endsWith('='));
    ASSERT_TRUE(c1.send(one + opensslEncrypt("second\r\n", "ResetNow")));  // one write
    expectDevice("firstsecond\r");
    // Each went on to client 2 as an envelope of its own.
    const QByteArrayList to2 = test::readEnvelopes(c2, 12);
    ASSERT_EQ(to2.size(), 2);
    EXPECT_EQ(opensslDecrypt(to2[0], "ResetNow"), "first");
    EXPECT_EQ(opensslDecrypt(to2[1], "ResetNow"), "second\r");
    EXPECT_EQ(pane(), "firstsecond\r\n");
}
