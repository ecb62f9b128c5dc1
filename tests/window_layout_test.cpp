// A fresh window, before start-up: objects, captions, places, menus, focus.
#include <gtest/gtest.h>
#include <tuple>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include "app/data_pane.h"
#include "app/lamp.h"
#include "support/server_rig.h"

using namespace zv;

namespace {
struct Placed {
    const char* name;
    const char* caption;  // nullptr for panes and lamps
    int left, top, width, height;
};
}  // namespace

TEST(WindowLayout, ObjectsStandWhereTheDesignPutsThem) {
    test::ServerRig rig;
    frmZVServer& w = rig.open();
    EXPECT_EQ(w.objectName(), "frmZVServer");
    EXPECT_EQ(w.windowTitle(), "Tandro ZV Server");
    ASSERT_EQ(w.logicalDpiX(), 96);  // 15 twips per pixel
    const Placed table[] = {
        {"txtTxData", nullptr, 1440, 840, 3135, 615},
        {"txtRxData", nullptr, 1440, 120, 3135, 615},
        {"cmdListen", "&Listen", 120, 3000, 855, 615},
        {"cmdClose", "&Close", 1320, 3000, 855, 615},
        {"cmdSend", "&Test Msg", 2520, 3000, 855, 615},
        {"cmdExit", "E&xit", 3720, 3000, 855, 615},
        {"shpPort2", nullptr, 2040, 1560, 495, 255},
        {"shpPort1", nullptr, 1440, 1560, 495, 255},
        {"lblStatus", "Winsock status:", 1440, 1920, 3135, 255},
    };
    for (const Placed& p : table) {
        SCOPED_TRACE(p.name);
        auto* o = w.findChild<QWidget*>(QString::fromLatin1(p.name));
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o->geometry(), QRect(p.left / 15, p.top / 15, p.width / 15, p.height / 15));
        if (auto* b = qobject_cast<QPushButton*>(o)) {
            EXPECT_EQ(b->text(), p.caption);
        }
        if (auto* l = qobject_cast<QLabel*>(o)) {
            EXPECT_EQ(l->text(), p.caption);
        }
    }
    // The left column of labels lines up with the Listen button, each on its
    // row, and none runs into the object to its right.
    for (auto [name, caption, top] :
         {std::tuple{"lblRxNet", "Rx from Net:", 360}, std::tuple{"lblRxCom", "Rx from Com:", 960},
          std::tuple{"lblPort", "Port status:", 1560}, std::tuple{"Label1", "Status:", 1920},
          std::tuple{"lblIP", "Server local IP:", 2280},
          std::tuple{"lblHost", "Server local host name:", 2640}}) {
        SCOPED_TRACE(name);
        auto* l = w.findChild<QLabel*>(QString::fromLatin1(name));
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(l->text(), caption);
        EXPECT_EQ(l->pos(), QPoint(120 / 15, top / 15));
        EXPECT_GE(l->width(), l->sizeHint().width()) << "caption cut off";
        for (QWidget* other : w.centralWidget()->findChildren<QWidget*>()) {
            if (other != l && other->parentWidget() == w.centralWidget()) {
                EXPECT_FALSE(l->geometry().intersects(other->geometry()))
                    << "overlaps " << other->objectName().toStdString();
            }
        }
    }
    EXPECT_EQ(w.centralWidget()->size(), QSize(4680 / 15, 3690 / 15));
    EXPECT_EQ(w.shpPort1->FillColor(), colour::WindowBackground);
}

TEST(WindowLayout, MenusHaveEveryItemUncheckedInOrder) {
    test::ServerRig rig;
    frmZVServer& w = rig.open();
    QStringList menus;
    for (QAction* a : w.menuBar()->actions()) menus << a->text();
    EXPECT_EQ(menus, QStringList({"&Com Port", "&Network Port", "&Options", "&Help"}));

    QStringList ports;
    for (QAction* a : w.mnuPorts->actions()) ports << a->objectName() + "=" + a->text();
    QStringList expected;
    for (int n = 1; n <= 16; ++n)
        expected << QStringLiteral("mnuPortsCom%1=").arg(n) +
                        (n <= 9 ? QStringLiteral("Com&%1").arg(n) : QStringLiteral("Com%1").arg(n));
    EXPECT_EQ(ports, expected);

    auto names = [](QMenu* m) {
        QStringList out;
        for (QAction* a : m->actions()) out << a->objectName() + "=" + a->text();
        return out;
    };
    EXPECT_EQ(names(w.mnuNetwork),
              QStringList({"mnuTCPPort1=TCP Port 9876", "mnuTCPPort2=TCP Port 9875",
                           "mnuTCPBoth=Listen on Both Ports"}));
    EXPECT_EQ(
        names(w.mnuOptions),
        QStringList({"mnuNetAutoconnect=&Automatically Listen for Connections",
                     "mnuMinimized=&Run Minimized", "mnuDefineTCP1=Define TCP Port &1",
                     "mnuDefineTCP2=Define TCP Port &2", "mnuChangeKey=&Change Encryption Key"}));
    EXPECT_EQ(names(w.mnuHelp), QStringList({"mnuHelpAbout=&About Tandro ZV Server"}));

    for (QAction* a : w.findChildren<QAction*>()) {
        EXPECT_FALSE(a->isChecked()) << a->objectName().toStdString();
        EXPECT_TRUE(a->isEnabled() && a->isVisible()) << a->objectName().toStdString();
    }
    EXPECT_EQ(w.lblStatus->text(), "Winsock status:");
}

TEST(WindowLayout, FocusMovesThroughButtonsThenPanes) {
    test::ServerRig rig;
    frmZVServer& w = rig.open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(QApplication::focusWidget(), w.cmdListen);
    QStringList order;
    QWidget* at = w.cmdListen;
    for (int i = 0; i < 6; ++i) {
        order << at->objectName();
        at = at->nextInFocusChain();
        while (at->focusPolicy() == Qt::NoFocus || !at->isVisible()) at = at->nextInFocusChain();
    }
    EXPECT_EQ(order, QStringList({"cmdListen", "cmdClose", "cmdSend", "cmdExit", "txtRxData",
                                  "txtTxData"}));
    // Typing into a pane does not edit the record of traffic.
    w.txtRxData->setFocus();
    rig.dialogs.expectBoxes(3);  // no client: each key reports the refused send
    QTest::keyClicks(w.txtRxData, "abc");
    ASSERT_EQ(rig.dialogs.shown.size(), 3u);
    EXPECT_TRUE(
        rig.dialogs.shown[0].text.startsWith("VB6 runtime error (txtRxData_keypress): 40006 - "));
    EXPECT_EQ(w.txtRxData->model().Text(), "");
    EXPECT_EQ(w.txtRxData->toPlainText(), "");
}
