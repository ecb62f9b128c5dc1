// The built server and client, a socat pseudo-terminal as the device, and
// the real `openssl enc` as the second client.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QDeadlineTimer>
#include <QFile>
#include <QLabel>
#include <QRandomGenerator>
#include <QTest>
#include <memory>

#include "app/frmZVServer.h"
#include "app/qt_cipher.h"
#include "support/e2e_process.h"
#include "support/openssl_cli.h"
#include "support/pty_pair.h"
#include "support/server_rig.h"

namespace zv::test {
namespace {

const QString kPass = QStringLiteral("e2e pass phrase \u00e9\u20ac");
constexpr int kPiece = 4096;     // bytes per device write and per client line
constexpr int kTotal = 1 << 20;  // 1 MiB each way

// Bytes of every value but those in `except`, from a fixed seed.
QByteArray mixedBytes(qsizetype size, const QByteArray& except = {}) {
    QRandomGenerator rng(20240601);
    QByteArray out;
    out.reserve(size);
    while (out.size() < size) {
        const char c = char(rng.bounded(256));
        if (!except.contains(c)) out.append(c);
    }
    return out;
}

// Reads the device until `marker` came; returns everything read.
QByteArray readDeviceUntil(RawTty& device, const QByteArray& marker, int timeoutMs = 15000) {
    QByteArray got;
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        const QByteArray more = device.read(64 * 1024, 20);
        got += more;
        // Only the new bytes and the marker's length before them need a look.
        if (!more.isEmpty() &&
            got.indexOf(marker, qMax<qsizetype>(0, got.size() - more.size() - marker.size())) >= 0)
            break;
    }
    return got;
}

// Where two byte strings first differ, for failure messages.
std::string firstDifference(const QByteArray& got, const QByteArray& want) {
    qsizetype i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return "got " + std::to_string(got.size()) + " of " + std::to_string(want.size()) +
           " bytes; first difference at " + std::to_string(i) + ": " +
           got.mid(i, 24).toHex(' ').toStdString() + " vs " +
           want.mid(i, 24).toHex(' ').toStdString();
}

// Starts the client on `port` and waits until the server accepted it (its
// listener stops listening while it serves a client).
bool startClient(ClientProcess& c, quint16 port, const QStringList& extra = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZV_E2E_PASS"), kPass);
    c.process.setProcessEnvironment(env);
    return c.start(QStringList{QStringLiteral("connect"), QStringLiteral("127.0.0.1"),
                               QString::number(port), QStringLiteral("-pass"),
                               QStringLiteral("env:ZV_E2E_PASS")} +
                   extra) &&
           QTest::qWaitFor([&] { return !isListening(port); }, 10000);
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

    // Client 1 on port 1, the openssl peer on port 2.
    void connectBoth(const QStringList& clientOptions = {}) {
        ASSERT_TRUE(startClient(client, server.port1, clientOptions));
        ASSERT_TRUE(peer.connect(server.port2));
    }

    ServerProcess server;
    std::unique_ptr<RawTty> device;
    ClientProcess client;
    OpensslPeer peer{kPass};
};

TEST_F(EndToEnd, MessagesCrossEveryWayByteExact) {
    connectBoth();

    // Device to both clients: serial bytes are Latin-1 characters.
    const QByteArray fromDevice("AT+\xE9\x00\x7F\xFF ok\r", 11);
    ASSERT_TRUE(device->writeAll(fromDevice));
    ASSERT_TRUE(client.waitForOutput(latin1AsUtf8(fromDevice).size()));
    EXPECT_EQ(client.out, latin1AsUtf8(fromDevice));
    EXPECT_EQ(peer.receive(latin1AsUtf8(fromDevice).size()), latin1AsUtf8(fromDevice));

    // Client 1 to the device (as Latin-1) and on to the peer; CR is the line end.
    ASSERT_TRUE(client.write("caf\xC3\xA9 \x01\n"));
    EXPECT_EQ(device->read(7), QByteArray("caf\xE9 \x01\r"));
    EXPECT_EQ(peer.receive(8), QByteArray("caf\xC3\xA9 \x01\r"));

    // End of input: the client leaves cleanly and the listener takes the next one.
    client.closeInput();
    ASSERT_TRUE(client.waitForExit());
    EXPECT_EQ(client.process.exitCode(), 0) << client.err.toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return isListening(server.port1); }, 10000));
}

