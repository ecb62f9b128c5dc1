// Typing into the data panes: keys from "Rx from Net:" go to the clients
// encrypted, keys from "Rx from Com:" go to the device in clear. Real
// listeners, a socat pseudo-terminal as the device, `openssl enc -d` as reader.
#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include "app/data_pane.h"
#include "net/winsock.h"
#include "support/openssl_cli.h"
#include "support/pty_pair.h"
#include "support/server_rig.h"
#include "support/tcp_client.h"

using namespace zv;

namespace {
// "Salted__", 8 salt bytes and one message byte, in Base64.
constexpr qsizetype kOneCharEnvelope = 24;
const QString kTxPrefix = QStringLiteral("VB6 runtime error (txtTxData_keypress): ");
const QString kRxPrefix = QStringLiteral("VB6 runtime error (txtRxData_keypress): ");
}  // namespace

class KeyEntry : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << pty.error().toStdString();
        ASSERT_TRUE(device.ok()) << device.error().toStdString();
        p1 = test::freePort();
        p2 = test::freePort();
        rig.set("TCP Port", QString::number(p1));
        rig.set("TCP Port 2", QString::number(p2));
        rig.set("netport", "3");
        rig.set("com device 1", pty.a());
        rig.set("com port", "1");
        w = &rig.load();
        ASSERT_TRUE(rig.comm->PortOpen());
        w->cmdListen_Click();
    }
    // Connects the clients asked for and waits until the listeners serve them.
    void connect(bool one, bool two) {
        if (one) {
            ASSERT_TRUE(c1.connect(p1));
        }
        if (two) {
            ASSERT_TRUE(c2.connect(p2));
        }
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return (rig.server1->State() == sck::Connected) == one &&
                   (rig.server2->State() == sck::Connected) == two;
        }));
    }
    // Splits what a client got into one-character envelopes and opens each.
    static QByteArrayList opened(const QByteArray& wire, QByteArrayList* envelopes = nullptr) {
        QByteArrayList out;
        for (qsizetype at = 0; at + kOneCharEnvelope <= wire.size(); at += kOneCharEnvelope) {
            const QByteArray e = wire.mid(at, kOneCharEnvelope);
            if (envelopes) envelopes->append(e);
            out.append(test::opensslDecrypt(e, "ResetNow"));
        }
        return out;
    }

    test::PtyPair pty;
    test::RawTty device{pty.b()};
    test::ServerRig rig;
    frmZVServer* w = nullptr;
    quint16 p1 = 0, p2 = 0;
    test::TcpClient c1, c2;
};

TEST_F(KeyEntry, TypedLettersGoToBothClientsEachEncryptedOnItsOwn) {
    connect(true, true);
    const QString before = w->txtRxData->toPlainText();
    QTest::keyClicks(w->txtRxData, "ab");
    EXPECT_EQ(w->txtRxData->toPlainText(), before);  // typing does not edit the record
    EXPECT_EQ(w->txtRxData->model().Text(), QString());

    QByteArrayList e1, e2;
    const QByteArray wire1 = c1.read(2 * kOneCharEnvelope);
    const QByteArray wire2 = c2.read(2 * kOneCharEnvelope);
    EXPECT_EQ(wire1.size(), 2 * kOneCharEnvelope) << wire1.constData();
    EXPECT_EQ(wire2.size(), 2 * kOneCharEnvelope) << wire2.constData();
    EXPECT_EQ(opened(wire1, &e1), QByteArrayList({"a", "b"}));
    EXPECT_EQ(opened(wire2, &e2), QByteArrayList({"a", "b"}));
    // Four encryptions, four salts.
    const QByteArrayList all = e1 + e2;
    for (qsizetype i = 0; i < all.size(); ++i)
        for (qsizetype j = i + 1; j < all.size(); ++j) EXPECT_NE(all[i], all[j]);
    EXPECT_TRUE(rig.dialogs.shown.empty());

    // Control characters too; nothing reaches the device.
    w->txtRxData_KeyPress(13);
    EXPECT_EQ(opened(c1.read(kOneCharEnvelope)), QByteArrayList({"\r"}));
    EXPECT_EQ(opened(c2.read(kOneCharEnvelope)), QByteArrayList({"\r"}));
    w->txtTxData_KeyPress('!');
    EXPECT_EQ(device.read(1), "!");
}

TEST_F(KeyEntry, EnterReachesTheDeviceAloneAndInClear) {
    connect(true, false);
    QTest::keyClick(w->txtTxData, Qt::Key_Return);
    QTest::keyClicks(w->txtTxData, "z");
    // No line feed between the carriage return and the next key.
    EXPECT_EQ(device.read(2), "\rz");
    EXPECT_EQ(w->txtTxData->toPlainText(), QString());
    // Nothing went to the client: the next thing it gets is the test message.
    w->cmdSend_Click();
    const QByteArray wire = c1.read(72);
    EXPECT_EQ(test::opensslDecrypt(wire, "ResetNow"), "Hello there client, this is server.\r");
    EXPECT_TRUE(rig.dialogs.shown.empty());
}

