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

QByteArray saltOf(const QByteArray& envelope) {
    return QByteArray::fromBase64(envelope).mid(8, 8);
}

}  // namespace

TEST(SerialToNetwork, OneClientGetsAnEnvelopeOfTheExactBytes) {
    LinkRig link;
    ASSERT_TRUE(link.start("1"));
    EXPECT_EQ(link.w->Password, "ResetNow");
    TcpClient client;
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));

    // Every byte value class: text, CR LF, control, 0x80, Latin-1 letters, 0xFF.
    const QByteArray bytes("Hello, device\r\n\x01\x80\xe9t\xe9\xff", 21);
    ASSERT_TRUE(link.device->writeAll(bytes));
    // The window encrypts the Latin-1 text as UTF-8: byte 0xE9 arrives as C3 A9.
    const QByteArray utf8 = QString::fromLatin1(bytes).toUtf8();
    ASSERT_EQ(utf8.size(), bytes.size() + 4);  // 0x80, 0xE9, 0xE9, 0xFF take two bytes each
    const QByteArrayList envelopes = test::readEnvelopes(client, utf8.size());
    ASSERT_FALSE(envelopes.isEmpty());
    for (const QByteArray& e : envelopes) {
        EXPECT_TRUE(e.startsWith("U2FsdGVkX1")) << e.toStdString();
        EXPECT_FALSE(e.contains('\n') || e.contains('\r')) << "nothing added to the envelope";
    }
    const QByteArray plain = openAll(envelopes);
    EXPECT_EQ(plain, utf8);
    // A client reading UTF-8 sees the device's characters: "été", U+0080, U+00FF.
    EXPECT_EQ(QString::fromUtf8(plain), QString::fromLatin1(bytes));
    EXPECT_TRUE(QString::fromUtf8(plain).contains(QStringLiteral("\u00e9t\u00e9\u00ff")));

    EXPECT_EQ(link.status(), "com data sent to winsock port 1");
    // The "Rx from Com:" pane shows the text as a terminal would.
    EXPECT_EQ(link.w->txtTxData->model().Text(),
              QString::fromLatin1("Hello, device\r\n\x01\x80\xe9t\xe9\xff", 21));
    EXPECT_EQ(link.rig.comm->InBufferCount(), 0);
}

TEST(SerialToNetwork, TwoClientsEachGetTheirOwnEnvelopePortOneFirst) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    TcpClient c1, c2;
    ASSERT_TRUE(link.connect(c1, link.p1, link.sock1));
    ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));
    link.sendOrder.clear();

    ASSERT_TRUE(link.device->writeAll("same bytes"));
    const QByteArrayList e1 = test::readEnvelopes(c1, 10);
    const QByteArrayList e2 = test::readEnvelopes(c2, 10);
    EXPECT_EQ(openAll(e1), "same bytes");
    EXPECT_EQ(openAll(e2), "same bytes");
    ASSERT_EQ(e1.size(), e2.size());
    for (int i = 0; i < e1.size(); ++i) {
        EXPECT_NE(e1[i], e2[i]);
        EXPECT_NE(saltOf(e1[i]), saltOf(e2[i])) << "each envelope draws its own salt";
    }
    // Per event: port 1, then port 2; the status ends on port 2.
    ASSERT_EQ(link.sendOrder.size(), size_t(2 * e1.size()));
    for (size_t i = 0; i < link.sendOrder.size(); ++i)
        EXPECT_EQ(link.sendOrder[i], i % 2 == 0 ? 1 : 2) << i;
    EXPECT_EQ(link.status(), "com data sent to winsock port 2");
    EXPECT_EQ(link.w->txtTxData->model().Text(), "same bytes");
}

TEST(SerialToNetwork, OnlyPortTwoConnectedGetsTheEnvelope) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    TcpClient c2;
    ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));
    link.sendOrder.clear();
    ASSERT_TRUE(link.device->writeAll("to two"));
    EXPECT_EQ(openAll(test::readEnvelopes(c2, 6)), "to two");
    EXPECT_EQ(link.status(), "com data sent to winsock port 2");
    for (int id : link.sendOrder) EXPECT_EQ(id, 2);
    EXPECT_EQ(link.sock1.State(), sck::Listening);
}

TEST(SerialToNetwork, WithoutAClientBytesWaitAndGoWithTheNextEvent) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    ASSERT_TRUE(link.device->writeAll("early "));
    ASSERT_TRUE(link.waitStatus("com send failed, client not connected"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return link.rig.comm->InBufferCount() == 6; }, 5000));
    EXPECT_EQ(link.w->txtTxData->model().Text(), "") << "nothing read or shown";
    EXPECT_TRUE(link.sendOrder.empty());

    TcpClient client;
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    QTest::qWait(100);
    EXPECT_TRUE(link.sendOrder.empty()) << "no event, nothing sent yet";
    ASSERT_TRUE(link.device->writeAll("late"));
    const QByteArrayList envelopes = test::readEnvelopes(client, 10);
    ASSERT_FALSE(envelopes.isEmpty());
    // The first envelope carries the waiting bytes and new ones together.
    const QByteArray first = test::opensslDecrypt(envelopes[0], "ResetNow");
    EXPECT_TRUE(first.startsWith("early l")) << first.toStdString();
    EXPECT_EQ(openAll(envelopes), "early late");
    EXPECT_EQ(link.status(), "com data sent to winsock port 1");
    EXPECT_EQ(link.w->txtTxData->model().Text(), "early late");
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
