// Nothing is lost on the way from a client to the device: big messages wait
// for a slow line, a character cut in two is not dropped, a flood on one port
// does not hold up the other, and a client that stops reading learns of it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <numeric>

#include "app/data_pane.h"
#include "support/link_rig.h"
#include "support/openssl_cli.h"

using namespace zv;
using test::opensslEncrypt;

namespace {

// Bytes 1 to 126 but backspace and line feed, which the relay edits.
QByteArray mixed(qsizetype size, quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray out;
    while (out.size() < size) {
        const char c = char(1 + rng.bounded(126));
        if (c != '\b' && c != '\n') out.append(c);
    }
    return out;
}

// Reads the device 4 KiB at a time with pauses: a line slower than the network.
QByteArray readSlowly(test::RawTty& device, qsizetype count) {
    QByteArray got;
    for (int idle = 0; got.size() < count && idle < 2000;) {
        const QByteArray more = device.read(4096, 10);
        idle = more.isEmpty() ? idle + 1 : 0;
        got += more;
        QTest::qWait(1);
    }
    return got;
}

}  // namespace

TEST(NothingLost, MessagesUpToOneMebibyteWaitForASlowLineAndLargerOnesAreRefused) {
    test::LinkRig link;
    test::TcpClient client(30000);
    ASSERT_TRUE(link.start("1"));
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    const QByteArray one = mixed(1 << 20, 1), two = mixed(1 << 20, 2);
    ASSERT_TRUE(client.send(opensslEncrypt(one, "ResetNow") + opensslEncrypt(two, "ResetNow")));
    const QByteArray got = readSlowly(*link.device, 2 << 20);
    EXPECT_EQ(got.size(), 2 << 20);
    EXPECT_TRUE(got == one + two) << "whole and in order";

    ASSERT_TRUE(client.send(opensslEncrypt(mixed((1 << 20) + 1, 3), "ResetNow") + "\n"));
    EXPECT_TRUE(link.waitStatus("port 1 data arrival error; message over 1 MiB refused"));
    ASSERT_TRUE(client.send(opensslEncrypt("after\r", "ResetNow")));
    EXPECT_EQ(link.device->read(6), QByteArray("after\r")) << "nothing of the refused one";
    ASSERT_TRUE(link.device->writeAll("back\r"));
    EXPECT_EQ(test::opensslDecrypt(test::readEnvelopes(client, 5).value(0), "ResetNow"), "back\r");
}

TEST(NothingLost, ACharacterCutByTheEndOfItsMessageIsNotDropped) {
    test::LinkRig link;
    test::TcpClient client;
    ASSERT_TRUE(link.start("1"));
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    const QByteArray cut = opensslEncrypt("A\xC3", "ResetNow");  // 24 characters, no "="
    ASSERT_FALSE(cut.endsWith('='));
    ASSERT_TRUE(client.send(cut));
    EXPECT_EQ(link.device->read(1), QByteArray("A"));
    ASSERT_TRUE(client.send(opensslEncrypt("Z\r", "ResetNow")));
    EXPECT_EQ(link.device->read(3), QByteArray("?Z\r"));  // U+FFFD has no byte: '?'
    EXPECT_EQ(link.w->txtRxData->model().Text(), QString::fromUtf8("A\uFFFDZ\r\n"));
}

TEST(NothingLost, AFloodOnOnePortDoesNotHoldUpTheOtherAndEveryClientKeepsItsOrder) {
    test::LinkRig link;
    test::TcpClient c1(30000), c2(30000);
    ASSERT_TRUE(link.start("3"));
    ASSERT_TRUE(link.connect(c1, link.p1, link.sock1));
    ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));
    // A few hundred from each port at once: all arrive, each port's in order.
    QByteArray burst1, burst2;
    for (int i = 0; i < 300; ++i) {
        burst1 += EncryptText(QStringLiteral("a%1\r").arg(i), "ResetNow").toLatin1();
        burst2 += EncryptText(QStringLiteral("b%1\r").arg(i), "ResetNow").toLatin1();
    }
    ASSERT_TRUE(c1.send(burst1) && c2.send(burst2));
    QByteArray lines;
    for (int i = 0; i < 6000 && lines.count('\r') < 600; ++i) lines += link.device->read(4096, 10);
    QList<int> a, b;
    for (const QByteArray& line : lines.split('\r'))
        if (!line.isEmpty()) (line[0] == 'a' ? a : b).append(line.mid(1).toInt());
    QList<int> want(300);
    std::iota(want.begin(), want.end(), 0);
    EXPECT_EQ(a, want);
    EXPECT_EQ(b, want);

    // 1,000 envelopes without the key (each 2 meaningless bytes), then a real one.
    ASSERT_TRUE(c1.send(QByteArray("U2FsdGVkX1AAAAAAAAAAAAAA").repeated(1000)));
    ASSERT_TRUE(c2.send(opensslEncrypt("real one\r", "ResetNow")));
    QByteArray before;
    for (int i = 0; i < 3000 && !before.endsWith("real one\r"); ++i)
        before += link.device->read(1, 10);
    ASSERT_TRUE(before.endsWith("real one\r"));
    EXPECT_LT(before.size(), 500) << "port 2 waited behind the flood";
}

TEST(NothingLost, AClientThatStopsReadingIsResetAndTheStatusSaysSo) {
    test::LinkRig link;
    ASSERT_TRUE(link.start("1"));
    link.w->setMaxClientBacklog(64 * 1024);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);  // never reads
    const int small = 4096;
    ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(link.p1);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return link.sock1.State() == sck::Connected; }, 5000));
    const QString dropped = "port 1 client stopped reading, disconnected";
    for (int i = 0; i < 400 && !link.status().contains(dropped); ++i)
        ASSERT_TRUE(link.device->writeAll(QByteArray(16 * 1024, 'x')));
    ASSERT_TRUE(link.device->writeAll("more\r"));
    EXPECT_TRUE(link.waitStatus("com send failed, client not connected; " + dropped));
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
    }
    EXPECT_EQ(n, -1) << "a clean end (FIN) instead of a reset";
    EXPECT_EQ(errno, ECONNRESET);
    ::close(fd);
}
