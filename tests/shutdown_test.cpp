// Close, Exit and closing the window, on real listeners and a real settings
// file whose writes are counted.
#include <gtest/gtest.h>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "app/lamp.h"
#include "net/winsock.h"
#include "support/file_writes.h"
#include "support/server_rig.h"
#include "support/tcp_client.h"

using namespace zv;

class Shutdown : public ::testing::Test {
  protected:
    void SetUp() override {
        rig.set("TCP Port", QString::number(p1));
        rig.set("TCP Port 2", QString::number(p2));
        rig.set("netport", "3");
        rig.set("com port", "0");
    }
    quint16 p1 = test::freePort(), p2 = test::freePort();
    test::ServerRig rig;
};

TEST_F(Shutdown, CloseStopsBothListenersAndDropsTheirClients) {
    frmZVServer& w = rig.load();
    w.show();
    for (bool open : {false, true}) {
        SCOPED_TRACE(open ? "two clients" : "nothing open");
        test::TcpClient c1, c2;
        if (open) {
            w.cmdListen_Click();
            ASSERT_TRUE(c1.connect(p1) && c2.connect(p2));
            ASSERT_TRUE(QTest::qWaitFor([&] {
                return rig.server1->State() == sck::Connected &&
                       rig.server2->State() == sck::Connected;
            }));
        }
        w.cmdExit->setFocus();
        w.cmdClose_Click();
        EXPECT_EQ(w.lblStatus->text(), "both ports closed");
        EXPECT_EQ(w.shpPort1->FillColor(), colour::WindowBackground);
        EXPECT_EQ(w.shpPort2->FillColor(), colour::WindowBackground);
        EXPECT_EQ(w.focusWidget(), w.cmdListen);
        EXPECT_EQ(rig.server1->State(), sck::Closed);
        EXPECT_EQ(rig.server2->State(), sck::Closed);
        if (open) {
            EXPECT_TRUE(c1.waitForClose() && c2.waitForClose());
        }
    }
    test::TcpClient late;
    EXPECT_FALSE(late.connect(p1));
    EXPECT_TRUE(rig.dialogs.shown.empty());
}

TEST_F(Shutdown, ClosingSavesThePlaceOnceExitTwiceAndTheNextStartOpensThere) {
    frmZVServer& w = rig.load();
    w.show();
    ASSERT_EQ(w.logicalDpiX(), 96);  // 15 twips per pixel
    w.move(45, 60);
    test::FileWrites writes(rig.settingsPath);
    ASSERT_TRUE(writes.ok());
    EXPECT_TRUE(w.close());
    EXPECT_EQ(writes.take(), 2);  // FormTop and FormLeft, nothing else
    EXPECT_EQ(rig.get("FormTop"), "900");
    EXPECT_EQ(rig.get("FormLeft"), "675");
    // A second close request, as from a window system, does not save again.
    w.show();
    EXPECT_TRUE(w.close());
    EXPECT_EQ(writes.take(), 0);

    rig.shut();
    frmZVServer& again = rig.load();
    EXPECT_EQ(again.pos(), QPoint(45, 60));
    again.show();
    again.move(300, 200);
    again.cmdListen_Click();
    test::TcpClient c1;
    ASSERT_TRUE(c1.connect(p1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.server1->State() == sck::Connected; }));
    writes.take();  // the start-up's own writes
    again.cmdExit_Click();
    EXPECT_FALSE(again.isVisible());
    EXPECT_EQ(writes.take(), 4);  // FormTop, FormLeft by Exit, then again on unload
    EXPECT_EQ(rig.get("FormTop"), "3000");
    EXPECT_EQ(rig.get("FormLeft"), "4500");
    EXPECT_TRUE(c1.waitForClose());
    rig.shut();
    EXPECT_EQ(rig.load().pos(), QPoint(300, 200));
    EXPECT_TRUE(rig.dialogs.shown.empty());
}
