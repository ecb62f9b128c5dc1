// Listener modes, port definitions and listening at start-up and by the Listen
// button, on real sockets.
#include <gtest/gtest.h>
#include <QAction>
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
    frmZVServer& load(test::ServerRig& r, const char* mode, const char* autoconnect = "0") {
        r.set("TCP Port", QString::number(p1));
        r.set("TCP Port 2", QString::number(p2));
        r.set("com port", "0");
        r.set("netport", mode);
        r.set("autoconnect", autoconnect);
        return r.load();
    }
    quint16 p1 = test::freePort(), p2 = test::freePort();
    test::ServerRig rig;
};

TEST_F(Listening, InEachModeAtStartUpAndByTheButton) {
    ASSERT_NE(p1, p2);
    const struct {
        const char* mode;
        QString status;
        quint16 port1;  // where listener 1 listens; 0: it does not
        bool listens2;
    } table[] = {
        {"1", QStringLiteral("listening on port %1").arg(p1), p1, false},
        {"2", QStringLiteral("listening on port %1").arg(p2), p2, false},
        {"3", QStringLiteral("listening on port %1 and %2").arg(p1).arg(p2), p1, true},
        {"7", "closed", 0, false},  // unknown mode: Listen only moves the focus
    };
    for (const auto& row : table) {
        for (bool atStartUp : {true, false}) {
            SCOPED_TRACE(testing::Message() << row.mode << (atStartUp ? " start-up" : " button"));
            test::ServerRig r;
            frmZVServer& w = load(r, row.mode, atStartUp ? "1" : "0");
            EXPECT_EQ(w.mnuNetAutoconnect->isChecked(), atStartUp);
            if (!atStartUp) {
                w.show();
                w.cmdListen->setFocus();
                w.cmdListen_Click();
                EXPECT_EQ(w.focusWidget(), w.cmdClose);
            }
            EXPECT_EQ(w.lblStatus->text().section("; ", 0, 0), row.status);  // then "com port" 0
            EXPECT_EQ(w.shpPort1->FillColor(),
                      row.port1 ? colour::Yellow : colour::WindowBackground);
            EXPECT_EQ(w.shpPort2->FillColor(),
                      row.listens2 ? colour::Yellow : colour::WindowBackground);
            for (QAction* a : {w.mnuTCPPort1, w.mnuTCPPort2, w.mnuTCPBoth}) {
                EXPECT_TRUE(row.port1 || !a->isChecked()) << "no mode, no mark";
            }
            test::TcpClient c1, c2;
            EXPECT_EQ(c1.connect(row.port1 ? row.port1 : p1), row.port1 != 0);
            EXPECT_EQ(c2.connect(p2), row.listens2);  // mode "2": its one client is c1
        }
    }
}

TEST_F(Listening, ModeChangesNeedListenerOneClosed) {
    frmZVServer& w = load(rig, "1");
    w.cmdListen_Click();
    rig.dialogs.expectBoxes(3);
    w.mnuTCPPort1_Click();
    w.mnuTCPPort2_Click();
    w.mnuTCPBoth_Click();
    EXPECT_EQ(rig.dialogs.texts(), QStringList(3, "Can't set port unless connection is closed."));
    EXPECT_EQ(rig.dialogs.shown[0].flags, 64);
    EXPECT_EQ(w.netport, "1");

    // Listener 2 listening does not stop it.
    w.cmdClose_Click();
    rig.server2->setLocalPort(0);
    rig.server2->Listen();
    w.mnuTCPPort2_Click();
    EXPECT_EQ(rig.get("netport"), "2");
    EXPECT_EQ(w.port, QString::number(p2));
    EXPECT_EQ(w.port2, "");
    EXPECT_TRUE(w.mnuTCPPort2->isChecked());
    EXPECT_FALSE(w.mnuTCPPort1->isChecked());
}

TEST_F(Listening, DefinePortAcceptsOnlyTheRangeAndWaitsForTheNextModeAction) {
    frmZVServer& w = load(rig, "1");
    const std::pair<const char*, bool> table[] = {{"1024", false}, {"65536", false}, {"1025", true},
                                                  {"65535", true}, {"2000.5", true}, {"", false}};
    for (const auto& [answer, accepted] : table) {
        SCOPED_TRACE(answer);
        const QString before = rig.get("TCP Port");
        rig.dialogs.clear();
        rig.dialogs.answer(answer);
        QStringList texts = {"Enter new port for TCP Port " + before};
        if (!accepted && *answer) {  // Cancel shows no box
            texts << "Please enter a TCP port value between 1024 and 65536.";
            rig.dialogs.expectBoxes(1);
        }
        w.mnuDefineTCP1_Click();
        EXPECT_EQ(rig.dialogs.texts(), texts);
        EXPECT_EQ(rig.dialogs.shown[0].title, "Tandro ZV Server");
        EXPECT_EQ(rig.dialogs.shown[0].defaultText, "");
        EXPECT_EQ(rig.get("TCP Port"), accepted ? QString(answer) : before);
        EXPECT_EQ(w.port, rig.get("TCP Port"));
        EXPECT_EQ(w.mnuTCPPort1->text(), "TCP Port " + rig.get("TCP Port"));
    }
    rig.dialogs.answer("port");
    rig.dialogs.expectBoxes(1);
    w.mnuDefineTCP2_Click();
    EXPECT_TRUE(
        rig.dialogs.texts().last().startsWith("VB6 runtime error (mnuDefineTCP2_Click): 13 - "));

    // A new number waits for the next mode action: the status names it, the
    // listener still uses the old one.
    const quint16 fresh = test::freePort();
    rig.dialogs.answer(QString::number(fresh));
    w.mnuDefineTCP1_Click();
    w.cmdListen_Click();
    EXPECT_EQ(w.lblStatus->text(), QStringLiteral("listening on port %1").arg(fresh));
    test::TcpClient old, now;
    EXPECT_TRUE(old.connect(p1));
    w.cmdClose_Click();
    w.mnuTCPPort1_Click();
    w.cmdListen_Click();
    EXPECT_TRUE(now.connect(fresh));
}

TEST_F(Listening, ListenFailureShowsListenError) {
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::Any, p2));
    frmZVServer& w = load(rig, "3");
    w.cmdListen_Click();
    EXPECT_EQ(w.lblStatus->text(), "listen error");
    EXPECT_EQ(rig.server1->State(), sck::Listening);  // steps before the error stay done
    EXPECT_TRUE(rig.dialogs.shown.empty());
}
