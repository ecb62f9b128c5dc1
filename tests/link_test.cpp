// The link on real parts: a socat pseudo-terminal as COM3, listeners and
// clients on 127.0.0.1, the real `openssl enc`; fakes only for what a real
// socket cannot be made to do. Most of it as tables of steps that each go a
// whole path (see test::Step).
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>

#include "app/data_pane.h"
#include "app/lamp.h"
#include "core/qt_cipher.h"
#include "support/e2e_process.h"
#include "support/fake_sockets.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"

using namespace zv;
using test::opensslEncrypt;

namespace {
const QString kPass = "ResetNow";  // the key of an empty store
const QByteArray kGreeting = "Hello there client, this is server.\r";
const QString kNoClient = "VB6 runtime error (txtRxData_keypress): 40006 - ";

int option(qintptr fd, int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    return ::getsockopt(int(fd), level, name, &value, &size) ? -1 : value;
}
QList<int> checkedPorts(const MainWindow& w) {
    QList<int> out;
    for (int n = 1; n <= 16; ++n)
        if (w.comActions[n - 1]->isChecked()) out << n;
    return out;
}
// Baud rate and character shape of a tty, read through a descriptor of its own.
std::pair<speed_t, tcflag_t> lineOf(int fd) {
    termios t{};
    return ::tcgetattr(fd, &t)
               ? std::pair(speed_t(0), tcflag_t(0))
               : std::pair(::cfgetospeed(&t), t.c_cflag & (CSIZE | PARENB | CSTOPB));
}
}  // namespace

