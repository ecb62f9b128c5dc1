// A fresh window, before start-up: objects, captions, places, menus.
#include <gtest/gtest.h>
#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "support/server_rig.h"

using namespace zv;

TEST(WindowLayout, ObjectsStandWhereTheDesignPutsThem) {
    test::ServerRig rig;
    frmZVServer& w = rig.open();
    EXPECT_EQ(w.objectName(), "frmZVServer");
    EXPECT_EQ(w.windowTitle(), "Tandro ZV Server");
    ASSERT_EQ(w.logicalDpiX(), 96);  // 15 twips per pixel
    EXPECT_EQ(w.centralWidget()->size(), QSize(4680 / 15, 3690 / 15));
    const struct {
        const char* name;
        QString caption;                       // of buttons and labels
        int left, top, width = 0, height = 0;  // twips; 0 width: a label of the left column
    } table[] = {
        {"txtTxData", "", 1440, 840, 3135, 615},
        {"txtRxData", "", 1440, 120, 3135, 615},
        {"cmdListen", "&Listen", 120, 3000, 855, 615},
        {"cmdClose", "&Close", 1320, 3000, 855, 615},
        {"cmdSend", "&Test Msg", 2520, 3000, 855, 615},
        {"cmdExit", "E&xit", 3720, 3000, 855, 615},
        {"shpPort2", "", 2040, 1560, 495, 255},
        {"shpPort1", "", 1440, 1560, 495, 255},
        {"lblStatus", "Winsock status:", 1440, 1920, 3135, 255},
        {"lblRxNet", "Rx from Net:", 120, 360},
        {"lblRxCom", "Rx from Com:", 120, 960},
        {"lblPort", "Port status:", 120, 1560},
        {"Label1", "Status:", 120, 1920},
        {"lblIP", "Server local IP:", 120, 2280},
        {"lblHost", "Server local host name:", 120, 2640},
    };
    for (const auto& p : table) {
        SCOPED_TRACE(p.name);
        auto* o = w.findChild<QWidget*>(QString::fromLatin1(p.name));
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o->property("text").toString(), p.caption);
        if (p.width) {
            EXPECT_EQ(o->geometry(), QRect(p.left / 15, p.top / 15, p.width / 15, p.height / 15));
            continue;
        }
        // Each label of the left column shows its whole caption and runs into
        // no other object.
        EXPECT_EQ(o->pos(), QPoint(p.left / 15, p.top / 15));
        EXPECT_GE(o->width(), o->sizeHint().width()) << "caption cut off";
        for (QWidget* other : w.centralWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            EXPECT_FALSE(other != o && o->geometry().intersects(other->geometry()))
                << "overlaps " << other->objectName().toStdString();
    }
}

TEST(WindowLayout, MenusHaveEveryItemUncheckedInOrder) {
    test::ServerRig rig;
    frmZVServer& w = rig.open();
    auto items = [](const QList<QAction*>& actions) {
        QStringList out;
        for (QAction* a : actions) out << a->objectName() + "=" + frmZVServer::captionOf(a);
        return out;
    };
    QStringList menus;
    for (QAction* a : w.menuBar()->actions()) menus << a->text();
    EXPECT_EQ(menus, QStringList({"&Com Port", "&Network Port", "&Options", "&Help"}));
    QStringList ports;
    for (int n = 1; n <= 16; ++n)
        ports << QStringLiteral("mnuPortsCom%1=Com%2%1").arg(QString::number(n), n <= 9 ? "&" : "");
    ports << "="
          << "mnuChooseDevice=Choose &Device..."
          << "mnuLineSettings=Line &Settings...";
    EXPECT_EQ(items(w.mnuPorts->actions()), ports);
    EXPECT_EQ(items(w.mnuNetwork->actions()),
              QStringList({"mnuTCPPort1=TCP Port 9876", "mnuTCPPort2=TCP Port 9875",
                           "mnuTCPBoth=Listen on Both Ports"}));
    EXPECT_EQ(
        items(w.mnuOptions->actions()),
        QStringList({"mnuNetAutoconnect=&Automatically Listen for Connections",
                     "mnuMinimized=&Run Minimized", "mnuDefineTCP1=Define TCP Port &1",
                     "mnuDefineTCP2=Define TCP Port &2", "mnuChangeKey=&Change Encryption Key"}));
    EXPECT_EQ(items(w.mnuHelp->actions()), QStringList({"mnuHelpAbout=&About Tandro ZV Server"}));
    for (QAction* a : w.findChildren<QAction*>()) {
        EXPECT_FALSE(a->isChecked()) << a->objectName().toStdString();
        EXPECT_TRUE(a->isEnabled() && a->isVisible()) << a->objectName().toStdString();
    }
}
