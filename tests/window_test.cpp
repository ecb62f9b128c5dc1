// The window: its objects and menus before start-up, its panes and lamps, the
// reading of stored numbers and the settings store; start-up, the Options menu
// and shutdown over a real settings file, real listeners on 127.0.0.1 and a
// socat pseudo-terminal as COM3.
#include <QAction>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>

#include "app/activity_display.h"
#include "app/data_pane.h"
#include "app/lamp.h"
#include "core/text_number.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"

using namespace zv;

namespace {
const QString BS(QChar(8)), LF(QChar(10)), CR(QChar(13));

// Run Minimized and automatic listening as "0", "1" or "?" (other text).
QString switches(const MainWindow& w) {
    QString out;
    for (Switch s : {w.runMinimized, w.autoListen}) out += "01?"[int(s)];
    return out;
}

QString abc(int n) {  // n characters of the alphabet, over and over
    QString s;
    for (int i = 0; i < n; ++i) s += QChar(u'a' + i % 26);
    return s;
}
const QString kKeyPrompt =
    "Enter a new encryption key. The same key must be entered in Tandro Zelvane.";

QString marks(const MainWindow& w) {
    QString out;
    for (const QAction* a : {w.port1Action, w.port2Action, w.bothPortsAction})
        out += a->isChecked() ? '1' : '0';
    return out;
}
// Replaces the store's folder by a plain file: every later write fails (also
// for root, whom permissions would not stop).
void blockStore(const test::ServerRig& rig) {
    const QString folder = QFileInfo(rig.settingsPath).absolutePath();
    ASSERT_TRUE(QDir(folder).removeRecursively() && QFile(folder).open(QIODevice::WriteOnly));
}
}  // namespace

TEST(Window, CaptionsAndMenusBeforeStartUp) {
    test::ServerRig rig;
    MainWindow& w = rig.open();
    EXPECT_EQ(w.objectName() + " " + w.windowTitle(), "MainWindow Tandro ZV Server");
    // clang-format off
    const std::pair<const char*, QString> captions[] = {{"listenButton", "&Listen"}, {"closeButton", "&Close"},
        {"testButton", "&Test Msg"}, {"exitButton", "E&xit"}, {"statusLine", "Winsock status:"}, {"netLabel", "Rx from Net:"},
        {"comLabel", "Rx from Com:"}, {"lampsLabel", "Port status:"}, {"statusTitle", "Status:"}, {"addressLabel", "Server local IP:"},
        {"hostLabel", "Server local host name:"}};
    // clang-format on
    for (const auto& [name, caption] : captions)
        EXPECT_EQ(w.findChild<QWidget*>(name)->property("text").toString(), caption);
    QStringList items;
    for (QAction* m : w.menuBar()->actions()) {
        items << m->text();
        for (QAction* a : m->menu()->actions())  // the device column after the tab aside
            items << a->objectName() + "=" + a->text().section('\t', 0, 0);
    }
    QStringList want{"&Com Port"};
    for (int n = 1; n <= 16; ++n)
        want << QStringLiteral("com%1Action=Com%2%1").arg(QString::number(n), n <= 9 ? "&" : "");
    // clang-format off
    want << "=" << "chooseDeviceAction=Choose &Device..." << "lineSettingsAction=Line &Settings..." << "&Network Port" << "port1Action=TCP Port 9876" << "port2Action=TCP Port 9875" << "bothPortsAction=Listen on Both Ports"
         << "&Options" << "autoListenAction=&Automatically Listen for Connections" << "runMinimizedAction=&Run Minimized" << "transparentAction=&Transparent Mode"
         << "definePort1Action=Define TCP Port &1" << "definePort2Action=Define TCP Port &2" << "changeKeyAction=&Change Encryption Key"
         << "&View" << "hexNetAction=&Hex: Rx from Net" << "hexComAction=He&x: Rx from Com" << "stampsNetAction=&Time Stamps: Rx from Net" << "stampsComAction=Ti&me Stamps: Rx from Com" << "=" << "traceFileAction=T&race File..." << "&Help" << "aboutAction=&About Tandro ZV Server";
    // clang-format on
    EXPECT_EQ(items, want);
    for (QAction* a : w.findChildren<QAction*>())
        EXPECT_TRUE(!a->isChecked() && a->isEnabled() && a->isVisible())
            << a->objectName().toStdString();
}

