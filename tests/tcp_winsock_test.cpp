// The real TCP socket control against real loopback clients.
#include "net/tcp_winsock.h"
#include "cipher/error.h"
#include "support/tcp_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QHostAddress>
#include <QStringList>
#include <QTcpServer>
#include <QTest>

#include <functional>

namespace {

using zv::TcpWinsock;
using zv::test::TcpClient;
namespace sck = zv::sck;
using Events = QStringList;

constexpr int kWaitMs = 5000;

// Runs `call` and gives the number of the zv::Error it raised, 0 when none.
int errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const zv::Error& e) {
        return e.number();
    }
    return 0;
}

// One control with handlers shaped like the window's: a request is served
// with Close() + Accept() and one pass of the event loop. Re-listening from
// the close handler, and a second client refused meanwhile, are checked
// through the window in connection_lifecycle_test.
struct Served {
    TcpWinsock w;
    Events events;    // "request", "data", "peer", "error" in arrival order
    QByteArray data;  // everything GetData() returned
    int failure = 0;  // number of an error raised inside a handler
    bool accept = true;

    Served() {
        QObject::connect(&w, &zv::Winsock::connectionRequest, [this](std::int32_t id) {
            events << "request";
            failure = errorOf([&] {
                w.Close();
                if (accept) w.Accept(id);
            });
            QCoreApplication::processEvents();
        });
        QObject::connect(&w, &zv::Winsock::dataArrival, [this](qint64) {
            events << "data";
            data += w.GetData().toLatin1();
        });
        QObject::connect(&w, &zv::Winsock::peerClosed, [this] { events << "peer"; });
        QObject::connect(&w, &zv::Winsock::socketError, [this] { events << "error"; });
    }
    quint16 listen() {
        w.setLocalPort(0);
        w.Listen();
        return static_cast<quint16>(w.LocalPort());
    }
    bool waitFor(const QString& event, int count = 1) {
        return QTest::qWaitFor([&] { return events.count(event) >= count; }, kWaitMs);
    }
    bool serve(TcpClient& client, quint16 port) {
        const int before = static_cast<int>(events.count("request"));
        return client.connect(port) && waitFor("request", before + 1) &&
               w.State() == sck::Connected;
    }
};

int intOption(qintptr fd, int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    return ::getsockopt(static_cast<int>(fd), level, name, &value, &size) == 0 ? value : -1;
}

// The peer's close, FIN or reset, comes exactly once, after its data, and
// holds state 8 until our Close(); our own close is never reported as the peer's.
TEST(TcpWinsockLifecycle, PeerCloseComesOnceAfterItsDataAndOursNever) {
    Served s;
    TcpClient first;
    ASSERT_TRUE(s.serve(first, s.listen()));
    EXPECT_NE(s.w.SocketHandle(), -1);
    ASSERT_TRUE(first.send("tail"));
    first.close();
    ASSERT_TRUE(s.waitFor("peer"));
    EXPECT_EQ(s.w.State(), sck::Closing);
    EXPECT_EQ(errorOf([&] { s.w.SendData("x"); }), zv::errc::NotConnected);
    s.w.Close();
    EXPECT_EQ(s.w.State(), sck::Closed);

    TcpClient second;
    ASSERT_TRUE(s.serve(second, s.listen()));
    ASSERT_TRUE(second.reset());
    ASSERT_TRUE(s.waitFor("peer", 2));
    s.w.Close();

    TcpClient third;
    ASSERT_TRUE(s.serve(third, s.listen()));
    ASSERT_TRUE(third.send("unread"));  // unread input makes the kernel send a reset
    s.w.Close();
    s.w.Close();  // harmless when closed
    EXPECT_EQ(s.w.State(), sck::Closed);
    EXPECT_TRUE(third.waitForClose());
    QTest::qWait(100);  // room for a duplicate or a wrong event
    EXPECT_EQ(s.events, Events({"request", "data", "peer", "request", "peer", "request"}));
    EXPECT_EQ(s.data, "tail");
    EXPECT_EQ(s.failure, 0);
    EXPECT_EQ(s.w.GetData(), QString());
}

// A request not accepted during its event is closed; Accept takes no other.
TEST(TcpWinsockLifecycle, AcceptTakesOnlyTheRequestBeingDelivered) {
    Served s;
    s.accept = false;  // the handler only calls Close()
    TcpClient declined;
    ASSERT_TRUE(declined.connect(s.listen()));
    ASSERT_TRUE(s.waitFor("request"));
    EXPECT_TRUE(declined.waitForClose());
    EXPECT_EQ(s.w.State(), sck::Closed);

    s.accept = true;
    std::int32_t id = -1;
    QObject::connect(&s.w, &zv::Winsock::connectionRequest, [&](std::int32_t r) { id = r; });
    TcpClient client;
    ASSERT_TRUE(s.serve(client, s.listen()));
    EXPECT_EQ(errorOf([&] { s.w.Accept(id); }), zv::errc::NotConnected);  // already served
    EXPECT_EQ(errorOf([&] { s.w.Accept(id + 1000); }), zv::errc::NotConnected);
    EXPECT_EQ(s.w.State(), sck::Connected);  // a refused Accept leaves the client alone
}