// Serial to network carries every byte value. Network to serial: the server
// drops line feeds and applies backspaces, and the client ends a message at a
// line feed, so that direction's bytes leave out 0x0A and 0x08.
TEST_F(EndToEnd, OneMebibyteEachWayArrivesWholeAndInOrder) {
    connectBoth({QStringLiteral("--eol"), QStringLiteral("none")});

    const QByteArray up = mixedBytes(kTotal);
    for (qsizetype at = 0; at < up.size(); at += kPiece)
        ASSERT_TRUE(device->writeAll(up.mid(at, kPiece))) << "device write at " << at;
    const QByteArray upText = latin1AsUtf8(up);
    ASSERT_TRUE(client.waitForOutput(upText.size(), 60000));
    EXPECT_TRUE(client.out == upText) << "client 1: " << firstDifference(client.out, upText);
    const QByteArray atPeer = peer.receive(upText.size(), 60000);
    EXPECT_TRUE(atPeer == upText) << "peer: " << firstDifference(atPeer, upText);

    // All lines at once: the client's socket backs up and TCP cuts envelopes
    // anywhere, also on 4-character boundaries; nothing may be lost or garbled.
    const QByteArray down = mixedBytes(kTotal, QByteArray("\n\b", 2));
    QByteArray lines;
    for (qsizetype at = 0; at < down.size(); at += kPiece)
        lines += latin1AsUtf8(down.mid(at, kPiece)) + '\n';
    ASSERT_TRUE(client.write(lines));
    const QByteArray atDevice = device->read(down.size(), 90000);
    EXPECT_TRUE(atDevice == down) << "device: " << firstDifference(atDevice, down);
    const QByteArray downText = latin1AsUtf8(down);
    const QByteArray passedOn = peer.receive(downText.size(), 60000);
    EXPECT_TRUE(passedOn == downText) << "peer: " << firstDifference(passedOn, downText);
    EXPECT_TRUE(client.err.isEmpty()) << client.err.toStdString();
}

// Garbage on one listener and 1000 connects and disconnects on it; the
// server keeps serving both listeners.
TEST_F(EndToEnd, ServerKeepsServingAfterGarbageAndAThousandConnections) {
    ASSERT_TRUE(startClient(client, server.port1));
    {
        OpensslPeer garbage{kPass};
        ASSERT_TRUE(garbage.connect(server.port2));
        QByteArray junk = mixedBytes(64 * 1024);
        junk += "this is not Base64 at all!\r\n";
        junk += "U2FsdGVkX1" + QByteArray(3 * 1024 * 1024, 'A');  // a header, then too long
        junk += "U2FsdGVkX1\xff\xfe==\n";
        ASSERT_EQ(garbage.socket.write(junk), junk.size());
        ASSERT_TRUE(QTest::qWaitFor([&] { return garbage.socket.bytesToWrite() == 0; }, 20000));
        garbage.socket.disconnectFromHost();
    }
    // Whatever the garbage decrypted to reached the device and client 1; a
    // marker shows when it is through.
    OpensslPeer next{kPass};
    ASSERT_TRUE(next.connect(server.port2, 30000));
    ASSERT_TRUE(next.send("marker one\r"));
    EXPECT_TRUE(readDeviceUntil(*device, "marker one\r", 30000).endsWith("marker one\r"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return client.waitForOutput(0, 0) && client.out.endsWith("marker one\r"); }, 30000));
    next.socket.disconnectFromHost();

    int done = 0;
    const QDeadlineTimer deadline(90000);
    while (done < 1000 && !deadline.hasExpired()) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, server.port2);
        if (!s.waitForConnected(2000)) {
            QTest::qWait(1);  // the listener is re-arming: the server needs its events
            continue;
        }
        if (done++ % 2 == 0)
            s.disconnectFromHost();  // FIN
        else
            s.abort();  // RST as often
    }
    ASSERT_EQ(done, 1000);

    OpensslPeer last{kPass};
    ASSERT_TRUE(last.connect(server.port2, 30000));
    client.out.clear();
    ASSERT_TRUE(device->writeAll("still here\r"));
    EXPECT_EQ(last.receive(11), QByteArray("still here\r"));
    ASSERT_TRUE(client.waitForOutput(11));
    EXPECT_EQ(client.out, QByteArray("still here\r"));
    ASSERT_TRUE(client.write("and you?\n"));
    EXPECT_TRUE(readDeviceUntil(*device, "and you?\r").endsWith("and you?\r"));
    EXPECT_EQ(last.receive(9), QByteArray("and you?\r"));
}