// showInPane's append: backspaces, line ends, the trim; the caller's data after
// it is exactly what was appended.
TEST(Window, PanesAppendLikeATerminal) {
    // Pane before, data, pane after, data after.
    // clang-format off
    const std::tuple<QString, QString, QString, QString> table[] = {
        {"x", "A" + CR + LF + "B", "xA" + CR + LF + "B", "A" + CR + LF + "B"}, {"", "A" + LF + "B", "AB", "AB"},
        {"", "a" + CR + "b" + CR, "a" + CR + LF + "b" + CR + LF, "a" + CR + LF + "b" + CR + LF},
        {"", "AB" + BS + "C", "AC", "AC"}, {"xyz", BS + "Q", "xyQ", "Q"}, {"xyz", BS + BS + "Q", "xyQ", "Q"},
        {"p", "a" + LF + BS + "b", "pab", "ab"}, {"xyz", "ab" + BS + BS, "xyz", ""}, {"", BS + "Q", "Q", "Q"},
        {abc(16000), "Z", abc(16000) + "Z", "Z"}, {abc(16001), "Z", abc(16001).mid(4096) + "Z", "Z"},
        {abc(20096), "Z", abc(20096).mid(4096) + "Z", "Z"}, {abc(20097), "Z", abc(20097).mid(8192) + "Z", "Z"},  // until at most 16000 are left
        {abc(36000), abc(20000), abc(36000).mid(5 * 4096) + abc(20000), abc(20000)},
        {abc(16002), BS + "Q", abc(16001).mid(4096) + "Q", "Q"}};
    // clang-format on
    for (const auto& [before, data, after, appended] : table) {
        PaneText p;
        p.setText(before);
        QString d = data;
        appendToPane(p, d);
        EXPECT_EQ(p.Text(), after) << data.left(40).toStdString();
        EXPECT_EQ(d, appended) << data.left(40).toStdString();
        EXPECT_EQ(p.SelStart(), p.Text().size());
    }
}

// The leading number of stored text: blanks skipped anywhere, &H and &O prefixes.
TEST(Window, StoredTextAsNumbers) {
    // clang-format off
    const std::pair<const char*, double> leading[] = {{"3abc", 3}, {"COM3", 0}, {"", 0}, {"&H10", 16},
        {"&hff", 255}, {"&O17", 15}, {"&O19", 1}, {"&H", 0}, {"1 2", 12}, {"\t1\n6 ", 16}, {"-2.5e1x", -25},
        {"+4", 4}, {".5", 0.5}, {"3e", 3}, {"1D2", 100}, {"1.2.3", 1.2}, {"- 3", -3}, {"3,5", 3}};
    // Whole-text conversions: half to even, the integer ranges, errors 6
    // (overflow) and 13 (type mismatch).
    const std::tuple<const char*, int, int> int16s[] = {{" 42 ", 42, 0}, {"2.5", 2, 0}, {"3.5", 4, 0},
        {"&H10", 16, 0}, {"-32768.5", -32768, 0}, {"32767.5", 0, 6}, {"1e400", 0, 6}, {"", 0, 13}, {"3abc", 0, 13}};
    // clang-format on
    for (const auto& [text, value] : leading) EXPECT_DOUBLE_EQ(leadingNumber(text), value) << text;
    for (const auto& row : int16s)  // a lambda may not take a structured binding (clang 14)
        EXPECT_EQ(test::errorOf([&] { EXPECT_EQ(toInt16(std::get<0>(row)), std::get<1>(row)); }),
                  std::get<2>(row))
            << std::get<0>(row);
    EXPECT_EQ(test::errorOf([] { toInt32("2147483648"); }), errc::Overflow);
    EXPECT_EQ(toInt32("-2147483648"), INT32_MIN);
    EXPECT_EQ(singleToText(toSingle("3000.25")), "3000.25");  // window places
}

