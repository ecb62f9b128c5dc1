// The built client and server programs: the client against `openssl enc` and
// a plain TCP server in the test, its line cutting and terminal output on
// their own; then the server without a window (--headless) with a socat
// pseudo-terminal as the device, the client program and the real `openssl enc`
// as its clients.
#include <signal.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryFile>

#include "core/qt_cipher.h"
#include "support/e2e_process.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"

namespace zv::test {
namespace {

const QString kPass = "e2e pass phrase \u00e9\u20ac";
const QByteArray kMe = "tandro-zv-client: ";
const QString kPython = "/usr/bin/python3";  // Debian's, which python3-pymodbus serves

QStringList words(const char* text, const QString& last = {}) {
    QStringList out = QString(text).split(' ', Qt::SkipEmptyParts);
    return last.isNull() ? out : out << last;
}
// Runs the client to its end with `input` on standard input.
ClientProcess& run(ClientProcess& c, const QStringList& args, const QByteArray& input = {}) {
    EXPECT_TRUE(c.start(args, input, true) && c.waitForExit());
    return c;
}

// The client's own commands against openssl, its pass phrase from the
// environment or a file's first line; decrypting stops at a line that is no
// envelope.
TEST(Client, EncryptsAndDecryptsLikeOpenssl) {
    ClientProcess enc, env, file;
    const QByteArray text("gr\xC3\xBC\xC3\x9F \xE2\x82\xAC\r\n"),
        a = opensslEncrypt("first\r", kPass);
    run(enc, words("encrypt -pass", "pass:" + kPass), text);
    EXPECT_EQ(opensslDecrypt(enc.out.chopped(1), kPass), text);
    qputenv("ZV_CLIENT_TEST_PASS", kPass.toUtf8());
    run(env, words("decrypt -pass env:ZV_CLIENT_TEST_PASS"),
        a + "\r\n\n" + a + "\n" + a.chopped(1) + "\n" + a);
    EXPECT_EQ(env.out + env.err, "first\rfirst\r" + kMe + "line 4 is not an envelope\n");
    QTemporaryDir dir;
    QFile pass(dir.filePath("pass"));
    ASSERT_TRUE(pass.open(QIODevice::WriteOnly) &&
                pass.write(kPass.toUtf8() + "\nsecond line\n") > 0);
    pass.close();
    run(file, words("decrypt -pass", "file:" + pass.fileName()), a);
    EXPECT_EQ(file.out, "first\r");
}

// What connect refuses before it connects: --eol with bytes sent as read, and
// a --pty path that someone else's file holds (left as it was).
TEST(Client, RefusesBeforeConnecting) {
    QTemporaryFile taken;
    ASSERT_TRUE(taken.open() && taken.write("mine") == 4 && taken.flush());
    const struct {
        QStringList args;
        int status;
        QByteArray says;
    } rows[] = {
        {words("connect localhost 1 -pass pass:x --raw --eol cr"), 2, "--eol with --raw"},
        {words("connect localhost 1 -pass pass:x --pty", taken.fileName()), 1, "already exists"}};
    for (const auto& row : rows) {
        ClientProcess c;
        EXPECT_TRUE(run(c, row.args).process.exitCode() == row.status && c.err.contains(row.says))
            << c.err.toStdString();
    }
    EXPECT_TRUE(taken.seek(0) && taken.readAll() == "mine");
}

// Where two byte strings first differ, for failure messages.
std::string firstDifference(const QByteArray& got, const QByteArray& want) {
    qsizetype i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return "got " + std::to_string(got.size()) + " of " + std::to_string(want.size()) +
           " bytes; first difference at " + std::to_string(i);
}

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        server.headless = true;  // no display: status lines on standard error
        ASSERT_TRUE(server.start(kPass)) << server.error.toStdString();
        device = std::make_unique<RawTty>(server.pty.b());
        ASSERT_TRUE(device->ok()) << device->error().toStdString();
    }
    void TearDown() override {
        EXPECT_TRUE(ended || server.process.state() == QProcess::Running) << "the server ended";
    }
    bool ended = false;  // the test ended the server
    // Starts a client on `port` and waits until the server took it (its
    // listener stops listening while it serves a client).
    bool startClient(ClientProcess& c, quint16 port, const QStringList& extra = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZV_E2E_PASS", kPass);
        c.process.setProcessEnvironment(env);
        return c.start(QStringList{"connect", "127.0.0.1", QString::number(port), "-pass",
                                   "env:ZV_E2E_PASS"} +
                       extra) &&
               QTest::qWaitFor([&] { return !isListening(port); }, 10000);
    }
    // Reads the device until what came ends with `marker`; returns it all.
    QByteArray deviceUntil(const QByteArray& marker) {
        QByteArray got;
        (void)QTest::qWaitFor([&] { return (got += device->read(1 << 16, 0)).endsWith(marker); },
                              30000);
        return got;
    }
    ServerProcess server;
    std::unique_ptr<RawTty> device;
    ClientProcess client;
};

