// The built client and server programs: the client against `openssl enc` and
// a plain TCP server in the test, its line cutting and terminal output on
// their own; then the server with a socat pseudo-terminal as the device, the
// client program and the real `openssl enc` as its clients.
#include <unistd.h>

#include <QRandomGenerator>

#include "app/qt_cipher.h"
#include "support/e2e_process.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"

namespace zv::test {
namespace {

const QString kPass = "e2e pass phrase \u00e9\u20ac";
const QByteArray kMe = "tandro-zv-client: ";

QStringList words(const char* text, const QString& last = {}) {
    QStringList out = QString(text).split(' ', Qt::SkipEmptyParts);
    return last.isNull() ? out : out << last;
}
// Runs the client to its end with `input` on standard input.
ClientProcess& run(ClientProcess& c, const QStringList& args, const QByteArray& input = {}) {
    EXPECT_TRUE(c.start(args, input, true) && c.waitForExit());
    return c;
}

TEST(Client, EncryptsDecryptsAndTakesItsPassPhraseAsTextVariableOrFile) {
    for (const QByteArray& text :
         {QByteArray(), QByteArray("gr\xC3\xBC\xC3\x9F \xE2\x82\xAC\r\n"), QByteArray(5000, 'x')}) {
        ClientProcess enc;
        run(enc, words("encrypt -pass", "pass:" + kPass), text);
        EXPECT_TRUE(enc.process.exitCode() == 0 && enc.out.endsWith('\n')) << enc.err.toStdString();
        EXPECT_EQ(opensslDecrypt(enc.out.chopped(1), kPass), text);
    }
    // openssl envelopes, one per line, CR LF and blank lines between; decrypting
    // stops at the first line that is no envelope. The pass phrase from text, the
    // environment or a file's first line.
    QTemporaryDir dir;
    QFile file(dir.filePath("pass"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) &&
                file.write(kPass.toUtf8() + "\nsecond line\n") > 0);
    file.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZV_CLIENT_TEST_PASS", kPass);
    env.remove("ZV_CLIENT_TEST_UNSET");
    const QByteArray a = opensslEncrypt("first \xC3\xA9\r", kPass),
                     c = opensslEncrypt("third", kPass);
    const QByteArray lines = a + "\r\n\n" + opensslEncrypt("", kPass) + "\n  " + c;
    // clang-format off
    const std::tuple<QStringList, QByteArray, int, QByteArray, QByteArray> cases[] = {
        {words("decrypt -pass", "pass:" + kPass), lines, 0, "first \xC3\xA9\rthird", ""},
        {words("decrypt -pass env:ZV_CLIENT_TEST_PASS"), lines, 0, "first \xC3\xA9\rthird", ""},
        {words("decrypt -pass", "file:" + file.fileName()), lines, 0, "first \xC3\xA9\rthird", ""},
        {words("decrypt -pass", "pass:" + kPass), a + "\nU2FsdGVkX1!!!!!!!!!!!!!!\n" + c, 1, "first \xC3\xA9\r", kMe + "line 2 is not an envelope\n"},
        {words("decrypt -pass", "pass:" + kPass), a + "\n" + c.chopped(1) + "\n" + c, 1, "first \xC3\xA9\r", kMe + "line 2 is not an envelope\n"},
        {words("decrypt -pass env:ZV_CLIENT_TEST_UNSET"), a, 1, "", kMe + "environment variable ZV_CLIENT_TEST_UNSET is not set\n"},
        {words("decrypt -pass stdin"), a, 2, "", kMe + "-pass takes pass:TEXT, env:VARIABLE or file:PATH (try --help)\n"},
        {words("decrypt"), a, 1, "", kMe + "no pass phrase given (-pass pass:, env: or file:) and no terminal to ask on\n"},
        {words("connect localhost 70000"), "", 2, "", ""}, {words("encrypt --eol lf"), "", 2, "", ""},
        {words("--version"), "", 0, "tandro-zv-client " ZV_VERSION "\n", ""}};
    // clang-format on
    for (const auto& [args, input, status, out, err] : cases) {
        ClientProcess p;
        p.process.setProcessEnvironment(env);
        p.process.setChildProcessModifier([] { (void)::setsid(); });  // no terminal to ask on
        run(p, args, input);
        EXPECT_EQ(std::tuple(p.process.exitCode(), p.out), std::tuple(status, out))
            << args.join(' ').toStdString();
        EXPECT_TRUE(err.isEmpty() ? p.err.count('\n') == (status ? 1 : 0) : p.err == err)
            << p.err.toStdString();
    }
}

// A plain server in the test: it accepts the client, sends what the test
// tells it to, and opens what the client sent.
struct TestServer {
    TestServer() { EXPECT_TRUE(listener.listen(QHostAddress::LocalHost, 0)); }
    bool startClient(ClientProcess& client, const QStringList& extra = {}) {
        const QStringList args = words("connect 127.0.0.1", QString::number(listener.serverPort()));
        return client.start(args + words("-pass", "pass:" + kPass) + extra) &&
               QTest::qWaitFor([&] { return listener.hasPendingConnections(); }, 10000) &&
               (peer.reset(listener.nextPendingConnection()), true);
    }
    QStringList messages() {  // every message the client sent, once it has ended
        QByteArray got;
        (void)QTest::qWaitFor(
            [&] {
                return got += peer->readAll(),
                       !peer->isOpen() || peer->state() == QAbstractSocket::UnconnectedState;
            },
            10000);
        QStringList out;
        for (const QByteArray& e : cutEnvelopes(got + peer->readAll()))
            out << DecryptText(QString::fromLatin1(e), kPass);
        return out;
    }
    bool send(const QByteArray& bytes) {
        return peer->write(bytes) == bytes.size() &&
               QTest::qWaitFor([&] { return !peer->bytesToWrite(); }, 10000);
    }
    QTcpServer listener;
    std::unique_ptr<QTcpSocket> peer;
};

// Each line typed is one message with the chosen line end, all delivered
// before the client ends at end of input.
TEST(Client, ConnectedEachLineIsOneMessageWithTheChosenLineEnd) {
    for (const auto& [eol, e] : {std::pair<const char*, QString>{"", "\r"},
                                 {"--eol lf", "\n"},
                                 {"--eol crlf", "\r\n"},
                                 {"--eol none", ""}}) {
        TestServer server;
        ClientProcess client;
        ASSERT_TRUE(server.startClient(client, words(eol)) &&
                    client.write("AT\n\nb\xC3\xA4r\nlast"));
        client.closeInput();
        EXPECT_TRUE(client.waitForExit() && client.process.exitCode() == 0)
            << client.err.toStdString();
        EXPECT_EQ(server.messages(), QStringList({"AT" + e, e, "b\u00e4r" + e, "last" + e})) << eol;
    }
}

TEST(Client, ConnectedPrintsMessagesHoweverTcpCutsThemAndEndsWithTheServer) {
    TestServer server;
    ClientProcess client;
    ASSERT_TRUE(server.startClient(client));
    const auto envelope = [](const QString& text) { return EncryptText(text, kPass).toLatin1(); };
    const QByteArray one = envelope("one\r"), two = envelope("two!\r"),
                     three = envelope(QString(300, 'z'));
    ASSERT_TRUE(server.send(one + two + one));  // several in one read; "two!\r" has no padding
    // One over several reads, cut at and off multiples of 4 (at 148 and 296 a
    // piece can look like a whole unpadded envelope and must wait for the rest).
    for (qsizetype at = 0; at < three.size(); at += 37)
        ASSERT_TRUE(server.send(three.mid(at, 37))), QTest::qWait(5);
    ASSERT_TRUE(server.send(two));  // unpadded: whole only once nothing follows
    ASSERT_TRUE(client.waitForOutput(13 + 305));
    EXPECT_EQ(client.out, "one\rtwo!\rone\r" + QByteArray(300, 'z') + "two!\r");
    server.peer->disconnectFromHost();
    EXPECT_TRUE(client.waitForExit() && client.process.exitCode() == 0);
    EXPECT_EQ(client.err, kMe + "127.0.0.1:" + QByteArray::number(server.listener.serverPort()) +
                              " closed the connection\n");
}

// Bytes of every value but those in `except`, from a fixed seed.
QByteArray mixedBytes(qsizetype size, const QByteArray& except = {}) {
    QRandomGenerator rng(20240601);
    QByteArray out;
    while (out.size() < size)
        if (const char c = char(rng.bounded(256)); !except.contains(c)) out.append(c);
    return out;
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
        ASSERT_TRUE(server.start(kPass)) << server.error.toStdString();
        device = std::make_unique<RawTty>(server.pty.b());
        ASSERT_TRUE(device->ok()) << device->error().toStdString();
    }
    void TearDown() override {
        EXPECT_EQ(server.process.state(), QProcess::Running) << "the server ended";
    }
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

// Every way between the device, the client program and openssl, after
// garbage and many connects and disconnects on one listener.
TEST_F(EndToEnd, MessagesCrossEveryWayAfterGarbageAndManyConnections) {
    ASSERT_TRUE(startClient(client, server.port1));
    {
        OpensslPeer garbage{kPass};
        ASSERT_TRUE(garbage.connect(server.port2));
        QByteArray junk = mixedBytes(64 * 1024) + "this is not Base64 at all!\r\n";
        // A header, then more than an envelope may hold, then a broken one; in
        // all less than what may wait for the serial line (1 MiB).
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
}

}  // namespace
}  // namespace zv::test
