// Start-up from an empty store and from stored values, with a real serial
// device (socat pseudo-terminals) and real listeners on 127.0.0.1.
#include <gtest/gtest.h>
#include <QAction>
#include <QLabel>
#include <QTcpServer>

#include "net/winsock.h"
#include "support/openssl_cli.h"
#include "support/pty_pair.h"
#include "support/server_rig.h"

using namespace zv;

TEST(FormLoad, EmptyStoreWritesDefaultsAndAsksForAComPort) {
    test::ServerRig rig;
    frmZVServer& w = rig.load(1);
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_EQ(rig.dialogs.shown[0].text, "Please select a com port first");
    EXPECT_EQ(rig.dialogs.shown[0].flags, 64);
    EXPECT_EQ(rig.dialogs.shown[0].title, "Com Port error");
    EXPECT_FALSE(w.isVisible());  // boxes come before the window

    const char* stored[][2] = {{"WindowState", "0"},  {"autoconnect", "0"},
                               {"TCP Port", "9876"},  {"TCP Port 2", "9875"},
                               {"netport", "1"},      {"com port", "<none>"},
                               {"FormTop", "<none>"}, {"FormLeft", "<none>"}};
    for (const auto& [key, value] : stored) EXPECT_EQ(rig.get(key), value) << key;
    const QString password = rig.get("Password");
    EXPECT_EQ(test::opensslDecrypt(password.toLatin1(), "QJ7X KD Wander"), "ResetNow");
    EXPECT_EQ(w.Password, "ResetNow");

    EXPECT_FALSE(rig.comm->PortOpen());
    EXPECT_EQ(rig.server1->State(), sck::Closed);
    EXPECT_TRUE(w.mnuTCPPort1->isChecked());
    EXPECT_EQ(w.lblStatus->text(), "Winsock status:");

    // A second start stores a new envelope of the same key.
    rig.load(1);
    EXPECT_NE(rig.get("Password"), password);
    EXPECT_EQ(test::opensslDecrypt(rig.get("Password").toLatin1(), "QJ7X KD Wander"), "ResetNow");
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
        EXPECT_EQ(rig.comm->PortOpen(), row.opens);
        EXPECT_EQ(w.mnuPortsCom[2]->isChecked(), row.opens);
        EXPECT_EQ(w.lblStatus->text().section("; ", 0, 0), "closed");  // then what was wrong
        EXPECT_EQ(rig.get("com port"), row.opens ? "3" : row.stored);
    }
}

TEST(FormLoad, PortInUseEndsStartUpWithTheSocketError) {
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::Any, 0));
    test::ServerRig rig;
    rig.set("com port", "0");
    rig.set("TCP Port", QString::number(holder.serverPort()));
    rig.set("autoconnect", "1");
    frmZVServer& w = rig.load(1);
    EXPECT_EQ(w.lblStatus->text().section("; ", 0, 0), "form load error");
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_TRUE(rig.dialogs.shown[0].text.startsWith("VB6 runtime error (load): 10048 - "))
        << rig.dialogs.shown[0].text.toStdString();
    EXPECT_EQ(rig.dialogs.shown[0].flags, 64);
    EXPECT_EQ(rig.dialogs.shown[0].title, "Tandro ZV Server");
}

TEST(FormLoad, StoredWindowStateAndPlace) {
    const struct {
        const char* state;
        const char* left;
        int error;  // the number in the "form load error" box; 0: none
    } table[] = {
        {"1", "3000.5", 0}, {"2", "3000.5", 0}, {"x", "0", 13}, {"5", "0", 380}, {"0", "left", 13}};
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << row.state << " " << row.left);
        test::ServerRig rig;
        rig.set("WindowState", row.state);
        rig.set("FormTop", "1500");  // twips: 100 pixels
        rig.set("FormLeft", row.left);
        frmZVServer& w = rig.load(1);  // no com port: its box, or the error box
        ASSERT_EQ(rig.dialogs.shown.size(), 1u);
        if (row.error == 0) {
            EXPECT_EQ(w.pos(), QPoint(200, 100));
            EXPECT_EQ(w.mnuMinimized->isChecked(), *row.state == '1');
            EXPECT_TRUE(w.windowState() &
                        (*row.state == '1' ? Qt::WindowMinimized : Qt::WindowMaximized));
            continue;
        }
        EXPECT_EQ(w.lblStatus->text(), "form load error");
        EXPECT_TRUE(rig.dialogs.shown[0].text.startsWith(
            QStringLiteral("VB6 runtime error (load): %1 - ").arg(row.error)))
            << rig.dialogs.shown[0].text.toStdString();
        if (*row.left == '0') {  // the place was set before
            EXPECT_EQ(w.pos().y(), 100);
        }
        EXPECT_EQ(rig.get("autoconnect"), "0");    // written before the failure
        EXPECT_EQ(rig.get("TCP Port"), "<none>");  // not reached
    }
}
