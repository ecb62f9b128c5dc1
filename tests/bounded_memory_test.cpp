// Memory stays bounded: a client that never reads while the device streams is
// dropped once its backlog passes the cap, and a device flood with no client
// keeps at most the serial control's input cap, counting what it discards.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QRegularExpression>
#include <cerrno>

#include "app/data_pane.h"
#include "app/lamp.h"
#include "support/link_rig.h"

using namespace zv;
using test::LinkRig;

TEST(BoundedMemory, ClientThatNeverReadsIsDroppedAtTheBacklogCap) {
    LinkRig link;
    ASSERT_TRUE(link.start("1"));
    constexpr qint64 cap = 64 * 1024;
    link.w->setMaxClientBacklog(cap);
    // A loopback client with a tiny receive window that never reads.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0), small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(link.p1);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return link.sock1.State() == sck::Connected; }, 5000));

    // The status as the listener listens again (later serial events go on to
    // say "com send failed, client not connected").
    QString atRelisten;
    link.sock1.onListen = [&] { atRelisten = link.status(); };
    qint64 written = 0;
    QElapsedTimer t;
    t.start();
    while (atRelisten.isEmpty() && t.elapsed() < 60000 && written < 256ll << 20) {
        ASSERT_TRUE(link.device->writeAll(QByteArray(8192, 'x')));
        written += 8192;
        QCoreApplication::processEvents();
        // Bounded at every point, not only at the end.
        ASSERT_LE(link.sock1.BytesToWrite(), cap + link.sock1.largestEnvelope);
    }
    ASSERT_EQ(atRelisten, "port 1 client stopped reading, disconnected") << written << " bytes";
    EXPECT_GT(link.sock1.maxBacklog, 0) << "the backlog did build up";
    EXPECT_LE(link.sock1.maxBacklog, cap + link.sock1.largestEnvelope);
    EXPECT_EQ(link.sock1.State(), sck::Listening);
    EXPECT_EQ(link.w->shpPort1->FillColor(), colour::Yellow);
    // Nothing silently lost: the client sees its connection end (FIN or reset).
    char buf[65536];
    ssize_t n = -1;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            return n == 0 || (n < 0 && errno == ECONNRESET);
        },
        10000));
    ::close(fd);
}

TEST(BoundedMemory, DeviceFloodWithoutClientKeepsAtMostTheInputCap) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    constexpr qint64 cap = 16 * 1024, total = 512 * 1024;
    link.rig.comm->setInputCap(cap);
    QByteArray flood(total, '\0');
    for (qint64 i = 0; i < total; ++i) flood[i] = char('a' + i % 26);
    for (qint64 off = 0; off < total; off += 8192) {
        ASSERT_TRUE(link.device->writeAll(flood.mid(off, 8192)));
        ASSERT_LE(link.rig.comm->InBufferCount(), cap);
    }
    // Every byte either waits or is counted as discarded, oldest first.
    const QRegularExpression re(
        "^com send failed, client not connected; (\\d+) oldest bytes discarded$");
    qint64 discarded = -1;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto m = re.match(link.status());
            discarded = m.hasMatch() ? m.captured(1).toLongLong() : -1;
            return discarded + link.rig.comm->InBufferCount() == total;
        },
        10000))
        << link.status().toStdString() << " / waiting " << link.rig.comm->InBufferCount();
    EXPECT_GT(discarded, 0);
    EXPECT_EQ(link.w->txtTxData->model().Text(), "");

    // A client connects: the newest bytes that waited go out with the next event.
    test::TcpClient client;
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    const qint64 sent = std::min(link.rig.comm->InBufferCount() + 1, cap);
    ASSERT_TRUE(link.device->writeAll("!"));
    QByteArray plain;
    for (const QByteArray& e : test::readEnvelopes(client, sent))
        plain += DecryptText(QString::fromLatin1(e), "ResetNow").toLatin1();
    // "!" pushed one more byte over the cap when the buffer was full.
    EXPECT_EQ(plain, (flood + "!").right(sent));
    EXPECT_EQ(link.status(), "com data sent to winsock port 1");
}
