// The Test Msg button on real listeners: which listener sends the greeting,
// and that the real `openssl enc -d` opens it.
#include <gtest/gtest.h>

#include "support/link_rig.h"
#include "support/openssl_cli.h"

using namespace zv;

TEST(TestMessage, GoesToListenerOnesClientElseListenerTwos) {
    const struct {
        const char* mode;
        bool client1, client2;  // a client on the first / second port number
        const char* status;
        std::vector<int> senders;  // the listeners that sent
    } table[] = {
        {"3", true, true, "data sent to port 1", {1}},
        {"3", false, true, "data sent to port 2", {2}},
        {"2", false, true, "data sent to port 1", {1}},  // listener 1 serves the second port
        {"3", false, false, "send failed, client not connected", {}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << row.mode << " " << row.status);
        test::LinkRig link;
        ASSERT_TRUE(link.start(row.mode));
        test::TcpClient c1, c2;
        test::RecordingWinsock& second = *row.mode == '2' ? link.sock1 : link.sock2;
        ASSERT_TRUE(!row.client1 || link.connect(c1, link.p1, link.sock1));
        ASSERT_TRUE(!row.client2 || link.connect(c2, link.p2, second));

        link.w->cmdSend_Click();
        EXPECT_EQ(link.status(), row.status);
        EXPECT_EQ(link.sendOrder, row.senders);
        if (row.senders.empty()) continue;
        const QByteArray clear = test::opensslDecrypt((row.client1 ? c1 : c2).read(72), "ResetNow");
        EXPECT_EQ(clear, "Hello there client, this is server.\r");
        EXPECT_EQ(clear.size(), 36);
    }
}
