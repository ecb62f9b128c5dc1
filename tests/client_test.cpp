// The client program against `openssl enc` and against a plain TCP server in
// the test; its framing and line handling on their own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "cipher/envelope.h"
#include "client/line_splitter.h"
#include "client/output.h"
#include "client/receive_framer.h"
#include "support/e2e_process.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"

namespace zv::test {
namespace {

using client::LineSplitter;
using client::ReceiveFramer;

const QString kPass = QStringLiteral("client test \u00fc");

// Runs the client to its end with `input` on standard input.
ClientProcess& run(ClientProcess& c, const QStringList& args, const QByteArray& input = {}) {
    EXPECT_TRUE(c.start(args, input, true));
    EXPECT_TRUE(c.waitForExit());
    return c;
}

QStringList withPass(QStringList args) {
    return args << QStringLiteral("-pass") << QStringLiteral("pass:") + kPass;
}

TEST(ClientCipher, OpensslOpensClientEnvelopesAndTheReverse) {
    for (const QByteArray& text :
         {QByteArray(), QByteArray("AT\r"), QByteArray("gr\xC3\xBC\xC3\x9F \xE2\x82\xAC\r\n", 12),
          QByteArray(5000, 'x')}) {
        ClientProcess enc;
        run(enc, withPass({QStringLiteral("encrypt")}), text);
        EXPECT_EQ(enc.process.exitCode(), 0) << enc.err.toStdString();
        ASSERT_TRUE(enc.out.endsWith('\n'));
        EXPECT_EQ(opensslDecrypt(enc.out.chopped(1), kPass), text);
    }

    // Several openssl envelopes, one per line, CRLF and blank lines between.
    const QByteArray a = opensslEncrypt("first \xC3\xA9\r", kPass);
    const QByteArray b = opensslEncrypt("", kPass);
    const QByteArray c = opensslEncrypt("third", kPass);
    ClientProcess dec;
    run(dec, withPass({QStringLiteral("decrypt")}), a + "\r\n\n" + b + "\n  " + c);
    EXPECT_EQ(dec.process.exitCode(), 0) << dec.err.toStdString();
    EXPECT_EQ(dec.out, QByteArray("first \xC3\xA9\rthird"));
}

TEST(ClientCipher, DecryptStopsAtTheFirstLineThatIsNoEnvelope) {
    const QByteArray good = opensslEncrypt("kept", kPass);
    for (const QByteArray& bad : {QByteArray("hello"), QByteArray("U2FsdGVkX1!!!!!!!!!!!!!!"),
                                  good.left(good.size() - 1)}) {
        ClientProcess dec;
        run(dec, withPass({QStringLiteral("decrypt")}), good + "\n" + bad + "\n" + good + "\n");
        EXPECT_EQ(dec.process.exitCode(), 1);
        EXPECT_EQ(dec.out, QByteArray("kept"));
        EXPECT_EQ(dec.err, QByteArray("tandro-zv-client: line 2 is not an envelope\n"));
    }
}

TEST(ClientPassPhrase, ComesFromTextEnvironmentOrTheFirstLineOfAFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile file(dir.filePath(QStringLiteral("pass")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(kPass.toUtf8() + "\nsecond line\n"), kPass.toUtf8().size() + 13);
    file.close();
    QFile empty(dir.filePath(QStringLiteral("empty")));
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();
    const QByteArray envelope = opensslEncrypt("opened", kPass);

    struct Case {
        QString source;
        int status;
        QByteArray out;
        QByteArray err;
    };
    const QString missing = dir.filePath(QStringLiteral("missing"));
    const std::vector<Case> cases = {
        {QStringLiteral("pass:") + kPass, 0, "opened", ""},
        {QStringLiteral("env:ZV_CLIENT_TEST_PASS"), 0, "opened", ""},
        {QStringLiteral("file:") + file.fileName(), 0, "opened", ""},
        {QStringLiteral("env:ZV_CLIENT_TEST_UNSET"), 1, "",
         "tandro-zv-client: environment variable ZV_CLIENT_TEST_UNSET is not set\n"},
        {QStringLiteral("file:") + missing, 1, "",
         "tandro-zv-client: cannot read pass phrase file " + missing.toUtf8() +
             ": No such file or directory\n"},
        {QStringLiteral("file:") + empty.fileName(), 1, "",
         "tandro-zv-client: pass phrase file " + empty.fileName().toUtf8() + " is empty\n"},
        {QStringLiteral("stdin"), 2, "",
         "tandro-zv-client: -pass takes pass:TEXT, env:VARIABLE or file:PATH (try --help)\n"},
    };
    for (const Case& k : cases) {
        ClientProcess c;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ZV_CLIENT_TEST_PASS"), kPass);
        env.remove(QStringLiteral("ZV_CLIENT_TEST_UNSET"));
        c.process.setProcessEnvironment(env);
        run(c, {QStringLiteral("decrypt"), QStringLiteral("-pass"), k.source}, envelope);
        EXPECT_EQ(c.process.exitCode(), k.status) << k.source.toStdString();
        EXPECT_EQ(c.out, k.out) << k.source.toStdString();
        EXPECT_EQ(c.err, k.err) << k.source.toStdString();
    }

    // No source and no terminal to ask on: a new session has none.
    ClientProcess c;
    c.process.setChildProcessModifier([] { (void)::setsid(); });
    run(c, {QStringLiteral("decrypt")}, envelope);
    EXPECT_EQ(c.process.exitCode(), 1);
    EXPECT_EQ(c.err, QByteArray("tandro-zv-client: no pass phrase given (-pass pass:, env: or "
                                "file:) and no terminal to ask on\n"));
}

TEST(ClientCommandLine, WrongUseIsOneLineAndStatusTwo) {
    for (const QStringList& args :
         {QStringList{}, QStringList{QStringLiteral("bogus")},
          QStringList{QStringLiteral("connect"), QStringLiteral("localhost")},
          QStringList{QStringLiteral("connect"), QStringLiteral("localhost"),
                      QStringLiteral("70000")},
          QStringList{QStringLiteral("connect"), QStringLiteral("localhost"), QStringLiteral("1"),
                      QStringLiteral("--eol"), QStringLiteral("cr2")},
          QStringList{QStringLiteral("encrypt"), QStringLiteral("--eol"), QStringLiteral("lf")},
          QStringList{QStringLiteral("decrypt"), QStringLiteral("--frob")}}) {
        ClientProcess c;
        run(c, args);
        EXPECT_EQ(c.process.exitCode(), 2) << args.join(' ').toStdString();
        EXPECT_EQ(c.err.count('\n'), 1) << c.err.toStdString();
        EXPECT_TRUE(c.out.isEmpty());
    }
    ClientProcess help;
    run(help, {QStringLiteral("--help")});
    EXPECT_EQ(help.process.exitCode(), 0);
    EXPECT_TRUE(help.out.startsWith("Usage: tandro-zv-client connect HOST PORT"));
    ClientProcess version;
    run(version, {QStringLiteral("--version")});
    EXPECT_EQ(version.out, QByteArray("tandro-zv-client " ZV_VERSION "\n"));
}

// A plain server in the test: it accepts one client, frames and decrypts
// what comes, and sends what the test tells it to.
struct TestServer {
    TestServer() { EXPECT_TRUE(listener.listen(QHostAddress::LocalHost, 0)); }
    // Starts the client on this server and accepts it.
    bool startClient(ClientProcess& client, const QStringList& extra = {}) {
        if (!client.start(withPass({QStringLiteral("connect"), QStringLiteral("127.0.0.1"),
                                    QString::number(listener.serverPort())}) +
                          extra))
            return false;
        if (!QTest::qWaitFor([&] { return listener.hasPendingConnections(); }, 10000)) return false;
        peer.reset(listener.nextPendingConnection());
        return peer != nullptr;
    }
    // Messages received from the client until `count` came.
    QStringList messages(int count) {
        QDeadlineTimer quiet(200);  // a held piece is whole when nothing follows
        auto open = [&](const QStringList& envelopes) {
            for (const QString& e : envelopes)
                received << QString::fromStdString(
                    DecryptText(e.toStdString(), kPass.toStdString()));
        };
        (void)QTest::qWaitFor(
            [&] {
                const QByteArray got = peer->readAll();
                if (!got.isEmpty()) {
                    open(framer.append(got));
                    quiet.setRemainingTime(200);
                } else if (framer.holding() && quiet.hasExpired()) {
                    open(framer.flush());
                }
                return received.size() >= count;
            },
            20000);
        return received;
    }
    bool send(const QByteArray& bytes) {
        return peer->write(bytes) == bytes.size() &&
               QTest::qWaitFor([&] { return peer->bytesToWrite() == 0; }, 10000);
    }
    static QByteArray envelope(const std::string& text) {
        return QByteArray::fromStdString(EncryptText(text, kPass.toStdString()));
    }

    QTcpServer listener;
    std::unique_ptr<QTcpSocket> peer;
    ReceiveFramer framer;
    QStringList received;
};

TEST(ClientConnect, EachLineIsOneMessageWithTheChosenLineEnd) {
    for (const auto& [eol, end] : {std::pair{"cr", "\r"}, std::pair{"lf", "\n"},
                                   std::pair{"crlf", "\r\n"}, std::pair{"none", ""}}) {
        TestServer server;
        ClientProcess client;
        ASSERT_TRUE(server.startClient(client, {QStringLiteral("--eol"), QLatin1String(eol)}));
        ASSERT_TRUE(client.write("AT\n\nb\xC3\xA4r\nlast"));
        client.closeInput();
        const QString e = QString::fromLatin1(end);
        EXPECT_EQ(server.messages(4),
                  (QStringList{QStringLiteral("AT") + e, e, QStringLiteral("b\u00e4r") + e,
                               QStringLiteral("last") + e}))
            << eol;
        ASSERT_TRUE(client.waitForExit());
        EXPECT_EQ(client.process.exitCode(), 0) << client.err.toStdString();
    }
}

TEST(ClientConnect, EverythingSentIsDeliveredBeforeItEndsAtEndOfInput) {
    TestServer server;
    ClientProcess client;
    ASSERT_TRUE(server.startClient(client));
    QByteArray lines;
    for (int i = 0; i < 300; ++i) lines += "line " + QByteArray::number(i) + '\n';
    ASSERT_TRUE(client.write(lines));
    client.closeInput();
    ASSERT_TRUE(client.waitForExit());
    EXPECT_EQ(client.process.exitCode(), 0) << client.err.toStdString();
    const QStringList got = server.messages(300);
    ASSERT_EQ(got.size(), 300);
    EXPECT_EQ(got.last(), QStringLiteral("line 299\r"));
}

TEST(ClientConnect, PrintsMessagesHoweverTcpCutsThem) {
    TestServer server;
    ClientProcess client;
    ASSERT_TRUE(server.startClient(client));
    const QByteArray one = TestServer::envelope("one\r");   // 28 characters, padded
    const QByteArray two = TestServer::envelope("two!\r");  // 28 characters, no padding
    const QByteArray three = TestServer::envelope(std::string(300, 'z'));
    ASSERT_TRUE(server.send(one + two + one));  // several in one read
    ASSERT_TRUE(client.waitForOutput(13));
    EXPECT_EQ(client.out, QByteArray("one\rtwo!\rone\r"));
    client.out.clear();
    // One over several reads, cut at and off multiples of 4.
    for (qsizetype at = 0; at < three.size(); at += 37) {
        ASSERT_TRUE(server.send(three.mid(at, 37)));
        QTest::qWait(5);
    }
    ASSERT_TRUE(server.send(two));
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
    run(refused, withPass({QStringLiteral("connect"), QStringLiteral("127.0.0.1"),
                           QString::number(freePort())}));
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

TEST(ClientReceiveFramer, HoldsAnUnpaddedPieceThatEndsAReadUntilItsRestCame) {
    const QByteArray whole = QByteArray::fromStdString(EncryptText("two!!!\r\n", "k"));
    ASSERT_EQ(whole.size(), 32);
    ASSERT_FALSE(whole.endsWith('='));
    ReceiveFramer f;
    // The first 24 characters look like a whole envelope of an empty message.
    EXPECT_TRUE(f.append(whole.left(24)).isEmpty());
    EXPECT_TRUE(f.holding());
    EXPECT_EQ(f.append(whole.mid(24)), QStringList());
    EXPECT_EQ(f.append(whole), QStringList{QString::fromLatin1(whole)});  // the next one begins
    EXPECT_EQ(f.flush(), QStringList{QString::fromLatin1(whole)});
    EXPECT_FALSE(f.holding());
    // A padded end is known to be whole at once.
    const QByteArray padded = QByteArray::fromStdString(EncryptText("one\r", "k"));
    EXPECT_EQ(f.append(padded), QStringList{QString::fromLatin1(padded)});
    EXPECT_FALSE(f.holding());
}

TEST(ClientLineSplitter, CutsOverlongLinesBetweenUtf8Characters) {
    LineSplitter s;
    // "é" is two bytes; a cut in the middle of one would corrupt it.
    std::string line(LineSplitter::kMaxPiece - 1, 'a');
    line += "\xC3\xA9tail";
    const auto pieces = s.append(line + "\nnext");
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].text, std::string(LineSplitter::kMaxPiece - 1, 'a'));
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
