// Serial receive path end to end: bytes written on a socat pseudo-terminal
// reach every connected loopback client as envelopes that `openssl enc -d`
// opens to exactly those bytes.
#include <gtest/gtest.h>

#include "app/data_pane.h"
#include "support/link_rig.h"
#include "support/openssl_cli.h"

using namespace zv;
using test::LinkRig;
using test::TcpClient;

namespace {
// Opens every envelope with the openssl command and joins the clear bytes.
QByteArray openAll(const QByteArrayList& envelopes) {
    QByteArray plain;
    for (const QByteArray& e : envelopes) plain += test::opensslDecrypt(e, "ResetNow");
    return plain;
}
}  // namespace

TEST(SerialToNetwork, EachClientGetsItsOwnEnvelopesOfTheExactBytesPortOneFirst) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    TcpClient c1, c2;
    ASSERT_TRUE(link.connect(c1, link.p1, link.sock1));
    ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));
    // Text, CR LF, a control, 0x80, Latin-1 letters, 0xFF.
    const QByteArray bytes("Hello, device\r\n\x01\x80\xe9t\xe9\xff", 21);
    ASSERT_TRUE(link.device->writeAll(bytes));
    // The window encrypts the Latin-1 text as UTF-8: byte 0xE9 arrives as C3 A9.
    const QByteArray utf8 = QString::fromLatin1(bytes).toUtf8();
    const QByteArrayList e1 = test::readEnvelopes(c1, utf8.size());
    const QByteArrayList e2 = test::readEnvelopes(c2, utf8.size());
    EXPECT_EQ(openAll(e1), utf8);
    EXPECT_EQ(openAll(e2), utf8);
    ASSERT_EQ(e1.size(), e2.size());
    for (int i = 0; i < e1.size(); ++i) {
        EXPECT_NE(e1[i], e2[i]) << "encrypted for each";
        EXPECT_TRUE(e1[i].startsWith("U2FsdGVkX1")) << e1[i].toStdString();
        EXPECT_FALSE(e1[i].contains('\n') || e1[i].contains('\r')) << "nothing added";
    }
    // Per event: port 1, then port 2; the status ends on port 2.
    ASSERT_EQ(link.sendOrder.size(), size_t(2 * e1.size()));
    for (size_t i = 0; i < link.sendOrder.size(); ++i)
        EXPECT_EQ(link.sendOrder[i], i % 2 == 0 ? 1 : 2) << i;
    EXPECT_EQ(link.status(), "com data sent to winsock port 2");
    EXPECT_EQ(link.w->txtTxData->model().Text(), QString::fromLatin1(bytes));
    EXPECT_EQ(link.rig.comm->InBufferCount(), 0);
}

TEST(SerialToNetwork, WithoutAClientBytesWaitAndGoWithTheNextEvent) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    ASSERT_TRUE(link.device->writeAll("early "));
    ASSERT_TRUE(link.waitStatus("com send failed, client not connected"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return link.rig.comm->InBufferCount() == 6; }, 5000));
    EXPECT_EQ(link.w->txtTxData->model().Text(), "") << "nothing read or shown";

    // Only port 2's client: it alone gets them, with the next event.
    TcpClient c2;
    ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));
    QTest::qWait(100);
    EXPECT_TRUE(link.sendOrder.empty()) << "no event, nothing sent yet";
    ASSERT_TRUE(link.device->writeAll("late"));
    const QByteArrayList envelopes = test::readEnvelopes(c2, 10);
    ASSERT_FALSE(envelopes.isEmpty());
    // The first envelope carries the waiting bytes and new ones together.
    EXPECT_TRUE(test::opensslDecrypt(envelopes[0], "ResetNow").startsWith("early l"));
    EXPECT_EQ(openAll(envelopes), "early late");
    EXPECT_EQ(link.sendOrder, std::vector<int>(envelopes.size(), 2));
    EXPECT_EQ(link.status(), "com data sent to winsock port 2");
    EXPECT_EQ(link.w->txtTxData->model().Text(), "early late");
    EXPECT_EQ(link.sock1.State(), sck::Listening);
}

TEST(SerialToNetwork, APileUpGoesOutInMessagesEveryReceiverCanBuffer) {
    LinkRig link;
    ASSERT_TRUE(link.start("1"));
    QByteArray piled(600 * 1024, '\0');
    for (qsizetype i = 0; i < piled.size(); ++i) piled[i] = char('a' + i % 26);
    ASSERT_TRUE(link.device->writeAll(piled));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return link.rig.comm->InBufferCount() == piled.size(); }, 20000));
    TcpClient client(30000);
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    ASSERT_TRUE(link.device->writeAll("!"));
    const QByteArrayList envelopes = test::readEnvelopes(client, piled.size() + 1, 30000);
    ASSERT_EQ(envelopes.size(), 3);  // 256 Ki + 256 Ki + the rest
    for (const QByteArray& e : envelopes) EXPECT_LT(e.size(), 1024 * 1024);
    EXPECT_TRUE(openAll(envelopes) == piled + "!");
}
