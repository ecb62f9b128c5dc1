// Start-up from an empty store and from stored values, with a real serial
// device (socat pseudo-terminals) and real listeners on 127.0.0.1.
#include <gtest/gtest.h>
#include <QAction>
#include <QLabel>
#include <QTcpServer>

#include "app/lamp.h"
#include "app/qt_cipher.h"
#include "net/winsock.h"
#include "support/openssl_cli.h"
#include "support/pty_pair.h"
#include "support/server_rig.h"
#include "support/tcp_client.h"

using namespace zv;

TEST(FormLoad, EmptyStoreWritesDefaultsAndAsksForAComPort) {
    test::ServerRig rig;
    frmZVServer& w = rig.load(1);
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_EQ(rig.dialogs.shown[0].text, "Please select a com port first");
    EXPECT_EQ(rig.dialogs.shown[0].flags, 64);
    EXPECT_EQ(rig.dialogs.shown[0].title, "Com Port error");
    EXPECT_FALSE(w.isVisible());  // boxes come before the window

    EXPECT_EQ(rig.get("WindowState"), "0");
    EXPECT_EQ(rig.get("autoconnect"), "0");
    EXPECT_EQ(rig.get("TCP Port"), "9876");
    EXPECT_EQ(rig.get("TCP Port 2"), "9875");
    EXPECT_EQ(rig.get("netport"), "1");
    for (const char* absent : {"com port", "FormTop", "FormLeft"})
        EXPECT_EQ(rig.get(absent), "<none>") << absent;
    const QString stored = rig.get("Password");
    EXPECT_TRUE(stored.startsWith("U2FsdGVkX1"));
    EXPECT_EQ(test::opensslDecrypt(stored.toLatin1(), "QJ7X KD Wander"), "ResetNow");
    EXPECT_EQ(w.Password, "ResetNow");

    EXPECT_FALSE(rig.comm->PortOpen());
    EXPECT_EQ(rig.server1->State(), sck::Closed);
    EXPECT_EQ(w.pos(), QPoint(0, 0));
    EXPECT_FALSE(w.windowState() & Qt::WindowMinimized);
    EXPECT_EQ(w.mnuTCPPort1->text(), "TCP Port 9876");
    EXPECT_EQ(w.mnuTCPPort2->text(), "TCP Port 9875");
    EXPECT_TRUE(w.mnuTCPPort1->isChecked());
    EXPECT_EQ(w.lblStatus->text(), "Winsock status:");
    EXPECT_EQ(w.lblIP->text(), "Server local IP:");

    // A second start stores a new envelope of the same key.
    rig.load(1);
    const QString again = rig.get("Password");
    EXPECT_NE(again, stored);
    EXPECT_EQ(DecryptText(again, kStorePassPhrase), "ResetNow");
}

TEST(FormLoad, StoredComPortOpensOnlyForWholeNumbersOneToSixteen) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error().toStdString();
    const struct {
        const char* stored;
        bool opens;
    } table[] = {{"3", true},     {"03", true}, {" 3", true},  {"3.0", true}, {"3abc", true},
                 {"COM3", false}, {"0", false}, {"17", false}, {"2.5", false}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.stored);
        test::ServerRig rig;
        rig.set("com device 3", pty.a());
        rig.set("com port", row.stored);
        frmZVServer& w = rig.load();
        EXPECT_TRUE(rig.dialogs.shown.empty());
        EXPECT_EQ(rig.comm->PortOpen(), row.opens);
        EXPECT_EQ(w.mnuPortsCom[2]->isChecked(), row.opens);
        EXPECT_EQ(w.lblStatus->text(), "closed");
        EXPECT_TRUE(w.lblIP->text().startsWith("Server local IP: "));
        EXPECT_GT(w.lblHost->text().size(), QString("Server local host name: ").size());
        EXPECT_EQ(rig.get("com port"), row.opens ? "3" : row.stored);
    }
}

