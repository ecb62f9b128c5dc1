// The Test Msg button on real listeners: which client gets the greeting, and
// that the real `openssl enc -d` opens it.
#include <gtest/gtest.h>
#include <QLabel>
#include <QTest>

#include "net/winsock.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"
#include "support/tcp_client.h"

using namespace zv;

namespace {
const QByteArray kGreeting = "Hello there client, this is server.\r";
// "Salted__", 8 salt bytes and 36 message bytes, in Base64.
constexpr qsizetype kGreetingEnvelope = 72;
}  // namespace

TEST(TestMessage, GoesToListenerOnesClientElseListenerTwos) {
    const quint16 p1 = test::freePort();
    const quint16 p2 = test::freePort();
    ASSERT_NE(p1, p2);
    const struct {
        const char* mode;
        bool client1, client2;  // a client on the first / second port number
        const char* status;
        int receiver;  // 1 or 2: the client that gets the greeting; 0: none
    } table[] = {
        {"3", true, true, "data sent to port 1", 1},
        {"3", false, true, "data sent to port 2", 2},
        {"2", false, true, "data sent to port 1", 2},  // listener 1 serves the second port
        {"3", false, false, "send failed, client not connected", 0},
        {"1", false, false, "send failed, client not connected", 0},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message()
                     << row.mode << " " << row.status << " " << row.client1 << row.client2);
        test::ServerRig rig;
        rig.set("TCP Port", QString::number(p1));
        rig.set("TCP Port 2", QString::number(p2));
        rig.set("netport", row.mode);
        rig.set("com port", "0");
        frmZVServer& w = rig.load();
        w.cmdListen_Click();

        test::TcpClient c1, c2;
        int connected = 0;
        if (row.client1) connected += c1.connect(p1);
        if (row.client2) connected += c2.connect(p2);
        ASSERT_EQ(connected, row.client1 + row.client2);
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return (rig.server1->State() == sck::Connected) +
                       (rig.server2->State() == sck::Connected) ==
                   connected;
        }));

        w.cmdSend_Click();
        EXPECT_EQ(w.lblStatus->text(), row.status);
        if (row.receiver == 0) continue;
        test::TcpClient& got = row.receiver == 1 ? c1 : c2;
        const QByteArray envelope = got.read(kGreetingEnvelope);
        ASSERT_EQ(envelope.size(), kGreetingEnvelope) << envelope.constData();
        const QByteArray clear = test::opensslDecrypt(envelope, "ResetNow");
        EXPECT_EQ(clear, kGreeting);
        EXPECT_EQ(clear.size(), 36);

        // A second press encrypts afresh.
        w.cmdSend_Click();
        const QByteArray again = got.read(kGreetingEnvelope);
        EXPECT_NE(again, envelope);
        EXPECT_EQ(test::opensslDecrypt(again, "ResetNow"), kGreeting);

        // The other client got nothing before Close ended its connection.
        if (row.client1 && row.client2) {
            w.cmdClose_Click();
            ASSERT_TRUE(c2.waitForClose());
            EXPECT_EQ(c2.read(0), QByteArray());
        }
    }
}