// Serial to network carries every byte value. Network to serial: the server
// drops line feeds and applies backspaces, and the client ends a message at a
// line feed, so that direction's bytes leave out 0x0A and 0x08.
TEST_F(EndToEnd, OneMebibyteEachWayArrivesWholeAndInOrder) {
    ClientProcess other;
    const QStringList raw{"--eol", "none"};
    ASSERT_TRUE(startClient(client, server.port1, raw) && startClient(other, server.port2, raw));
    const QByteArray up = mixedBytes(1 << 20), upText = latin1AsUtf8(up);
    for (qsizetype at = 0; at < up.size(); at += 4096)
        ASSERT_TRUE(device->writeAll(up.mid(at, 4096))) << at;
    for (ClientProcess* c : {&client, &other}) {
        EXPECT_TRUE(c->waitForOutput(upText.size(), 120000) && c->out == upText)
            << firstDifference(c->out, upText);
        c->out.clear();
    }
    // All lines at once: the client's socket backs up and TCP cuts envelopes
    // anywhere, also on 4-character boundaries; nothing may be lost or garbled.
    const QByteArray down = mixedBytes(1 << 20, QByteArray("\n\b", 2)),
                     downText = latin1AsUtf8(down);
    QByteArray lines;
    for (qsizetype at = 0; at < down.size(); at += 4096)
        lines += latin1AsUtf8(down.mid(at, 4096)) + '\n';
    ASSERT_TRUE(client.write(lines));
    const QByteArray atDevice = device->read(down.size(), 180000);
    EXPECT_TRUE(atDevice == down) << "device: " << firstDifference(atDevice, down);
    EXPECT_TRUE(other.waitForOutput(downText.size(), 120000) && other.out == downText)
        << firstDifference(other.out, downText);
    EXPECT_EQ(client.err + other.err, "");
}

// --raw: every byte value from the device reaches standard output as that
// one byte; what is typed goes out as read, with no line end waited for or
// added: bytes 0x80 to 0xFF reach the device unchanged, and the server's text
// mode drops the line feed and applies the backspace.
TEST_F(EndToEnd, RawClientIsByteExactBothWays) {
    ASSERT_TRUE(startClient(client, server.port1, {"--raw"}));
    QByteArray every(256, 0);
    for (int i = 0; i < 256; ++i) every[i] = char(i);
    ASSERT_TRUE(device->writeAll(every));
    EXPECT_TRUE(client.waitForOutput(256) && client.out == every)
        << firstDifference(client.out, every);
    ASSERT_TRUE(client.write(every.mid(128) + "A\nB\bC"));
    EXPECT_EQ(device->read(130, 20000), every.mid(128) + "AC");
    EXPECT_EQ(client.err, "");
}

// Transparent mode and `connect --pty`: programs that open a serial port reach
// the device end of the server's line through the client's link.
class Transparent : public EndToEnd {
  protected:
    void SetUp() override {
        server.transparent = true;
        EndToEnd::SetUp();
        ASSERT_TRUE(startClient(client, server.port1, {"--pty", link}));
    }
    // `command` in `dir`, standard input and output on `tty`.
    static void onTty(QProcess& p, const QString& dir, const QString& tty,
                      const QStringList& command) {
        p.setWorkingDirectory(dir);
        p.setStandardInputFile(tty);
        p.setStandardOutputFile(tty);
        p.start(command[0], command.mid(1));
    }
    QTemporaryDir dir;
    const QString link = dir.filePath("ttyZV");
};

