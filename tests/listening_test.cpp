// Listener modes, port definitions and the Listen button, on real sockets.
#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTcpServer>

#include "app/lamp.h"
#include "net/winsock.h"
#include "support/server_rig.h"
#include "support/tcp_client.h"

using namespace zv;

class Listening : public ::testing::Test {
  protected:
    void SetUp() override {
        p1 = test::freePort();
        p2 = test::freePort();
        rig.set("TCP Port", QString::number(p1));
        rig.set("TCP Port 2", QString::number(p2));
        rig.set("com port", "0");
    }
    frmZVServer& load(const char* mode) {
        rig.set("netport", mode);
        return rig.load();
    }
    quint16 p1 = 0, p2 = 0;
    test::ServerRig rig;
};

TEST_F(Listening, ListenInEachMode) {
    frmZVServer& w = load("3");
    w.show();
    w.cmdListen_Click();
    EXPECT_EQ(w.lblStatus->text(), QStringLiteral("listening on port %1 and %2").arg(p1).arg(p2));
    EXPECT_EQ(w.shpPort1->FillColor(), colour::Yellow);
    EXPECT_EQ(w.shpPort2->FillColor(), colour::Yellow);
    EXPECT_EQ(w.focusWidget(), w.cmdClose);
    EXPECT_EQ(rig.server2->State(), sck::Listening);

    w.cmdClose_Click();
    w.mnuTCPPort2_Click();
    EXPECT_EQ(rig.get("netport"), "2");
    EXPECT_EQ(w.port, QString::number(p2));
    EXPECT_EQ(w.port2, "");
    w.cmdListen_Click();
    EXPECT_EQ(w.lblStatus->text(), QStringLiteral("listening on port %1").arg(p2));
    EXPECT_EQ(rig.server1->LocalPort(), p2);
    EXPECT_EQ(rig.server2->State(), sck::Closed);
    EXPECT_EQ(w.shpPort2->FillColor(), colour::WindowBackground);

    // Unknown mode: only the focus moves.
    w.cmdClose_Click();
    w.netport = "9";
    w.cmdListen->setFocus();
    w.cmdListen_Click();
    EXPECT_EQ(w.lblStatus->text(), "both ports closed");
    EXPECT_EQ(w.focusWidget(), w.cmdClose);
}

TEST_F(Listening, ModeChangesNeedClosedListeners) {
    frmZVServer& w = load("1");
    w.cmdListen_Click();
    rig.dialogs.expectBoxes(3);
    for (auto handler : {&frmZVServer::mnuTCPPort1_Click, &frmZVServer::mnuTCPPort2_Click,
                         &frmZVServer::mnuTCPBoth_Click})
        (w.*handler)();
    ASSERT_EQ(rig.dialogs.shown.size(), 3u);
    for (const auto& box : rig.dialogs.shown) {
        EXPECT_EQ(box.text, "Can't set port unless connection is closed.");
        EXPECT_EQ(box.flags, 64);
    }
    EXPECT_EQ(rig.server1->State(), sck::Listening);
    EXPECT_EQ(w.netport, "1");

    // Port 2 looks at listener 1 only.
    w.cmdClose_Click();
    rig.server2->setLocalPort(0);
    rig.server2->Listen();
    w.mnuTCPPort2_Click();
    EXPECT_EQ(w.netport, "2");
    EXPECT_TRUE(w.mnuTCPPort2->isChecked());
    EXPECT_FALSE(w.mnuTCPPort1->isChecked());
}

TEST_F(Listening, DefinePortAcceptsOnlyTheRange) {
    frmZVServer& w = load("1");
    const struct {
        const char* answer;
        bool accepted;
    } table[] = {{"1024", false}, {"65536", false}, {"1025", true},
                 {"65535", true}, {"2000.5", true}, {"", false}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.answer);
        rig.dialogs.clear();
        const QString before = rig.get("TCP Port");
        rig.dialogs.answer(row.answer);
        if (!row.accepted && *row.answer) rig.dialogs.expectBoxes(1);
        w.mnuDefineTCP1_Click();
        const auto& input = rig.dialogs.shown[0];
        EXPECT_EQ(input.text, "Enter new port for TCP Port " + before);
        EXPECT_EQ(input.title, "Tandro ZV Server");
        EXPECT_EQ(input.defaultText, "");
        if (row.accepted) {
            EXPECT_EQ(rig.get("TCP Port"), row.answer);
            EXPECT_EQ(w.mnuTCPPort1->text(), QString("TCP Port ") + row.answer);
            EXPECT_EQ(w.port, row.answer);
        } else {
            EXPECT_EQ(rig.get("TCP Port"), before);
            if (*row.answer) {
                EXPECT_EQ(rig.dialogs.shown[1].text,
                          "Please enter a TCP port value between 1024 and 65536.");
            }
        }
    }
    rig.dialogs.clear();
    rig.dialogs.answer("port");
    rig.dialogs.expectBoxes(1);
    w.mnuDefineTCP2_Click();
    EXPECT_TRUE(
        rig.dialogs.shown[1].text.startsWith("VB6 runtime error (mnuDefineTCP2_Click): 13 - "));
}

TEST_F(Listening, NewPortNumberWaitsForTheNextModeAction) {
    frmZVServer& w = load("1");
    const quint16 fresh = test::freePort();
    rig.dialogs.answer(QString::number(fresh));
    w.mnuDefineTCP1_Click();
    w.cmdListen_Click();
    // The status names the new number, the listener still uses the old one.
    EXPECT_EQ(w.lblStatus->text(), QStringLiteral("listening on port %1").arg(fresh));
    test::TcpClient old;
    EXPECT_TRUE(old.connect(p1));
    w.cmdClose_Click();
    w.mnuTCPPort1_Click();
    w.cmdListen_Click();
    test::TcpClient now;
    EXPECT_TRUE(now.connect(fresh));
}

TEST_F(Listening, ListenFailureShowsListenError) {
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::Any, p2));
    frmZVServer& w = load("3");
    w.cmdListen->setFocus();
    w.cmdListen_Click();
    EXPECT_EQ(w.lblStatus->text(), "listen error");
    EXPECT_EQ(rig.server1->State(), sck::Listening);  // steps before the error stay done
    EXPECT_TRUE(rig.dialogs.shown.empty());
}