TEST_F(KeyEntry, FailuresShowOneBoxPerKeyAndEndTheHandler) {
    // No client at all: port 1 refuses, once per key.
    rig.dialogs.expectBoxes(2);
    QTest::keyClicks(w->txtRxData, "xy");
    ASSERT_EQ(rig.dialogs.shown.size(), 2u);
    for (const auto& box : rig.dialogs.shown) {
        EXPECT_TRUE(box.text.startsWith(kRxPrefix + "40006 - ")) << box.text.toStdString();
        EXPECT_EQ(box.flags, 64);
        EXPECT_EQ(box.title, "Tandro ZV Server");
    }

    // Port 2 served, port 1 not: port 1 fails first, so port 2 gets nothing;
    // the first thing its client gets is the test message.
    rig.dialogs.clear();
    connect(false, true);
    rig.dialogs.expectBoxes(1);
    QTest::keyClicks(w->txtRxData, "q");
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_TRUE(rig.dialogs.shown[0].text.startsWith(kRxPrefix + "40006 - "));
    w->cmdSend_Click();
    EXPECT_EQ(test::opensslDecrypt(c2.read(72), "ResetNow"),
              "Hello there client, this is server.\r");

    // Serial port closed: once per key.
    rig.dialogs.clear();
    rig.comm->setPortOpen(false);
    rig.dialogs.expectBoxes(2);
    QTest::keyClicks(w->txtTxData, "ok");
    ASSERT_EQ(rig.dialogs.shown.size(), 2u);
    for (const auto& box : rig.dialogs.shown) {
        EXPECT_TRUE(box.text.startsWith(kTxPrefix + "8012 - ")) << box.text.toStdString();
        EXPECT_EQ(box.flags, 64);
    }
    EXPECT_EQ(w->txtTxData->toPlainText(), QString());
}

// The whole window from the keyboard: tab order, button access keys, menus.
TEST_F(KeyEntry, WindowWorksFromTheKeyboardAlone) {
    w->cmdClose_Click();
    w->show();
    QApplication::setActiveWindow(w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    ASSERT_EQ(QApplication::focusWidget(), w->cmdListen);

    // Tab moves Listen, Close, Test Msg, Exit, the panes, and round; Tab in a
    // pane moves on and sends nothing (no box for the missing client).
    const QWidget* order[] = {w->cmdClose,  w->cmdSend,   w->cmdExit,
                              w->txtRxData, w->txtTxData, w->cmdListen};
    for (const QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), w->txtTxData);
    EXPECT_TRUE(rig.dialogs.shown.empty());

    // Button access keys work from anywhere in the window, a pane included.
    QTest::keyClick(w->txtTxData, Qt::Key_L, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return rig.server1->State() == sck::Listening; }));
    QTest::keyClick(w, Qt::Key_T, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return w->lblStatus->text() == "send failed, client not connected"; }));
    w->txtTxData_KeyPress('.');
    EXPECT_EQ(device.read(1), ".");  // the device's first byte: Alt+L typed nothing

    // Alt+C opens the Com Port menu (the menu bar wins, as it does for the
    // operator's other programs); Space on the focused Close button closes.
    QTest::keyClick(w, Qt::Key_C, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->mnuPorts->isVisible(); }));
    QTest::keyClick(w->mnuPorts, Qt::Key_Escape);
    QTest::keyClick(w->menuBar(), Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w->mnuPorts->isVisible(); }));
    EXPECT_EQ(rig.server1->State(), sck::Listening);
    w->cmdClose->setFocus();
    QTest::keyClick(w->cmdClose, Qt::Key_Space);
    EXPECT_TRUE(QTest::qWaitFor([&] { return rig.server1->State() == sck::Closed; }));

    // Menus open by their access keys and run an item by its own.
    const struct {
        Qt::Key menuKey;
        QMenu* menu;
    } menus[] = {{Qt::Key_N, w->mnuNetwork}, {Qt::Key_O, w->mnuOptions}, {Qt::Key_H, w->mnuHelp}};
    for (const auto& m : menus) {
        QApplication::setActiveWindow(w);
        ASSERT_TRUE(QTest::qWaitForWindowActive(w));
        QTest::keyClick(w, m.menuKey, Qt::AltModifier);
        EXPECT_TRUE(QTest::qWaitFor([&] { return m.menu->isVisible(); }))
            << m.menu->title().toStdString();
        QTest::keyClick(m.menu, Qt::Key_Escape);
        QTest::keyClick(w->menuBar(), Qt::Key_Escape);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !m.menu->isVisible(); }));
    }
    QApplication::setActiveWindow(w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    QTest::keyClick(w, Qt::Key_O, Qt::AltModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->mnuOptions->isVisible(); }));
    QTest::keyClick(w->mnuOptions, Qt::Key_A);  // Automatically Listen for Connections
    EXPECT_TRUE(QTest::qWaitFor([&] { return rig.get("autoconnect") == "1"; }));
    EXPECT_TRUE(w->mnuNetAutoconnect->isChecked());

    // Alt+X exits: the window closes and saves its place.
    QApplication::setActiveWindow(w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    QTest::keyClick(w, Qt::Key_X, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w->isVisible(); }));
    EXPECT_NE(rig.get("FormTop"), "<none>");
    EXPECT_TRUE(rig.dialogs.shown.empty());
}
