// Typing into the data panes: keys from "Rx from Net:" go to the clients
// encrypted, keys from "Rx from Com:" go to the device in clear; and the whole
// window from the keyboard alone.
#include <gtest/gtest.h>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>

#include "app/data_pane.h"
#include "support/link_rig.h"
#include "support/openssl_cli.h"

using namespace zv;

namespace {
const QByteArray kGreeting = "Hello there client, this is server.\r";

// Opens each one-character envelope (24 Base64 characters) of `wire`.
QByteArrayList opened(const QByteArray& wire) {
    QByteArrayList out;
    for (qsizetype at = 0; at + 24 <= wire.size(); at += 24)
        out << test::opensslDecrypt(wire.mid(at, 24), "ResetNow");
    return out;
}
}  // namespace

class KeyEntry : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(link.start("3"));
        w = link.w;
    }
    // Every box shown so far starts with `prefix` and is an information box.
    void expectBoxes(const QString& prefix, size_t count) {
        ASSERT_EQ(link.rig.dialogs.shown.size(), count);
        for (const auto& box : link.rig.dialogs.shown) {
            EXPECT_TRUE(box.text.startsWith(prefix)) << box.text.toStdString();
            EXPECT_EQ(box.flags, 64);
            EXPECT_EQ(box.title, "Tandro ZV Server");
        }
        link.rig.dialogs.clear();
    }
    test::LinkRig link;
    frmZVServer* w = nullptr;
    test::TcpClient c1, c2;
};

TEST_F(KeyEntry, KeysFromEachPaneGoTheirWay) {
    ASSERT_TRUE(link.connect(c1, link.p1, link.sock1));
    ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));
    // Control characters too; port 1 first for each key.
    QTest::keyClicks(w->txtRxData, "ab");
    w->txtRxData_KeyPress(13);
    EXPECT_EQ(link.sendOrder, std::vector<int>({1, 2, 1, 2, 1, 2}));
    const QByteArray wire1 = c1.read(3 * 24), wire2 = c2.read(3 * 24);
    EXPECT_NE(wire1, wire2);  // each envelope encrypted on its own
    EXPECT_EQ(opened(wire1), QByteArrayList({"a", "b", "\r"}));
    EXPECT_EQ(opened(wire2), QByteArrayList({"a", "b", "\r"}));
    EXPECT_EQ(w->txtRxData->toPlainText(), QString());  // typing does not edit the record
    EXPECT_EQ(w->txtRxData->model().Text(), QString());

    // Enter reaches the device alone (no line feed after it) and nothing reaches
    // a client: the next thing client 1 gets is the test message.
    QTest::keyClick(w->txtTxData, Qt::Key_Return);
    QTest::keyClicks(w->txtTxData, "z");
    EXPECT_EQ(link.device->read(2), "\rz");
    EXPECT_EQ(w->txtTxData->toPlainText(), QString());
    w->cmdSend_Click();
    EXPECT_EQ(test::opensslDecrypt(c1.read(72), "ResetNow"), kGreeting);
    EXPECT_TRUE(link.rig.dialogs.shown.empty());
}

TEST_F(KeyEntry, FailuresShowOneBoxPerKeyAndEndTheHandler) {
    const QString rx = "VB6 runtime error (txtRxData_keypress): ";
    link.rig.dialogs.expectBoxes(2);  // no client: port 1 refuses, once per key
    QTest::keyClicks(w->txtRxData, "xy");
    expectBoxes(rx + "40006 - ", 2);

    // Port 1 fails first, so port 2's client gets nothing: the first thing it
    // gets is the test message.
    ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));
    link.rig.dialogs.expectBoxes(1);
    QTest::keyClicks(w->txtRxData, "q");
    expectBoxes(rx + "40006 - ", 1);
    w->cmdSend_Click();
    EXPECT_EQ(test::opensslDecrypt(c2.read(72), "ResetNow"), kGreeting);

    link.rig.comm->setPortOpen(false);
    link.rig.dialogs.expectBoxes(2);
    QTest::keyClicks(w->txtTxData, "ok");
    expectBoxes("VB6 runtime error (txtTxData_keypress): 8012 - ", 2);
    EXPECT_EQ(w->txtTxData->toPlainText(), QString());
}

TEST_F(KeyEntry, WindowWorksFromTheKeyboardAlone) {
    w->cmdClose_Click();
    w->show();
    const auto activate = [&] {
        QApplication::setActiveWindow(w);
        return QTest::qWaitForWindowActive(w);
    };
    ASSERT_TRUE(activate());
    ASSERT_EQ(QApplication::focusWidget(), w->cmdListen);

    // Tab moves Listen, Close, Test Msg, Exit, the panes, and round; Tab in a
    // pane moves on and sends nothing (no box for the missing client).
    for (QWidget* next : std::initializer_list<QWidget*>{
             w->cmdClose, w->cmdSend, w->cmdExit, w->txtRxData, w->txtTxData, w->cmdListen}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next);
    }

    // Button access keys work from anywhere, a pane included, and type nothing.
    QTest::keyClick(w->txtTxData, Qt::Key_L, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return link.sock1.State() == sck::Listening; }));
    QTest::keyClick(w, Qt::Key_T, Qt::AltModifier);
    EXPECT_TRUE(link.waitStatus("send failed, client not connected"));
    w->txtTxData_KeyPress('.');
    EXPECT_EQ(link.device->read(1), ".");

    // Each menu opens by its access key (Alt+C opens Com Port, not Close);
    // Options runs an item by its own: A, Automatically Listen for Connections.
    const std::pair<Qt::Key, QMenu*> menus[] = {{Qt::Key_C, w->mnuPorts},
                                                {Qt::Key_N, w->mnuNetwork},
                                                {Qt::Key_H, w->mnuHelp},
                                                {Qt::Key_O, w->mnuOptions}};
    for (const auto& [key, menu] : menus) {
        ASSERT_TRUE(activate());
        QTest::keyClick(w, key, Qt::AltModifier);
        EXPECT_TRUE(QTest::qWaitFor([menu = menu] { return menu->isVisible(); }))
            << menu->title().toStdString();
        QTest::keyClick(menu, menu == w->mnuOptions ? Qt::Key_A : Qt::Key_Escape);
        if (menu != w->mnuOptions) QTest::keyClick(w->menuBar(), Qt::Key_Escape);
        EXPECT_TRUE(QTest::qWaitFor([menu = menu] { return !menu->isVisible(); }));
    }
    EXPECT_EQ(link.rig.get("autoconnect"), "0");
    EXPECT_FALSE(w->mnuNetAutoconnect->isChecked());
    EXPECT_EQ(link.sock1.State(), sck::Listening);
    w->cmdClose->setFocus();
    QTest::keyClick(w->cmdClose, Qt::Key_Space);
    EXPECT_TRUE(QTest::qWaitFor([&] { return link.sock1.State() == sck::Closed; }));

    // Alt+X exits: the window closes and saves its place.
    ASSERT_TRUE(activate());
    QTest::keyClick(w, Qt::Key_X, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w->isVisible(); }));
    EXPECT_NE(link.rig.get("FormTop"), "<none>");
    EXPECT_TRUE(link.rig.dialogs.shown.empty());
}