TEST(Link, BothWaysWithTwoClients) {
    test::ServerRig rig;
    ASSERT_TRUE(rig.link("3"));
    const QByteArray latin("Hello, device\r\n\x80\xe9t\xe9\xff"), utf8 = test::latin1AsUtf8(latin);
    const QString sent = "com data sent to winsock port 2", got1 = "port 1 received data";
    // clang-format off
    rig.run({
        {.act = "join1", .status = "client # connected on port 1", .lamps = "GY"},
        {.act = "refused1"},  // one client per listener
        {.act = "join2", .status = "client # connected to port 2", .lamps = "GG"},
        // An event per waiting byte; each byte goes as the UTF-8 of its Latin-1
        // character, to each client in an envelope of its own, port 1 first.
        {.act = "dev", .in = "\x01", .to1 = "\x01", .to2 = "\x01", .status = sent, .rxCom = "\x01"},
        {.act = "dev", .in = latin, .to1 = utf8, .to2 = utf8, .status = sent, .rxCom = QString::fromLatin1(latin)},
        // A client's message: shown, line feeds dropped and backspaces applied
        // on the way to the device, passed on afresh.
        {.act = "c1", .in = "A\r\nB", .dev = "A\rB", .to2 = "A\rB", .status = got1, .rxNet = "A\r\nB"},
        {.act = "c1", .in = "A\nB", .dev = "AB", .to2 = "AB", .rxNet = "AB"},
        {.act = "c1", .in = "AB\bC", .dev = "AC", .to2 = "AC", .rxNet = "AC"},
        {.act = "c1", .in = "x\ry", .dev = "x\ry", .to2 = "x\ry", .rxNet = "x\r\ny"},
        {.act = "c2", .in = "XY\bZ", .dev = "XZ", .to1 = "XZ", .status = "port 2 received data", .rxNet = "XZ"},
        {.act = "c2", .in = "caf\xc3\xa9\r", .dev = "caf\xe9\r", .to1 = "caf\xc3\xa9\r", .rxNet = "caf\u00e9\r\n"},
        // Typed keys, control characters too: Rx from Net to both clients, Rx
        // from Com to the device alone; no pane edited, no status.
        {.act = "key1", .in = "ab\r", .to1 = "ab\r", .to2 = "ab\r", .status = "port 2 received data"},
        {.act = "key2", .in = "\rz\b", .dev = "\rz\b"},
        {.act = "click", .in = "testButton", .to1 = kGreeting, .status = "data sent to port 1"},
        {.act = "key1", .in = ".", .to1 = ".", .to2 = "."}});  // client 2 got no greeting
    // clang-format on
    rig.window->show();  // a pane is drawn once it is on screen
    EXPECT_TRUE(test::settles([&] { return rig.window->netPane->toPlainText().left(5); },
                              "A\nBAB"));  // shown
    QTest::keyClick(rig.window->comPane, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(rig.device->read(1), "\x03");
    // Accepted sockets: no Nagle delay between messages, keepalive for clients
    // that vanish without a word.
    const qintptr fd = rig.relay->clientId(0);
    EXPECT_NE(option(fd, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_NE(option(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
    const int idle = option(fd, IPPROTO_TCP, TCP_KEEPIDLE),
              interval = option(fd, IPPROTO_TCP, TCP_KEEPINTVL);
    EXPECT_EQ(QList<int>({idle, interval, option(fd, IPPROTO_TCP, TCP_KEEPCNT)}),
              QList<int>({60, 10, 3}));

    // Another key, or no envelope at all: meaningless text, handled like any
    // other (the device gets what the other client is passed).
    for (const QByteArray& text :
         {opensslEncrypt("a secret message", "NotTheKey"), QByteArray("hello, not an envelope")}) {
        ASSERT_TRUE(rig.client(1).send(text));
        const QByteArray passed = test::opensslOpen(test::readEnvelopes(rig.client(2), 1), kPass);
        const QByteArray line = QString::fromUtf8(passed).toLatin1();  // U+FFFD: '?'
        EXPECT_TRUE(!line.isEmpty() && passed != "a secret message");
        EXPECT_EQ(rig.device->read(line.size()), line);
        EXPECT_TRUE(test::settles([&] { return rig.status(); }, got1));
    }
    // A UTF-8 character cut in two by TCP is shown and written whole.
    const QByteArray rest = "z and the rest of it\r",
                     cut = opensslEncrypt("x\xc3\xa9" + rest, kPass);
    // clang-format off
    rig.run({{.act = "raw1", .in = cut.left(24)},  // the header, "x" and half of the two-byte "\u00e9"
             {.act = "raw1", .in = cut.mid(24), .dev = "x\xe9" + rest, .to2 = "x\xc3\xa9" + rest, .rxNet = "x\u00e9" + rest + "\n"},
             {.act = "leave1", .status = "listening on port 1", .lamps = "YG"}});
    // clang-format on
    // clang-format off
    rig.run({
        {.act = "key1", .in = "q", .box = kNoClient},  // port 1 fails first: nothing to port 2
        {.act = "click", .in = "testButton", .to2 = kGreeting, .status = "data sent to port 2"},
        {.act = "join1", .status = "client # connected on port 1", .lamps = "GG"},
        {.act = "reset2", .status = "listening on port 2", .lamps = "GY"},
        {.act = "key1", .in = "k", .to1 = "k", .box = kNoClient},  // to port 1, then port 2 fails
        {.act = "c1", .in = "alone", .dev = "alone", .status = got1, .rxNet = "alone"},
        {.act = "join2", .lamps = "GG"},
        {.act = "click", .in = "closeButton", .status = "both ports closed", .lamps = "--"},
        {.act = "refused1"}, {.act = "refused2"},
        {.act = "dev", .in = "!", .status = "com send failed, client not connected"},  // the port stays open
        {.act = "comoff"},  // a message is shown, not written: the trap reports
        {.act = "click", .in = "listenButton", .status = "listening on port {p1} and {p2}"},
        {.act = "join1"},
        {.act = "c1", .in = "lost", .status = "port 1 data arrival error", .rxNet = "lost"},
        {.act = "key2", .in = "ok", .box = "VB6 runtime error (txtTxData_keypress): 8012 - "}});
    // clang-format on
    EXPECT_TRUE(rig.client(2).waitForClose());  // Close dropped both clients
}

TEST(Link, TestMessageGoesToListenerOnesClientElseListenerTwos) {
    // clang-format off
    const std::pair<const char*, std::vector<test::Step>> table[] = {
        {"3", {{.act = "join2"}, {.act = "click", .in = "testButton", .to2 = kGreeting, .status = "data sent to port 2"}}},
        {"2", {{.act = "join2"}, {.act = "click", .in = "testButton", .to2 = kGreeting, .status = "data sent to port 1"},  // listener 1 serves it
               {.act = "c2", .in = "m", .dev = "m", .status = "port 1 received data", .rxNet = "m"},
               {.act = "leave2", .status = "listening on port 1", .lamps = "Y-"}}},
        {"3", {{.act = "click", .in = "testButton", .status = "send failed, client not connected"}}}};
    // clang-format on
    for (const auto& [mode, steps] : table) {
        test::ServerRig rig;
        ASSERT_TRUE(rig.link(mode));
        rig.run(steps);
    }
}

using test::Step;

TEST(Listening, InEachModeAtStartUpAndByTheButton) {
    // clang-format off
    const std::tuple<const char*, QString, const char*, const char*, std::vector<Step>> table[] = {
        {"1", "listening on port {p1}", "100", "Y-", {{.act = "join1", .status = "client # connected on port 1", .lamps = "G-"}, {.act = "refused2"}}},
        // Mode 2: listener 1 listens on the second port number and says "port 1".
        {"2", "listening on port {p2}", "010", "Y-", {{.act = "join2", .status = "client # connected on port 1", .lamps = "G-"}, {.act = "refused1"}}},
        {"3", "listening on port {p1} and {p2}", "111", "YY", {{.act = "join1", .lamps = "GY"}, {.act = "join2", .lamps = "GG"}}},
        {"7", "closed; stored listener mode \"7\" is not 1, 2 or 3", "000", "--", {{.act = "refused1"}, {.act = "refused2"}}}};  // Listen only moves the focus
    // clang-format on
    for (const auto& [mode, status, marks, lamps, then] : table)
        for (const char* autoconnect : {"1", "0"}) {
            SCOPED_TRACE(testing::Message() << mode << " " << autoconnect);
            test::ServerRig rig;
            ASSERT_TRUE(rig.link(mode, autoconnect));
            MainWindow& w = *rig.window;
            EXPECT_EQ(w.autoListenAction->isChecked(), *autoconnect == '1');
            w.show();
            w.listenButton->setFocus();
            // clang-format off
            rig.run({{.act = *autoconnect == '1' ? "" : "click", .in = "listenButton", .status = status, .lamps = lamps, .marks = marks}});
            // clang-format on
            EXPECT_EQ(w.focusWidget(), *autoconnect == '1' ? w.listenButton : w.closeButton);
            rig.run(then);
            w.closeListeners();
            EXPECT_EQ(w.focusWidget(), w.listenButton);
        }
}

TEST(Listening, ModeChangesNeedTheirListenersClosed) {
    test::ServerRig rig;
    ASSERT_TRUE(rig.link("1"));
    const QString no = "Can't set port unless connection is closed.", p2 = QString::number(rig.p2);
    // clang-format off
    rig.run({{.act = "click", .in = "port1Action", .box = no, .lamps = "Y-", .marks = "100"},
             {.act = "click", .in = "port2Action", .box = no, .marks = "100"},
             {.act = "click", .in = "bothPortsAction", .box = no, .marks = "100", .stored = "netport=1"},
             {.act = "click", .in = "closeButton", .status = "both ports closed", .lamps = "--"}});
    rig.server2->listen();  // listener 2 listening stops Port 1 and Both, not Port 2
    rig.run({{.act = "click", .in = "port1Action", .box = no, .marks = "100"},
             {.act = "click", .in = "bothPortsAction", .box = no, .marks = "100"},
             {.act = "click", .in = "port2Action", .marks = "010", .stored = "netport=2;TCP Port 2={p2}"}});
    EXPECT_EQ(rig.window->listenerPorts[0] + "|" + rig.window->listenerPorts[1], p2 + "|");
    rig.server2->close();
    rig.set("TCP Port 2", "5000");  // a mode action neither listens nor reports
    rig.run({{.act = "click", .in = "bothPortsAction", .status = "both ports closed", .lamps = "--", .marks = "111", .stored = "netport=3"}});
    // clang-format on
    EXPECT_EQ(rig.window->listenerPorts[0] + "|" + rig.window->listenerPorts[1],
              QString::number(rig.p1) + "|5000");
    EXPECT_EQ(rig.state(1), ListenerState::Closed);
}

TEST(Listening, DefinePortAcceptsOnlyTheRangeAndWaitsForTheNextModeAction) {
    test::ServerRig rig;
    ASSERT_TRUE(rig.link("1", "0"));
    const QString range = "Please enter a TCP port value between 1024 and 65536.",
                  ask = "Enter new port for TCP Port ";
    const QString fresh = QString::number(test::freePort()),
                  error = "VB6 runtime error (mnuDefineTCP";
    // clang-format off
    rig.run({{.act = "click", .in = "definePort1Action", .answer = "1024", .prompt = ask + "{p1}", .box = range, .stored = "TCP Port={p1}"},
             {.act = "click", .in = "definePort1Action", .answer = "65536", .prompt = ask + "{p1}", .box = range, .stored = "TCP Port={p1}"},
             {.act = "click", .in = "definePort1Action", .answer = "1025", .prompt = ask + "{p1}", .stored = "TCP Port=1025"},
             {.act = "click", .in = "definePort1Action", .answer = "65535", .prompt = ask + "1025", .stored = "TCP Port=65535"},
             {.act = "click", .in = "definePort1Action", .answer = "2000.5", .prompt = ask + "65535", .stored = "TCP Port=2000.5"},
             {.act = "click", .in = "definePort1Action", .answer = "", .prompt = ask + "2000.5", .stored = "TCP Port=2000.5"},
             {.act = "click", .in = "definePort1Action", .answer = "port", .prompt = ask + "2000.5", .box = error + "1_Click): 13 - "},
             {.act = "click", .in = "definePort2Action", .answer = "port", .prompt = ask + "{p2}", .box = error + "2_Click): 13 - "},
             {.act = "click", .in = "definePort2Action", .answer = "4000", .prompt = ask + "{p2}", .stored = "TCP Port 2=4000"},
             // A new number waits for the next mode action: the status names
             // it, the listener still uses the old one.
             {.act = "click", .in = "definePort1Action", .answer = fresh, .prompt = ask + "2000.5", .stored = "TCP Port=" + fresh},
             {.act = "click", .in = "listenButton", .status = "listening on port " + fresh},
             {.act = "join1"}, {.act = "click", .in = "closeButton"}, {.act = "click", .in = "port1Action"},
             {.act = "click", .in = "definePort2Action", .answer = "", .prompt = ask + "4000"},
             {.act = "click", .in = "listenButton"}});
    // clang-format on
    rig.p1 = quint16(fresh.toUInt());
    rig.run({{.act = "join1", .status = "client # connected on port 1"}});
}

TEST(Listening, ListenFailureShowsListenErrorAndStepsBeforeStayDone) {
    test::ServerRig rig;
    ASSERT_TRUE(rig.link("3", "0"));
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::Any, rig.p2));
    rig.window->show();
    rig.window->listenButton->setFocus();
    rig.run({{.act = "click", .in = "listenButton", .status = "listen error", .lamps = "--"}});
    EXPECT_EQ(rig.window->focusWidget(), rig.window->listenButton);
    EXPECT_EQ(rig.state(1), ListenerState::Listening);
}

// Fakes show the steps between (the status as each call came) and the states
// and failures a real socket cannot be driven into.
TEST(Lifecycle, EachStepAndFailureOfBothListenersWithFakes) {
    test::ServerRig rig;
    auto plug1 = std::make_unique<test::FakeServer>(), plug2 = std::make_unique<test::FakeServer>();
    test::FakeServer &fake1 = *plug1, &fake2 = *plug2;
    rig.plug1 = std::move(plug1);
    rig.plug2 = std::move(plug2);
    rig.set("netport", "3");
    rig.set("autoconnect", "1");
    MainWindow& w = rig.load(1);  // no COM port
    QStringList atListen;         // "port N closed" stands while Listen runs
    fake1.onListen = fake2.onListen = [&] { atListen << rig.status(); };
    const QString l2 = "listening on port 2";
    // clang-format off
    rig.run({{.act = "request1", .in = "640", .status = "client 640 connected on port 1", .lamps = "GY"},
             {.act = "request2", .in = "640", .status = "client 640 connected to port 2", .lamps = "GG"},
             {.act = "gone1", .status = "listening on port 1", .lamps = "YG"},
             {.act = "gone2", .status = l2, .lamps = "YY"},
             {.act = "error1", .status = l2, .lamps = "YY"},  // a client that left: nothing changes
             {.act = "request1", .in = "641", .lamps = "GY"},
             {.act = "error1", .status = "port 1 winsock error", .lamps = "RY"},
             {.act = "request2", .in = "642", .lamps = "RG"},
             {.act = "error2", .status = "port 2 winsock error", .lamps = "RR"}});
    EXPECT_EQ(atListen, QStringList({"port 1 closed", "port 2 closed"}));
    EXPECT_EQ(fake1.calls.mid(0, 6), QStringList({"Close", "Listen", "Close", "Accept 640", "Close", "Listen"}));
    // Failing steps show the trap's text; steps before stay done.
    rig.run({{.act = "request1", .in = "7", .lamps = "GR"}});
    fake1.failListen = fake2.failAccept = fake2.failSend = true;
    rig.run({{.act = "gone1", .status = "port 1 close error"},
             {.act = "request2", .in = "8", .status = "port 2 connection request error"}});
    fake2.failAccept = false;
    rig.run({{.act = "request2", .in = "9", .lamps = "GG"},
             {.act = "click", .in = "testButton", .status = "send error"}});  // the send fails
    fake1.failClose = true;
    rig.run({{.act = "click", .in = "closeButton", .status = "close error"}});
    // clang-format on
    // A number in the error record shows the winsock box; a trapped handler
    // clears the record when it ends.
    fake1.failClose = fake1.failListen = false;
    rig.run({{.act = "request1", .in = "10"}});
    w.errorRecord() = {5, "Invalid procedure call or argument"};
    rig.dialogs.clear();
    rig.dialogs.expectBoxes(1);
    emit fake1.last->failed(10053, "Connection is aborted");
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_EQ(rig.dialogs.shown[0].text,
              "VB6 error (winsock): 5 - Invalid procedure call or argument");
    EXPECT_EQ(rig.dialogs.shown[0].flags, 0);  // OK only, no icon
    EXPECT_EQ(rig.dialogs.shown[0].title, "Tandro ZV Server");
    rig.run({{.act = "click", .in = "closeButton"}});
    EXPECT_EQ(w.errorRecord().number, 0);
}

TEST(ComPort, ChoosingAPortOpensItAt9600N81StoresItAndMovesTheMark) {
    test::PtyPair com3, com4;
    ASSERT_TRUE(com3.ok() && com4.ok());
    test::ServerRig rig;
    for (int n = 1; n <= 15; ++n)  // COM16 keeps its usual device
        rig.set(QStringLiteral("com device %1").arg(n),
                rig.dir.filePath(QStringLiteral("absent%1").arg(n)));
    const QString comma = rig.dir.filePath("usb-serial,if00");  // typed by hand, unquoted
    ASSERT_TRUE(QFile::link(com3.a(), comma));
    rig.setByHand("com device 3", QFile::encodeName(comma));
    rig.set("com device 4", com4.a());
    MainWindow& w = rig.open();
    // Opened before the control takes the device, to read its line settings.
    const int probe = ::open(QFile::encodeName(com3.a()), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    w.chooseComPort(3);
    EXPECT_EQ(lineOf(probe), std::pair(speed_t(B9600), tcflag_t(CS8)));
    EXPECT_EQ(checkedPorts(w), QList<int>{3});
    EXPECT_EQ(rig.get("com port") + QString::number(w.comPort), "33");
    test::RawTty far(com3.b());  // the device really is COM3: a byte written far away arrives
    ASSERT_TRUE(far.writeAll("x"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return rig.comm->available() == 1; }, 10000));
    rig.comm->setSettings(LineSettings::parse("19200,n,8,2"));  // any letter case, in force at once
    EXPECT_EQ(lineOf(probe), std::pair(speed_t(B19200), tcflag_t(CS8 | CSTOPB)));
    EXPECT_EQ(::close(probe), 0);

    w.chooseComPort(4);
    EXPECT_EQ(checkedPorts(w), QList<int>{4});
    EXPECT_EQ(rig.comm->comPort(), 4);
    w.chooseComPort(4);  // the checked item closes and reopens the same port
    EXPECT_TRUE(rig.comm->isOpen());
    // A pseudo-terminal keeps the baud rate and stop bits, never parity or 7 bits.
    rig.setByHand("com settings", "57600,N,8,2");
    const int again = ::open(QFile::encodeName(com3.a()), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    w.comActions[2]->trigger();  // a menu click runs the same routine
    EXPECT_EQ(lineOf(again), std::pair(speed_t(B57600), tcflag_t(CS8 | CSTOPB)));
    EXPECT_EQ(::close(again), 0);
    EXPECT_EQ(checkedPorts(w), QList<int>{3});
    EXPECT_TRUE(rig.dialogs.shown.empty());
    // A missing device is waited for: the old port is closed, the mark moves,
    // the choice is stored, and the status says which device is awaited.
    for (int n : {1, 2, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) {
        const QString absent = rig.dir.filePath(QStringLiteral("absent%1").arg(n));
        // clang-format off
        rig.run({{.act = "click", .in = "com" + QByteArray::number(n) + "Action", .status = QStringLiteral("com port %1 waiting for ").arg(n) + absent, .stored = "com port=" + QString::number(n)}});
        // clang-format on
        EXPECT_TRUE(rig.comm->isOpen() && rig.comm->comPort() == n);
        EXPECT_EQ(checkedPorts(w), QList<int>{n});
    }
    SerialLine other([&](int) { return comma; });  // another program holds COM3's device
    other.open(3);
    rig.run({{.act = "click", .in = "com3Action", .box = "VB6 runtime error (com3): 8005 - "}});
}

// The port is closed and reported once (Qt repeats the read error in a tight
// loop) and its device waited for; a message meanwhile is shown and waits;
// the device back (under another name here) gets it.
TEST(VanishedDevice, IsReportedOnceAndReopenedWhenItComesBack) {
    test::ServerRig rig;
    ASSERT_TRUE(rig.link("1"));
    QSignalSpy failed(rig.comm, &SerialLine::failed);
    rig.run({{.act = "join1"}});
    rig.pty->vanish();
    ASSERT_TRUE(QTest::qWaitFor([&] { return failed.count() > 0; }, 10000));
    QTest::qWait(300);  // room for a repeat
    EXPECT_EQ(failed.count(), 1);
    // A hung-up tty reads end of file (no errno of its own) and fails writes with EIO.
    EXPECT_EQ(failed.at(0).at(1).toString(),
              "COM3 (" + rig.pty->a() + ") failed and was closed: Input/output error");
    EXPECT_TRUE(rig.comm->isOpen());
    // clang-format off
    rig.run({{.act = "c1", .in = "into the void\r", .status = "port 1 received data", .rxNet = "into the void\r\n"}});
    rig.pty = std::make_unique<test::PtyPair>();
    rig.set("com device 3", rig.pty->a());
    rig.device = std::make_unique<test::RawTty>(rig.pty->b());
    rig.run({{.act = "", .dev = "into the void\r", .status = "com port 3 reopened: " + rig.pty->a()},
             {.act = "dev", .in = "after\r", .to1 = "after\r", .rxCom = "after\r\n"},
             {.act = "c1", .in = "hello again\r", .dev = "hello again\r", .rxNet = "hello again\r\n"}});
    // clang-format on
    EXPECT_TRUE(rig.window->comActions[2]->isChecked());
    EXPECT_EQ(failed.count(), 1);
}
