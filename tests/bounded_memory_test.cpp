// Memory stays bounded: a client that never reads while the device streams is
// dropped once its backlog passes the cap, and a device flood with no client
// keeps at most the serial control's input cap, counting what it discards.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <cerrno>

#include <QRegularExpression>
#include "app/data_pane.h"
#include "app/lamp.h"
#include "support/link_rig.h"

using namespace zv;
using test::LinkRig;

namespace {

// A loopback client that connects and then never reads: a tiny receive window.
class SilentClient {
  public:
    explicit SilentClient(quint16 port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int small = 4096;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~SilentClient() { ::close(fd_); }
    bool ok() const { return ok_; }
    // Drains what was queued and waits for the server's FIN or reset.
    bool seesClose(int ms) {
        QElapsedTimer t;
        t.start();
        char buf[65536];
        while (t.elapsed() < ms) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0) return true;
            if (n < 0 && errno == ECONNRESET) return true;
            if (n < 0) QTest::qWait(5);
        }
        return false;
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
};

}  // namespace

TEST(BoundedMemory, ClientThatNeverReadsIsDroppedAtTheBacklogCap) {
    LinkRig link;
    ASSERT_TRUE(link.start("1"));
    constexpr qint64 cap = 64 * 1024;
    link.w->setMaxClientBacklog(cap);
    SilentClient client(link.p1);
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(QTest::qWaitFor([&] { return link.sock1.State() == sck::Connected; }, 5000));

    const QByteArray chunk(8192, 'x');
    // The status at the moment the listener listens again (later serial events
    // go on to say "com send failed, client not connected").
    const QString dropped = "port 1 client stopped reading, disconnected";
    QString atRelisten;
    link.sock1.onListen = [&] { atRelisten = link.status(); };
    qint64 written = 0;
    QElapsedTimer t;
    t.start();
    while (atRelisten.isEmpty() && t.elapsed() < 60000 && written < 256ll << 20) {
        ASSERT_TRUE(link.device->writeAll(chunk));
        written += chunk.size();
        QCoreApplication::processEvents();
        // Bounded at every point, not only at the end.
        ASSERT_LE(link.sock1.BytesToWrite(), cap + link.sock1.largestEnvelope);
    }
    ASSERT_EQ(atRelisten, dropped) << written << " bytes streamed";
    EXPECT_GT(link.sock1.maxBacklog, 0) << "the backlog did build up";
    EXPECT_LE(link.sock1.maxBacklog, cap + link.sock1.largestEnvelope);
    // Nothing silently lost: the client sees its connection end.
    EXPECT_TRUE(client.seesClose(10000));
    // The listener serves again, and a reading client gets the stream.
    EXPECT_EQ(link.sock1.State(), sck::Listening);
    EXPECT_EQ(link.w->shpPort1->FillColor(), colour::Yellow);
    test::TcpClient next;
    ASSERT_TRUE(link.connect(next, link.p1, link.sock1));
    ASSERT_TRUE(link.device->writeAll("after"));
    // Streamed bytes that waited in the serial control may come first.
    QByteArray plain;
    QElapsedTimer u;
    u.start();
    while (!plain.endsWith("after") && u.elapsed() < 10000) {
        for (const QByteArray& e : test::readEnvelopes(next, 1, 1000))
            plain += DecryptText(QString::fromLatin1(e), "ResetNow").toLatin1();
    }
    EXPECT_TRUE(plain.endsWith("after")) << plain.right(20).toStdString();
}

TEST(BoundedMemory, DeviceFloodWithoutClientKeepsAtMostTheInputCap) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    constexpr qint64 cap = 16 * 1024;
    link.rig.comm->setInputCap(cap);

    const qint64 total = 512 * 1024;
    QByteArray flood(total, '\0');
    for (qint64 i = 0; i < total; ++i) flood[i] = char('a' + i % 26);
    for (qint64 off = 0; off < total; off += 8192) {
        ASSERT_TRUE(link.device->writeAll(flood.mid(off, 8192)));
        ASSERT_LE(link.rig.comm->InBufferCount(), cap);
    }
    // Every byte either waits or is counted as discarded, oldest first.
    const QRegularExpression re(
        "^com send failed, client not connected; (\\d+) oldest bytes "
        "discarded$");
    qint64 discarded = -1;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto m = re.match(link.status());
            discarded = m.hasMatch() ? m.captured(1).toLongLong() : -1;
            return discarded + link.rig.comm->InBufferCount() == total;
        },
        10000))
        << link.status().toStdString() << " / waiting " << link.rig.comm->InBufferCount();
    EXPECT_LE(link.rig.comm->InBufferCount(), cap);
    EXPECT_GT(discarded, 0);
    EXPECT_EQ(link.w->txtTxData->model().Text(), "");

    // A client connects: the newest bytes that waited go out with the next event.
    test::TcpClient client;
    ASSERT_TRUE(link.connect(client, link.p1, link.sock1));
    const qint64 waiting = link.rig.comm->InBufferCount();
    ASSERT_TRUE(link.device->writeAll("!"));
    QByteArray plain;
    for (const QByteArray& e : test::readEnvelopes(client, std::min(waiting + 1, cap)))
        plain += DecryptText(QString::fromLatin1(e), "ResetNow").toLatin1();
    // "!" pushed one more byte over the cap when the buffer was full.
    EXPECT_EQ(plain, (flood + "!").right(std::min(waiting + 1, cap)));
    EXPECT_EQ(link.status(), "com data sent to winsock port 1");
}
