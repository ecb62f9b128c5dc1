// The client program against `openssl enc` and against a plain TCP server in
// the test; its framing and line handling on their own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "cipher/envelope.h"
#include "client/line_splitter.h"
#include "client/output.h"
#include "support/held_envelope_framer.h"
#include "support/e2e_process.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"

namespace zv::test {
namespace {

using client::LineSplitter;
using test::HeldEnvelopeFramer;

const QString kPass = QStringLiteral("client test \u00fc");

QStringList words(const char* text) {
    return QString::fromUtf8(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QStringList withPass(QStringList args) {
    return args << QStringLiteral("-pass") << QStringLiteral("pass:") + kPass;
}

// Runs the client to its end with `input` on standard input.
ClientProcess& run(ClientProcess& c, const QStringList& args, const QByteArray& input = {}) {
    EXPECT_TRUE(c.start(args, input, true));
    EXPECT_TRUE(c.waitForExit());
    return c;
}

TEST(ClientCipher, OpensslAndTheClientOpenEachOthersEnvelopes) {
    for (const QByteArray& text :
         {QByteArray(), QByteArray("AT\r"), QByteArray("gr\xC3\xBC\xC3\x9F \xE2\x82\xAC\r\n", 12),
          QByteArray(5000, 'x')}) {
        ClientProcess enc;
        run(enc, withPass(words("encrypt")), text);
        EXPECT_EQ(enc.process.exitCode(), 0) << enc.err.toStdString();
        ASSERT_TRUE(enc.out.endsWith('\n'));
        EXPECT_EQ(opensslDecrypt(enc.out.chopped(1), kPass), text);
    }

    // Several openssl envelopes, one per line, CRLF and blank lines between.
    const QByteArray a = opensslEncrypt("first \xC3\xA9\r", kPass);
    const QByteArray b = opensslEncrypt("", kPass);
    const QByteArray c = opensslEncrypt("third", kPass);
    ClientProcess dec;
    run(dec, withPass(words("decrypt")), a + "\r\n\n" + b + "\n  " + c);
    EXPECT_EQ(dec.process.exitCode(), 0) << dec.err.toStdString();
    EXPECT_EQ(dec.out, QByteArray("first \xC3\xA9\rthird"));

    // Decrypting stops at the first line that is no envelope.
    for (const QByteArray& bad :
         {QByteArray("hello"), QByteArray("U2FsdGVkX1!!!!!!!!!!!!!!"), c.chopped(1)}) {
        ClientProcess dec;
        run(dec, withPass(words("decrypt")), a + "\n" + bad + "\n" + c + "\n");
        EXPECT_EQ(dec.process.exitCode(), 1);
        EXPECT_EQ(dec.out, QByteArray("first \xC3\xA9\r"));
        EXPECT_EQ(dec.err, QByteArray("tandro-zv-client: line 2 is not an envelope\n"));
    }
}

TEST(ClientPassPhrase, ComesFromTextEnvironmentOrTheFirstLineOfAFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto write = [&](const char* name, const QByteArray& bytes) {
        QFile f(dir.filePath(QLatin1String(name)));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        return f.fileName();
    };
    const QString file = write("pass", kPass.toUtf8() + "\nsecond line\n");
    const QString empty = write("empty", "");
    const QString missing = dir.filePath(QStringLiteral("missing"));
    const QByteArray envelope = opensslEncrypt("opened", kPass);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZV_CLIENT_TEST_PASS"), kPass);
    env.remove(QStringLiteral("ZV_CLIENT_TEST_UNSET"));

    const struct {
        QString source;  // empty: no -pass at all
        int status;
        QByteArray out, err;
    } cases[] = {
        {QStringLiteral("pass:") + kPass, 0, "opened", ""},
        {QStringLiteral("env:ZV_CLIENT_TEST_PASS"), 0, "opened", ""},
        {QStringLiteral("file:") + file, 0, "opened", ""},
        {QStringLiteral("env:ZV_CLIENT_TEST_UNSET"), 1, "",
         "tandro-zv-client: environment variable ZV_CLIENT_TEST_UNSET is not set\n"},
        {QStringLiteral("file:") + missing, 1, "",
         "tandro-zv-client: cannot read pass phrase file " + missing.toUtf8() +
             ": No such file or directory\n"},
        {QStringLiteral("file:") + empty, 1, "",
         "tandro-zv-client: pass phrase file " + empty.toUtf8() + " is empty\n"},
        {QStringLiteral("stdin"), 2, "",
         "tandro-zv-client: -pass takes pass:TEXT, env:VARIABLE or file:PATH (try --help)\n"},
        {QString(), 1, "",
         "tandro-zv-client: no pass phrase given (-pass pass:, env: or file:) and no terminal "
         "to ask on\n"},
    };
    for (const auto& k : cases) {
        ClientProcess c;
        c.process.setProcessEnvironment(env);
        c.process.setChildProcessModifier([] { (void)::setsid(); });  // no terminal to ask on
        run(c, k.source.isEmpty() ? words("decrypt") : words("decrypt -pass") << k.source,
            envelope);
        EXPECT_EQ(c.process.exitCode(), k.status) << k.source.toStdString();
        EXPECT_EQ(c.out, k.out) << k.source.toStdString();
        EXPECT_EQ(c.err, k.err) << k.source.toStdString();
    }
}

TEST(ClientCommandLine, WrongUseIsOneLineAndStatusTwo) {
    for (const char* args :
         {"", "bogus", "connect localhost", "connect localhost 70000",
          "connect localhost 1 --eol cr2", "encrypt --eol lf", "decrypt --frob"}) {
        ClientProcess c;
        run(c, words(args));
        EXPECT_EQ(c.process.exitCode(), 2) << args;
        EXPECT_EQ(c.err.count('\n'), 1) << c.err.toStdString();
        EXPECT_TRUE(c.out.isEmpty());
    }
    ClientProcess help, version;
    EXPECT_EQ(run(help, words("--help")).process.exitCode(), 0);
    EXPECT_TRUE(help.out.startsWith("Usage: tandro-zv-client connect HOST PORT"));
    EXPECT_EQ(run(version, words("--version")).out,
              QByteArray("tandro-zv-client " ZV_VERSION "\n"));
}

// A plain server in the test: it accepts one client, frames and decrypts
// what comes, and sends what the test tells it to.
struct TestServer {
    TestServer() { EXPECT_TRUE(listener.listen(QHostAddress::LocalHost, 0)); }
    // Starts the client on this server and accepts it.
    bool startClient(ClientProcess& client, const QStringList& extra = {}) {
        const QString port = QString::number(listener.serverPort());
        if (!client.start(withPass(words("connect 127.0.0.1") << port) + extra) ||
            !QTest::qWaitFor([&] { return listener.hasPendingConnections(); }, 10000))
            return false;
        peer.reset(listener.nextPendingConnection());
        return true;
    }
    // Every message the client sent, once it has ended.
    QStringList messages() {
        QByteArray got;
        (void)QTest::qWaitFor(
            [&] {
                got += peer->readAll();
                return peer->state() == QAbstractSocket::UnconnectedState;
            },
            10000);
        QStringList envelopes = framer.append(got + peer->readAll()), out;
        for (const QString& e : envelopes + framer.flush())
            out << QString::fromStdString(DecryptText(e.toStdString(), kPass.toStdString()));
        return out;
    }
    bool send(const QByteArray& bytes) {
        return peer->write(bytes) == bytes.size() &&
               QTest::qWaitFor([&] { return peer->bytesToWrite() == 0; }, 10000);
    }

    QTcpServer listener;
    std::unique_ptr<QTcpSocket> peer;
    HeldEnvelopeFramer framer;
};

QByteArray envelope(const std::string& text) {
    return QByteArray::fromStdString(EncryptText(text, kPass.toStdString()));
}

// Everything typed is delivered before the client ends at end of input.
TEST(ClientConnect, EachLineIsOneMessageWithTheChosenLineEnd) {
    for (const auto& [eol, end] : {std::pair{"", "\r"}, std::pair{"--eol lf", "\n"},
                                   std::pair{"--eol crlf", "\r\n"}, std::pair{"--eol none", ""}}) {
        TestServer server;
        ClientProcess client;
        ASSERT_TRUE(server.startClient(client, words(eol)));
        ASSERT_TRUE(client.write("AT\n\nb\xC3\xA4r\nlast"));
        client.closeInput();
        ASSERT_TRUE(client.waitForExit());
        EXPECT_EQ(client.process.exitCode(), 0) << client.err.toStdString();
        const QString e = QString::fromLatin1(end);
        EXPECT_EQ(server.messages(),
                  (QStringList{QStringLiteral("AT") + e, e, QStringLiteral("b\u00e4r") + e,
                               QStringLiteral("last") + e}))
            << eol;
    }
}

TEST(ClientConnect, PrintsMessagesHoweverTcpCutsThem) {
    TestServer server;
    ClientProcess client;
    ASSERT_TRUE(server.startClient(client));
    const QByteArray one = envelope("one\r");   // 28 characters, padded
    const QByteArray two = envelope("two!\r");  // 28 characters, no padding
    const QByteArray three = envelope(std::string(300, 'z'));
    ASSERT_TRUE(server.send(one + two + one));  // several in one read
    ASSERT_TRUE(client.waitForOutput(13));
    EXPECT_EQ(client.out, QByteArray("one\rtwo!\rone\r"));
    client.out.clear();
    // One over several reads, cut at and off multiples of 4 (at 148 and 296 a
    // piece can look like a whole unpadded envelope and must wait for the rest).
    for (qsizetype at = 0; at < three.size(); at += 37) {
        ASSERT_TRUE(server.send(three.mid(at, 37)));
        QTest::qWait(5);
    }
    ASSERT_TRUE(server.send(two));  // unpadded: whole only once nothing follows
    ASSERT_TRUE(client.waitForOutput(305));
    EXPECT_EQ(client.out, QByteArray(300, 'z') + "two!\r");

    // The server closing ends the client cleanly, with a note on stderr.
    server.peer->disconnectFromHost();
    ASSERT_TRUE(client.waitForExit());
    EXPECT_EQ(client.process.exitCode(), 0);
    EXPECT_EQ(client.err,
              "tandro-zv-client: 127.0.0.1:" + QByteArray::number(server.listener.serverPort()) +
                  " closed the connection\n");
}

TEST(ClientConnect, RefusedOrLostConnectionIsOneLineAndStatusOne) {
    ClientProcess refused;
    run(refused, withPass(words("connect 127.0.0.1") << QString::number(freePort())));
    EXPECT_EQ(refused.process.exitCode(), 1);
    EXPECT_TRUE(refused.err.startsWith("tandro-zv-client: cannot connect to 127.0.0.1:"));
    EXPECT_TRUE(refused.err.contains("refused")) << refused.err.toStdString();
    EXPECT_EQ(refused.err.count('\n'), 1);

    TestServer server;
    ClientProcess client;
    ASSERT_TRUE(server.startClient(client));
    const linger off{1, 0};  // close with RST: the connection is lost, not closed
    ASSERT_EQ(
        ::setsockopt(int(server.peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &off, sizeof off),
        0);
    server.peer->abort();
    ASSERT_TRUE(client.waitForExit());
    EXPECT_EQ(client.process.exitCode(), 1);
    EXPECT_TRUE(client.err.startsWith("tandro-zv-client: connection to 127.0.0.1:"))
        << client.err.toStdString();
    EXPECT_EQ(client.err.count('\n'), 1);
}

TEST(ClientLineSplitter, CutsOverlongLinesBetweenUtf8Characters) {
    LineSplitter s;
    // "é" is two bytes; a cut in the middle of one would corrupt it.
    const std::string head(LineSplitter::kMaxPiece - 1, 'a');
    const auto pieces = s.append(head + "\xC3\xA9tail\nnext");
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].text, head);
    EXPECT_FALSE(pieces[0].lineEnd);
    EXPECT_EQ(pieces[1].text, "\xC3\xA9tail");
    EXPECT_TRUE(pieces[1].lineEnd);
    const auto rest = s.finish();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].text, "next");
    EXPECT_TRUE(s.finish().empty());
}

TEST(ClientOutput, ATerminalSeesALoneCarriageReturnAsANewLine) {
    bool afterCr = false;
    EXPECT_EQ(client::terminalLineEnds("ok\r", afterCr), "ok\r\n");
    EXPECT_EQ(client::terminalLineEnds("\nnext\r\nx\ny", afterCr), "next\r\nx\ny");
}

}  // namespace
}  // namespace zv::test