TEST(StartUp, EmptyStoreWritesDefaultsAndAsksForAComPortFirst) {
    test::ServerRig rig;
    MainWindow& w = rig.load(1);
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_EQ(rig.dialogs.shown[0].text + "|" + rig.dialogs.shown[0].title,
              "Please select a com port first|Com Port error");
    EXPECT_EQ(rig.dialogs.shown[0].flags, 64);
    EXPECT_FALSE(w.isVisible());  // boxes come before the window
    // clang-format off
    for (const auto& [key, value] : {std::pair{"WindowState", "0"}, {"autoconnect", "0"}, {"TCP Port", "9876"},
             {"TCP Port 2", "9875"}, {"netport", "1"}, {"com port", "<none>"}, {"FormTop", "<none>"}, {"FormLeft", "<none>"}})
        EXPECT_EQ(rig.get(key), value) << key;
    // clang-format on
    const QString password = rig.get("Password");
    EXPECT_EQ(test::opensslDecrypt(password.toLatin1(), "QJ7X KD Wander"), "ResetNow");
    EXPECT_EQ(rig.relay->passPhrase(), "ResetNow");
    EXPECT_EQ(w.pos(), QPoint(0, 0));
    EXPECT_EQ(w.port2Action->text(), "TCP Port 9875");
    rig.load(1);  // a second start stores a new envelope of the same key
    EXPECT_NE(rig.get("Password"), password);
    EXPECT_EQ(test::opensslDecrypt(rig.get("Password").toLatin1(), "QJ7X KD Wander"), "ResetNow");
}

// What stored values make of a start: the one box, the status, the marks, the
// COM port, the window; a failure ends the sequence where it happened.
TEST(StartUp, StoredValuesAndFailures) {
    test::PtyPair pty;
    QTcpServer holder;
    ASSERT_TRUE(pty.ok() && holder.listen(QHostAddress::Any, 0));
    const QString busy = QString::number(holder.serverPort()),
                  com = "Please select a com port first";
    const QString load = "VB6 runtime error (load): ", closed = "closed",
                  no = "closed; stored com port \"%1\" is not 1 to 16", failed = "form load error";
    const QPoint none(-1, -1), placed(200, 100);  // FormLeft 3000.5, FormTop 1500 twips
    // clang-format off
    const struct { QString store, box, status, marks; Qt::WindowState state; QPoint place; bool opens; } table[] = {
        {"com port=3", "", closed, "100", Qt::WindowNoState, none, true},
        {"com port=03", "", closed, "100", Qt::WindowNoState, none, true},
        {"com port= 3", "", closed, "100", Qt::WindowNoState, none, true},
        {"com port=3.0", "", closed, "100", Qt::WindowNoState, none, true},
        {"com port=3abc", "", closed, "100", Qt::WindowNoState, none, true},
        {"com port=3;com settings=abc", "", "closed; stored com settings \"abc\" are not valid; using 9600,N,8,1", "100", Qt::WindowNoState, none, true},
        {"com port=COM3", "", no.arg("COM3"), "100", Qt::WindowNoState, none, false},
        {"com port=0", "", no.arg("0"), "100", Qt::WindowNoState, none, false},
        {"com port=17", "", no.arg("17"), "100", Qt::WindowNoState, none, false},
        {"com port=2.5;TCP Port=4321", "", no.arg("2.5"), "100", Qt::WindowNoState, none, false},
        {"WindowState=1;FormTop=1500;FormLeft=3000.5", com, "Winsock status:", "100", Qt::WindowMinimized, placed, false},
        {"WindowState=2;FormTop=1500;FormLeft=3000.5", com, "Winsock status:", "100", Qt::WindowMaximized, placed, false},
        {"WindowState=x;FormTop=1500", load + "13 - ", failed, "000", Qt::WindowNoState, {0, 100}, false},
        {"WindowState=5", load + "380 - ", failed, "000", Qt::WindowNoState, none, false},
        {"FormTop=1500;FormLeft=left", load + "13 - ", failed, "000", Qt::WindowNoState, {0, 100}, false},
        {"com port=0;TCP Port=", "VB6 runtime error (tcp1): 13 - ", no.arg("0"), "100", Qt::WindowNoState, none, false},  // empty, not the default
        {"com port=0;TCP Port=abc", "VB6 runtime error (tcp1): 13 - ", no.arg("0"), "100", Qt::WindowNoState, none, false},
        {"com port=0;TCP Port 2=abc;netport=2", "VB6 runtime error (tcp2): 13 - ", no.arg("0"), "010", Qt::WindowNoState, none, false},
        {"com port=0;TCP Port 2=abc;netport=3", "VB6 runtime error (mnuTCPBoth_Click): 13 - ", no.arg("0"), "111", Qt::WindowNoState, none, false},
        {"com port=0;netport=7;autoconnect=1", "", "closed; stored listener mode \"7\" is not 1, 2 or 3" + no.arg("0").mid(6), "000", Qt::WindowNoState, none, false},
        {"com port=0;autoconnect=yes", "", no.arg("0"), "100", Qt::WindowNoState, none, false},
        {"com port=0;autoconnect=1;TCP Port=" + busy, load + "10048 - ", failed + no.arg("0").mid(6), "100", Qt::WindowNoState, none, false}};
    // clang-format on
    for (const auto& row : table) {
        SCOPED_TRACE(row.store.toStdString());
        test::ServerRig rig;
        rig.set("com device 3", pty.a());
        for (const QString& pair : row.store.split(';'))
            rig.set(pair.section('=', 0, 0), pair.section('=', 1));
        MainWindow& w = rig.load(!row.box.isEmpty());
        ASSERT_EQ(rig.dialogs.shown.size(), row.box.isEmpty() ? 0u : 1u);
        for (const test::ShownBox& box : rig.dialogs.shown) {
            EXPECT_TRUE(box.text.startsWith(row.box) && box.flags == 64) << box.text.toStdString();
            EXPECT_TRUE(!row.store.endsWith(busy) || box.text.contains(busy)) << "names the port";
            EXPECT_EQ(box.title, row.box == com ? "Com Port error" : "Tandro ZV Server");
        }
        EXPECT_EQ(w.statusLine->text(), row.status);
        EXPECT_EQ(marks(w), row.marks);
        EXPECT_EQ(rig.comm->isOpen(), row.opens);
        EXPECT_EQ(w.comActions[2]->isChecked(), row.opens);
        EXPECT_TRUE(!row.opens || rig.get("com port") == "3") << "the handler stores the number";
        EXPECT_EQ(w.runMinimizedAction->isChecked(), row.state == Qt::WindowMinimized);
        EXPECT_EQ(w.autoListenAction->isChecked(), row.store.contains("autoconnect=1"));
        EXPECT_EQ(w.windowState() & (Qt::WindowMinimized | Qt::WindowMaximized), row.state);
        EXPECT_TRUE(row.place == none || w.pos() == row.place) << w.pos().x() << "," << w.pos().y();
        const bool labelled = row.store.contains("com port");  // a COM port was stored
        EXPECT_EQ(w.addressLabel->text(),
                  "Server local IP:" + (labelled ? " " + rig.relay->server(0).localIP() : ""));
        EXPECT_EQ(w.hostLabel->text(),
                  "Server local host name:" +
                      (labelled ? " " + rig.relay->server(0).localHostName() : ""));
        EXPECT_EQ(w.port1Action->text(), "TCP Port " + rig.get("TCP Port", "9876"));
        EXPECT_NE(rig.get("autoconnect"), "<none>");  // written before any failure
        EXPECT_EQ(rig.state(1), ListenerState::Closed);
    }
}

