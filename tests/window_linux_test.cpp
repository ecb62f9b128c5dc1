// The operator's window on Linux: devices chosen from the menu, line
// settings, a window that grows and keeps its size, Run Minimized.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "app/data_pane.h"
#include "support/pty_pair.h"
#include "support/server_rig.h"

using namespace zv;

TEST(WindowLinux, ChosenDeviceOpensWithTheStoredLineSettings) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error().toStdString();
    test::ServerRig rig;
    rig.set("com port", "5");  // chosen before, its device missing
    rig.set("com device 5", rig.dir.path() + "/unplugged");
    MainWindow& w = rig.load(1);
    // Opened before the control takes the device: a pseudo-terminal keeps the
    // flow-control bits it is given, so they read back here.
    const int probe = ::open(QFile::encodeName(pty.a()), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    const auto flow = [probe] {
        termios t{};
        return ::tcgetattr(probe, &t)
                   ? -1
                   : int((t.c_cflag & CRTSCTS) | (t.c_iflag & (IXON | IXOFF | IXANY)));
    };
    rig.dialogs.clear();
    rig.dialogs.answer(pty.a());  // typed in: pseudo-terminals are not listed
    w.chooseDeviceAction->trigger();
    EXPECT_EQ(rig.dialogs.shown.at(0).defaultText, "5");  // the COM number in use is offered
    EXPECT_EQ(rig.get("com device 5") + rig.get("com port"), pty.a() + "5");
    ASSERT_TRUE(rig.comm->isOpen() && w.comActions[4]->isChecked());
    EXPECT_EQ(w.comActions[4]->text(), "Com&5\t" + pty.a());

    // In force at once on the open line, stored, and used by the next open;
    // what the line refuses (1.5 stop bits: Linux has none) is not stored.
    for (const char* line : {"19200,N,8,2", "921600,N,8,1", "300,N,8,1.5"}) {
        rig.dialogs.answer(line);
        rig.dialogs.expectBoxes(line[0] == '3');
        w.lineSettingsAction->trigger();
        EXPECT_EQ(rig.comm->reportedSettings().toStdString(),
                  line[0] == '3' ? "921600,N,8,1" : line);
    }
    EXPECT_TRUE(
        rig.dialogs.texts().back().startsWith("VB6 runtime error (mnuLineSettings_Click): 380 - "));
    EXPECT_EQ(rig.dialogs.shown.at(2).defaultText, "19200,N,8,2");  // the dialog starts there
    w.chooseComPort(5);
    EXPECT_EQ(rig.comm->reportedSettings() + rig.get("com settings"), "921600,N,8,1921600,N,8,1");
    // Flow control: a fifth field, none when left out; in force at once and
    // at every open; anything else refused with 380 and not stored.
    EXPECT_EQ(flow(), 0);
    for (const char* line : {"9600,N,8,1,rtscts", "9600,N,8,1,bogus", "9600,N,8,1,XonXoff"}) {
        rig.dialogs.answer(line);
        rig.dialogs.expectBoxes(line[11] == 'b');
        w.lineSettingsAction->trigger();
    }
    EXPECT_EQ(rig.dialogs.shown.back().defaultText + rig.get("flow control"),
              "9600,N,8,1,rtsctsxonxoff");
    EXPECT_EQ(flow(), int(IXON | IXOFF));
    w.chooseComPort(5);
    EXPECT_EQ(flow(), int(IXON | IXOFF));
    // After XOFF only XON restarts the line: a byte it sent since does not.
    test::RawTty far(pty.b());
    ASSERT_TRUE(far.writeAll("\x13x"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.comm->available() == 1; }, 10000));
    rig.comm->write("held");
    EXPECT_EQ(far.read(4, 500), "");  // only a line restarted by "x" lets it through
    ASSERT_TRUE(far.writeAll("\x11"));
    EXPECT_EQ(far.read(4, 20000), "held");
    rig.set("flow control", "rtscts");
    w.chooseComPort(5);
    EXPECT_EQ(flow(), int(CRTSCTS));
    EXPECT_EQ(::close(probe), 0);

    // The first COM number with no device of its own is offered when none is chosen.
    rig.set("com port", "0");
    for (int n = 1; n <= 16; ++n)
        if (n != 9) rig.set(QStringLiteral("com device %1").arg(n), pty.a());
    rig.dialogs.answer("");  // Cancel
    rig.load().chooseDeviceAction->trigger();
    EXPECT_EQ(rig.dialogs.shown.back().defaultText, "9");
}

TEST(WindowLinux, PanesTakeTheRoomTheStatusShowsWholeAndTheSizeIsKept) {
    test::PtyPair pty;
    ASSERT_TRUE(pty.ok()) << pty.error().toStdString();
    test::ServerRig rig;
    rig.set("com device 2", pty.a());
    rig.set("com port", "2");
    MainWindow& w = rig.load();
    w.show();
    const QSize design = w.centralWidget()->size();
    const QRect rx = w.netPane->geometry(), tx = w.comPane->geometry(),
                exit = w.exitButton->geometry();
    pty.vanish();  // a long status: "com port 2 waiting for <path>"
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return w.statusLine->text().startsWith("com port 2 wait"); }));
    EXPECT_EQ(w.statusLine->toolTip(), w.statusLine->text()) << "cut short: the tool tip holds it";

    w.resize(w.size() + QSize(440, 200));
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.centralWidget()->size() != design; }));
    EXPECT_EQ(w.netPane->width() + w.comPane->width(), rx.width() + tx.width() + 880);
    EXPECT_EQ(w.netPane->height() + w.comPane->height(), rx.height() + tx.height() + 200);
    EXPECT_EQ(w.comPane->y() - w.netPane->geometry().bottom(), tx.y() - rx.bottom());
    EXPECT_EQ(w.exitButton->geometry(), exit.translated(440, 200));  // bottom row, right end
    EXPECT_GE(w.statusLine->width(),
              w.statusLine->fontMetrics().horizontalAdvance(w.statusLine->text()));

    w.exit();
    EXPECT_EQ(
        rig.get("FormWidth") + "x" + rig.get("FormHeight"),
        QStringLiteral("%1x%2").arg((design.width() + 440) * 15).arg((design.height() + 200) * 15));
    EXPECT_EQ(rig.load(1).centralWidget()->size(), design + QSize(440, 200));  // COM2 is gone
    rig.set("FormWidth", "100");  // below the smallest size: raised to it
    EXPECT_EQ(rig.load(1).centralWidget()->size(), QSize(design.width(), design.height() + 200));
}