// ZMODEM (lrzsz) carries 300 kB of every byte value whole each way between the
// device end and a program on the link, which each program opens anew; SIGTERM
// ends the client and its link.
TEST_F(Transparent, ZmodemEachWayThroughThePtyLink) {
    const QByteArray data = mixedBytes(300000);
    for (const QString way : {"down", "up"}) {
        const QString from = dir.filePath(way + "-sent"), to = dir.filePath(way + "-received");
        QFile file(from + "/data.bin"), got(to + "/data.bin");
        ASSERT_TRUE(QDir().mkpath(from) && QDir().mkpath(to) && file.open(QIODevice::WriteOnly) &&
                    file.write(data) == data.size() && file.flush());
        QProcess sz, rz;
        onTty(sz, from, way == "down" ? server.pty.b() : link, {"sz", "-q", "data.bin"});
        onTty(rz, to, way == "down" ? link : server.pty.b(), {"rz", "-q"});
        // sz ends once rz has the whole file. rz may then wait 30 s for sz's
        // last word, "OO", which sz's exit flushes from a pseudo-terminal
        // unless its reader was quick: it is not waited for.
        EXPECT_TRUE(sz.waitForFinished(60000) && sz.exitCode() == 0) << qPrintable(way);
        rz.kill(), rz.waitForFinished(5000);
        const QByteArray received = got.open(QIODevice::ReadOnly) ? got.readAll() : "";
        EXPECT_TRUE(received == data) << qPrintable(way) << firstDifference(received, data);
        // rz's last header, sent again, may still be on its way: the next
        // transfer must not take it for its own.
        (void)device->read(1 << 20, 1000), RawTty(link).read(1 << 20, 1000);
    }
    ASSERT_EQ(::kill(pid_t(client.process.processId()), SIGTERM), 0);
    EXPECT_TRUE(client.waitForExit() && client.process.exitCode() == 0) << client.err.toStdString();
    EXPECT_FALSE(QFileInfo(link).isSymLink());
}

// Modbus RTU (pymodbus) through the link: register values made of the bytes
// 0x0A, 0x08 and 0x0D come back exact, for a program that opens it again.
TEST_F(Transparent, ModbusRegistersThroughThePtyLink) {
    QProcess unit;  // the device
    unit.start(kPython, {ZV_TESTS_DIR "/modbus_device.py", server.pty.b()});
    QByteArray said;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (said += unit.readAll()) == "ready\n"; }, 30000))
        << said.toStdString() << unit.readAllStandardError().toStdString();
    for (int run = 0; run < 2; ++run) {
        QProcess poller;
        poller.start(kPython, {ZV_TESTS_DIR "/modbus_rounds.py", link, "20"});
        EXPECT_TRUE(poller.waitForFinished(50000) && poller.readAll() == "ok 20\n")
            << poller.readAllStandardError().toStdString();
    }
    unit.kill(), unit.waitForFinished(5000);
}