TEST(TcpWinsockLifecycle, WrongStateAndBusyPortRaiseTheirNumbers) {
    TcpWinsock w;
    EXPECT_EQ(errorOf([&] { w.SendData("x"); }), zv::errc::NotConnected);

    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));
    w.setLocalPort(occupier.serverPort());
    try {
        w.Listen();
        ADD_FAILURE() << "Listen on a busy port succeeded";
    } catch (const zv::Error& e) {
        EXPECT_EQ(e.number(), zv::errc::AddressInUse);
        EXPECT_NE(e.description().find(std::to_string(occupier.serverPort())), std::string::npos);
    }
    EXPECT_EQ(w.State(), sck::Closed);

    w.setLocalPort(0);
    w.Listen();
    EXPECT_EQ(errorOf([&] { w.Listen(); }), zv::errc::NotConnected);
    EXPECT_EQ(errorOf([&] { w.SendData("x"); }), zv::errc::NotConnected);
    w.setLocalPort(70000);
    w.Close();
    EXPECT_EQ(errorOf([&] { w.Listen(); }), zv::errc::InvalidPropertyValue);
    EXPECT_EQ(QHostAddress(w.LocalIP()).protocol(), QAbstractSocket::IPv4Protocol);
}

TEST(TcpWinsockData, NoDelayShortKeepaliveAndEveryByteValueBothWays) {
    Served s;
    TcpClient client;
    ASSERT_TRUE(s.serve(client, s.listen()));
    const qintptr fd = s.w.SocketHandle();
    EXPECT_NE(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_NE(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 60);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);

    QByteArray all;
    for (int i = 0; i < 256; ++i) all.append(static_cast<char>(i));

    ASSERT_TRUE(client.send(all));
    ASSERT_TRUE(QTest::qWaitFor([&] { return s.data.size() >= all.size(); }, kWaitMs));
    EXPECT_EQ(s.data, all);

    s.w.SendData(QString::fromLatin1(all));
    EXPECT_EQ(client.read(all.size()), all);
    // One write per message, nothing added; no single byte for the euro sign.
    for (const char16_t* text : {u"ab", u"c", u"", u"x\u20ACy"})
        s.w.SendData(QString::fromUtf16(text));
    EXPECT_EQ(client.read(6), "abcx?y");

    // Nothing trails the last message: the server's close follows it directly.
    s.w.SendData(QStringLiteral("end"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return s.w.BytesToWrite() == 0; }, kWaitMs));
    s.w.Close();
    ASSERT_TRUE(client.waitForClose());
    EXPECT_EQ(client.read(0), "end");
}

// A client that never reads: every byte sent is in exactly one place, Qt's
// queue (BytesToWrite), our kernel send queue, or the client's receive queue.
// bounded_memory_test relies on BytesToWrite for its bound.
TEST(TcpWinsockData, BytesToWriteCountsWhatTheKernelHasNotTaken) {
    Served s;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(s.listen());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(s.waitFor("request"));
    ASSERT_EQ(s.w.State(), sck::Connected);

    const QString piece(64 * 1024, QLatin1Char('z'));
    const qint64 sent = 512 * piece.size();  // 32 MiB
    for (int i = 0; i < 512; ++i) {
        s.w.SendData(piece);
        QCoreApplication::processEvents();
    }
    const int server = static_cast<int>(s.w.SocketHandle());
    auto inKernel = [&] {
        int unsent = 0, unread = 0;
        const bool ok =
            ::ioctl(server, SIOCOUTQ, &unsent) == 0 && ::ioctl(fd, FIONREAD, &unread) == 0;
        return ok ? qint64(unsent) + unread : qint64(-1);
    };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return s.w.BytesToWrite() + inKernel() == sent && inKernel() > 0; }, kWaitMs))
        << "queued " << s.w.BytesToWrite() << " kernel " << inKernel() << " sent " << sent;
    EXPECT_GT(s.w.BytesToWrite(), 0);
    EXPECT_LT(s.w.BytesToWrite(), sent);

    s.w.Close();
    EXPECT_EQ(s.w.BytesToWrite(), 0);
    EXPECT_EQ(::close(fd), 0);
}

}  // namespace
