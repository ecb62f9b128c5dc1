// Close, Exit and closing the window, on real listeners and a real settings
// file whose writes are counted.
#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
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
        p1 = test::freePort();
        p2 = test::freePort();
        rig.set("TCP Port", QString::number(p1));
        rig.set("TCP Port 2", QString::number(p2));
        rig.set("netport", "3");
        rig.set("com port", "0");
    }
    quint16 p1 = 0, p2 = 0;
    test::ServerRig rig;
};

TEST_F(Shutdown, CloseStopsBothListenersAndDropsTheirClients) {
    frmZVServer& w = rig.load();
    w.show();
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));

    // Nothing open: only the status, the lamps and the focus change.
    w.cmdExit->setFocus();
    w.cmdClose_Click();
    EXPECT_EQ(w.lblStatus->text(), "both ports closed");
    EXPECT_EQ(w.shpPort1->FillColor(), colour::WindowBackground);
    EXPECT_EQ(w.shpPort2->FillColor(), colour::WindowBackground);
    EXPECT_EQ(QApplication::focusWidget(), w.cmdListen);

    w.cmdListen_Click();
    test::TcpClient c1, c2;
    ASSERT_TRUE(c1.connect(p1));
    ASSERT_TRUE(c2.connect(p2));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return rig.server1->State() == sck::Connected && rig.server2->State() == sck::Connected;
    }));
    ASSERT_EQ(w.shpPort1->FillColor(), colour::Green);
    w.cmdClose_Click();
    EXPECT_TRUE(c1.waitForClose());
    EXPECT_TRUE(c2.waitForClose());
    EXPECT_EQ(rig.server1->State(), sck::Closed);
    EXPECT_EQ(rig.server2->State(), sck::Closed);
    EXPECT_EQ(w.shpPort1->FillColor(), colour::WindowBackground);
    EXPECT_EQ(w.shpPort2->FillColor(), colour::WindowBackground);
    test::TcpClient late;
    EXPECT_FALSE(late.connect(p1));
    EXPECT_TRUE(rig.dialogs.shown.empty());
}

TEST_F(Shutdown, ExitSavesThePlaceTwiceAndTheNextStartOpensThere) {
    frmZVServer& w = rig.load();
    w.show();
    ASSERT_EQ(w.logicalDpiX(), 96);  // 15 twips per pixel
    w.move(300, 200);
    w.cmdListen_Click();
    test::TcpClient c1;
    ASSERT_TRUE(c1.connect(p1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.server1->State() == sck::Connected; }));

    test::FileWrites writes(rig.settingsPath);
    ASSERT_TRUE(writes.ok());
    w.cmdExit_Click();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(writes.take(), 4);  // FormTop, FormLeft by Exit, then again on unload
    EXPECT_EQ(rig.get("FormTop"), "3000");
    EXPECT_EQ(rig.get("FormLeft"), "4500");
    EXPECT_TRUE(c1.waitForClose());
    EXPECT_TRUE(rig.dialogs.shown.empty());

    rig.shut();
    frmZVServer& again = rig.load();
    EXPECT_EQ(again.pos(), QPoint(300, 200));
}

TEST_F(Shutdown, ClosingTheWindowSavesThePlaceOnce) {
    frmZVServer& w = rig.load();
    w.show();
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
    EXPECT_TRUE(rig.dialogs.shown.empty());
}

TEST_F(Shutdown, UnwritableStoreOnExitKeepsTheProgramRunning) {
    frmZVServer& w = rig.load();
    w.show();
    const QString folder = QFileInfo(rig.settingsPath).absolutePath();
    ASSERT_TRUE(QDir(folder).removeRecursively());
    QFile blocker(folder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    rig.dialogs.expectBoxes(2);
    w.cmdExit_Click();
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_TRUE(rig.dialogs.shown[0].text.startsWith("VB6 runtime error (exit): 75 - "));
    EXPECT_TRUE(w.isVisible());
    // Closing the window unloads it all the same after its own report.
    EXPECT_TRUE(w.close());
    ASSERT_EQ(rig.dialogs.shown.size(), 2u);
    EXPECT_TRUE(rig.dialogs.shown[1].text.startsWith("VB6 runtime error (unload): 75 - "));
    EXPECT_FALSE(w.isVisible());
}