TEST(FormLoad, AutomaticListeningInEachMode) {
    const quint16 p1 = test::freePort();
    const quint16 p2 = test::freePort();
    ASSERT_NE(p1, p2);
    const struct {
        const char* mode;
        QString status;
        bool listens1, listens2;
    } table[] = {
        {"1", QStringLiteral("listening on port %1").arg(p1), true, false},
        {"2", QStringLiteral("listening on port %1").arg(p2), true, false},
        {"3", QStringLiteral("listening on port %1 and %2").arg(p1).arg(p2), true, true},
        {"7", QStringLiteral("closed"), false, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.mode);
        test::ServerRig rig;
        rig.set("TCP Port", QString::number(p1));
        rig.set("TCP Port 2", QString::number(p2));
        rig.set("netport", row.mode);
        rig.set("autoconnect", "1");
        rig.set("com port", "0");
        frmZVServer& w = rig.load();
        EXPECT_EQ(w.lblStatus->text(), row.status);
        EXPECT_EQ(w.shpPort1->FillColor(),
                  row.listens1 ? colour::Yellow : colour::WindowBackground);
        EXPECT_EQ(w.shpPort2->FillColor(),
                  row.listens2 ? colour::Yellow : colour::WindowBackground);
        EXPECT_EQ(w.mnuNetAutoconnect->isChecked(), true);
        // Mode "2" serves the second port number with listener 1.
        const quint16 first = QString(row.mode) == "2" ? p2 : p1;
        test::TcpClient c1;
        EXPECT_EQ(c1.connect(first), row.listens1);
        test::TcpClient c2;
        EXPECT_EQ(c2.connect(p2), row.listens2);  // mode "2": its one client is c1
        if (QString(row.mode) == "7") {
            for (QAction* a : {w.mnuTCPPort1, w.mnuTCPPort2, w.mnuTCPBoth})
                EXPECT_FALSE(a->isChecked());
        }
    }
}

TEST(FormLoad, PortInUseEndsStartUpWithTheSocketError) {
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::Any, 0));
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    test::ServerRig rig;
    rig.set("com device 1", pty.a());
    rig.set("com port", "1");
    rig.set("TCP Port", QString::number(holder.serverPort()));
    rig.set("autoconnect", "1");
    frmZVServer& w = rig.load(1);
    EXPECT_EQ(w.lblStatus->text(), "form load error");
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_TRUE(rig.dialogs.shown[0].text.startsWith("VB6 runtime error (load): 10048 - "))
        << rig.dialogs.shown[0].text.toStdString();
    EXPECT_EQ(rig.dialogs.shown[0].flags, 64);
    EXPECT_EQ(rig.dialogs.shown[0].title, "Tandro ZV Server");
    EXPECT_TRUE(rig.comm->PortOpen());  // step 10 was done before the failure
}

TEST(FormLoad, WindowStateNumbers) {
    {
        test::ServerRig rig;
        rig.set("WindowState", "1");
        frmZVServer& w = rig.load(1);
        EXPECT_TRUE(w.windowState() & Qt::WindowMinimized);
        EXPECT_TRUE(w.mnuMinimized->isChecked());
    }
    {
        test::ServerRig rig;
        rig.set("WindowState", "2");
        frmZVServer& w = rig.load(1);
        EXPECT_TRUE(w.windowState() & Qt::WindowMaximized);
        EXPECT_FALSE(w.mnuMinimized->isChecked());
    }
    for (const char* bad : {"x", "5"}) {
        SCOPED_TRACE(bad);
        test::ServerRig rig;
        rig.set("WindowState", bad);
        rig.set("FormTop", "1500");
        frmZVServer& w = rig.load(1);
        EXPECT_EQ(w.lblStatus->text(), "form load error");
        ASSERT_EQ(rig.dialogs.shown.size(), 1u);
        EXPECT_TRUE(rig.dialogs.shown[0].text.startsWith(QString("VB6 runtime error (load): ") +
                                                         (QString(bad) == "x" ? "13" : "380")));
        EXPECT_EQ(w.pos().y(), 100);               // step 4 was done
        EXPECT_EQ(rig.get("autoconnect"), "0");    // step 3 was done
        EXPECT_EQ(rig.get("TCP Port"), "<none>");  // step 7 was not
    }
}

TEST(FormLoad, StoredPositionInTwips) {
    test::ServerRig rig;
    rig.set("FormTop", "1500");
    rig.set("FormLeft", "3000.5");
    frmZVServer& w = rig.load(1);
    EXPECT_EQ(w.pos(), QPoint(200, 100));
    rig.set("FormLeft", "left");
    rig.load(1);
    EXPECT_EQ(rig.window->lblStatus->text(), "form load error");
    EXPECT_TRUE(rig.dialogs.shown.back().text.startsWith("VB6 runtime error (load): 13 - "));
}