// Each start reads what the one before wrote, or values edited by hand; the
// items change nothing now.
TEST(Options, CheckItemsWriteAtOnceAndActAtTheNextStart) {
    test::ServerRig rig;
    rig.set("com port", "0");
    rig.set("TCP Port", QString::number(test::freePort()));
    // Stored by hand ("": as the items left them), minimised and listening at
    // this start, the fields after the items.
    const std::tuple<QString, bool, bool, QString> starts[] = {
        {"10", true, false, "01"}, {"", false, true, "10"}, {"2yes", false, false, "2yes"}};
    // Transparent mode is in force at once, stored, and said at the next start.
    rig.load().transparentAction->trigger();
    EXPECT_TRUE(rig.relay->transparent() && rig.get("transparent") == "1");
    EXPECT_TRUE(rig.load().transparentAction->isChecked() && rig.relay->transparent());
    EXPECT_TRUE(rig.status().contains("; transparent: client messages reach the device unchanged"))
        << rig.status().toStdString();
    for (const auto& [stored, minimised, listening, after] : starts) {
        if (!stored.isEmpty())
            rig.set("WindowState", stored.left(1)), rig.set("autoconnect", stored.mid(1));
        MainWindow& w = rig.load();
        if (after == "2yes") blockStore(rig);  // other text: nothing written, or a box says so
        w.runMinimizedAction->trigger();
        w.autoListenAction->trigger();
        EXPECT_EQ(switches(w), after == "2yes" ? "??" : after);  // other text is kept as such
        EXPECT_EQ(after == "2yes" ? after : rig.get("WindowState") + rig.get("autoconnect"), after);
        EXPECT_EQ(w.runMinimizedAction->isChecked(), after.startsWith('1'));
        EXPECT_EQ(w.autoListenAction->isChecked(), after.endsWith('1'));
        EXPECT_EQ(bool(w.windowState() & Qt::WindowMinimized), minimised);
        EXPECT_EQ(rig.state(1) == ListenerState::Listening, listening);
    }
}