// Every way between the device, the client program and openssl, after
// garbage and many connects and disconnects on one listener.
TEST_F(EndToEnd, MessagesCrossEveryWayAfterGarbageAndManyConnections) {
    ASSERT_TRUE(startClient(client, server.port1));
    {
        OpensslPeer garbage{kPass};
        ASSERT_TRUE(garbage.connect(server.port2));
        QByteArray junk = mixedBytes(64 * 1024) + "this is not Base64 at all!\r\n";
        // A header, then more than an envelope may hold (refused), then a broken one.
        junk += "U2FsdGVkX1" + QByteArray(1024 * 1024 + 4096, 'A') + "U2FsdGVkX1\xff\xfe==\n";
        ASSERT_EQ(garbage.socket.write(junk), junk.size());
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return device->read(1 << 16, 0), garbage.socket.bytesToWrite() == 0; }, 30000));
    }
    for (int done = 0; done < 200;) {  // FIN and RST as often
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, server.port2);
        if (!s.waitForConnected(2000))
            QTest::qWait(1);  // the listener is re-arming
        else if (done++ % 2)
            s.abort();
        else
            s.disconnectFromHost();
    }
    OpensslPeer peer{kPass};
    ASSERT_TRUE(peer.connect(server.port2, 30000));
    ASSERT_TRUE(peer.send("marker one\r"));  // what the garbage decrypted to is through
    EXPECT_TRUE(deviceUntil("marker one\r").endsWith("marker one\r"));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return client.waitForOutput(0, 0), client.out.endsWith("marker one\r"); }, 30000));
    client.out.clear();
    // Device to both clients: serial bytes are Latin-1 characters.
    const QByteArray fromDevice("AT+\xE9\x00\x7F\xFF ok\r", 11), text = latin1AsUtf8(fromDevice);
    ASSERT_TRUE(device->writeAll(fromDevice));
    EXPECT_TRUE(client.waitForOutput(text.size()) && client.out == text)
        << client.out.toStdString();
    EXPECT_EQ(peer.receive(text.size()), text);
    // Client 1 to the device (as Latin-1) and on to the peer; CR is the line end.
    ASSERT_TRUE(client.write("caf\xC3\xA9 \x01\n"));
    EXPECT_EQ(device->read(7), "caf\xE9 \x01\r");
    EXPECT_EQ(peer.receive(8), "caf\xC3\xA9 \x01\r");
    // End of input: the client leaves cleanly and the listener takes the next one.
    client.closeInput();
    EXPECT_TRUE(client.waitForExit() && client.process.exitCode() == 0) << client.err.toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return isListening(server.port1); }, 10000));
    // SIGTERM ends the server cleanly; every status was one line "<UTC time> <caption>".
    ASSERT_EQ(::kill(pid_t(server.process.processId()), SIGTERM), 0);
    ASSERT_TRUE(server.process.waitForFinished(20000));
    EXPECT_EQ(server.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.process.exitCode(), 0);
    const QString err = server.process.readAllStandardError();
    for (const QString& caption : QStringList{
             "closed",
             QStringLiteral("listening on port %1 and %2").arg(server.port1).arg(server.port2),
             "client \\d+ connected on port 1", "port 2 received data",
             "com data sent to winsock port 2"})
        EXPECT_TRUE(err.contains(
            QRegularExpression("(^|\n)\\d{4}-\\d\\d-\\d\\dT[\\d:]{8}Z " + caption + "\n")))
            << qPrintable(caption + " in " + err);
    QFile ini(server.config.path() + "/Tandro ZV Server/Tandro ZV Server.ini");
    EXPECT_TRUE(ini.open(QIODevice::ReadOnly) && !ini.readAll().toLower().contains("formtop"));
    ended = true;
}

// A window without a display and without --headless: one line and status 1,
// not an abort. With one, SIGTERM while start-up's box waits for OK ends it.
TEST(Headless, WithoutADisplayTheWindowEndsWithOneLineAndStatus1) {
    QTemporaryDir config;
    QProcess window;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env.remove(name);
    env.insert("XDG_CONFIG_HOME", config.path());
    window.setProcessEnvironment(env);
    window.start(builtProgram("tandro-zv-server"), {});
    ASSERT_TRUE(window.waitForFinished(20000));
    EXPECT_EQ(window.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(window.exitCode(), 1);
    EXPECT_EQ(window.readAllStandardError(),
              "cannot open a display; use --headless to run without a window\n");

    env.insert("QT_QPA_PLATFORM", "offscreen");    // no com port stored: a box at start-up
    env.insert("XDG_RUNTIME_DIR", config.path());  // its instance lock, not the machine's
    window.setProcessEnvironment(env);
    window.start(builtProgram("tandro-zv-server"), {});
    ASSERT_TRUE(window.waitForStarted(20000));
    QTest::qWait(2000);  // the box is up (earlier, the signal ends start-up just the same)
    ASSERT_EQ(::kill(pid_t(window.processId()), SIGTERM), 0);
    EXPECT_TRUE(window.waitForFinished(20000));
    EXPECT_EQ(window.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(window.exitCode(), 0);
}

}  // namespace
}  // namespace zv::test