// The window in this process, so the test can reselect the COM port as the
// operator would; the client is still the real program.
TEST(EndToEndInProcess, DeviceVanishesAndComesBackWhenTheComPortIsReselected) {
    QTemporaryDir links;
    ASSERT_TRUE(links.isValid());
    const QString device = links.filePath(QStringLiteral("device"));  // what COM3 opens
    auto first = std::make_unique<PtyPair>();
    ASSERT_TRUE(first->ok()) << first->error().toStdString();
    ASSERT_TRUE(QFile::link(first->a(), device));

    ServerRig rig;
    const quint16 port1 = freePort();
    rig.set(QStringLiteral("com port"), QStringLiteral("3"));
    rig.set(QStringLiteral("com device 3"), device);
    rig.set(QStringLiteral("netport"), QStringLiteral("1"));
    rig.set(QStringLiteral("autoconnect"), QStringLiteral("1"));
    rig.set(QStringLiteral("TCP Port"), QString::number(port1));
    rig.set(QStringLiteral("Password"), EncryptText(kPass, kStorePassPhrase));
    frmZVServer& w = rig.load();

    ClientProcess client;
    ASSERT_TRUE(startClient(client, port1));
    {
        RawTty far(first->b());
        ASSERT_TRUE(far.ok());
        ASSERT_TRUE(far.writeAll("before\r"));
        ASSERT_TRUE(client.waitForOutput(7));
        EXPECT_EQ(client.out, QByteArray("before\r"));
    }

    first->vanish();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return w.lblStatus->text().startsWith(QLatin1String("com port closed")); }, 10000))
        << w.lblStatus->text().toStdString();
    // A message meanwhile has nowhere to go but must not end anything.
    ASSERT_TRUE(client.write("into the void\n"));
    QTest::qWait(200);
    EXPECT_EQ(client.process.state(), QProcess::Running);

    PtyPair second;
    ASSERT_TRUE(second.ok()) << second.error().toStdString();
    ASSERT_TRUE(QFile::remove(device));
    ASSERT_TRUE(QFile::link(second.a(), device));
    w.mnuPortsCom3_Click();
    EXPECT_TRUE(w.mnuPortsCom[2]->isChecked());

    RawTty far(second.b());
    ASSERT_TRUE(far.ok());
    client.out.clear();
    ASSERT_TRUE(far.writeAll("after\r"));
    ASSERT_TRUE(client.waitForOutput(6));
    EXPECT_EQ(client.out, QByteArray("after\r"));
    ASSERT_TRUE(client.write("hello again\n"));
    EXPECT_EQ(far.read(12), QByteArray("hello again\r"));
    EXPECT_TRUE(client.err.isEmpty()) << client.err.toStdString();
}

}  // namespace
}  // namespace zv::test