TEST(Options, NewKeyIsUsedAtOnceAndSurvivesARestartWithItsBlanks) {
    test::ServerRig rig;
    ASSERT_TRUE(rig.link("1"));
    const QString stored = rig.get("Password"), key = "  new key \u00e9 ";
    // clang-format off
    rig.run({{.act = "click", .in = "changeKeyAction", .answer = "", .prompt = kKeyPrompt, .stored = "Password=" + stored},
             {.act = "join1"}, {.act = "click", .in = "changeKeyAction", .answer = key, .prompt = kKeyPrompt},
             // The connected client was not told: the next messages are under the new key.
             {.act = "click", .in = "testButton", .to1 = "Hello there client, this is server.\r"},
             {.act = "c1", .in = "hi", .dev = "hi", .rxNet = "hi"}});
    // clang-format on
    EXPECT_EQ(rig.relay->passPhrase(), key);
    EXPECT_EQ(test::opensslDecrypt(rig.get("Password").toLatin1(), "QJ7X KD Wander"), key.toUtf8());
    rig.shut();
    rig.load();
    EXPECT_EQ(rig.relay->passPhrase(), key);
}

// Each handler reports a failed write in its own words; none is fatal, the
// steps before the write stay done, the window closes once.
TEST(Options, UnwritableStoreIsReportedNotFatal) {
    test::ServerRig rig;
    rig.set("com port", "0");
    MainWindow& w = rig.load();
    w.show();
    blockStore(rig);
    rig.dialogs.expectBoxes(5);
    rig.dialogs.answer("other key");
    w.runMinimizedAction->trigger();
    w.autoListenAction->trigger();
    w.changeKeyAction->trigger();
    w.exit();
    EXPECT_TRUE(w.isVisible());  // Exit failed before the unload
    EXPECT_TRUE(w.close());      // closing unloads all the same after its own report
    EXPECT_FALSE(w.isVisible());
    w.show();
    EXPECT_TRUE(w.close());  // unloaded once: no second report
    QStringList heads;       // the texts without the error's description
    for (const test::ShownBox& box : rig.dialogs.shown)
        heads << box.title + ": " + box.text.section(" - ", 0, 0);
    const QString e = "Tandro ZV Server: VB6 runtime error (";
    EXPECT_EQ(heads, QStringList({e + "mnuMinimized_Click): 75", e + "mnuAutoconnect_Click): 75",
                                  "Tandro ZV Server: " + kKeyPrompt, e + "mnuChangeKey_Click): 75",
                                  e + "exit): 75", e + "unload): 75"}));
    EXPECT_EQ(rig.relay->passPhrase() + switches(w), "other key11");
}

TEST(Shutdown, ExitAndClosingSaveThePlaceTheNextStartOpensThere) {
    test::ServerRig rig;
    ASSERT_TRUE(rig.link("1"));
    rig.window->show();
    rig.window->move(45, 60);
    EXPECT_TRUE(rig.window->close());
    EXPECT_EQ(rig.get("FormTop") + " " + rig.get("FormLeft"), "900 675");  // twips
    rig.shut();
    MainWindow& again = rig.load();
    EXPECT_EQ(again.pos(), QPoint(45, 60));
    again.show();
    again.move(300, 200);
    rig.run({{.act = "join1"}});
    again.exit();
    EXPECT_FALSE(again.isVisible());
    EXPECT_EQ(rig.get("FormTop") + " " + rig.get("FormLeft"), "3000 4500");
    EXPECT_TRUE(rig.client(1).waitForClose());  // listener 1 closed on the way out
    rig.shut();
    EXPECT_EQ(rig.load().pos(), QPoint(300, 200));
    EXPECT_TRUE(rig.dialogs.shown.empty());
}
