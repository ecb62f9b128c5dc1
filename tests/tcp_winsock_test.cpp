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
// with Close() + Accept() and one pass of the event loop; the peer's close
// optionally re-listens with Close() + Listen().
struct Served {
    TcpWinsock w;
    QStringList events;  // "request", "data", "peer", "error" in arrival order
    QByteArray data;     // everything GetData() returned
    int failure = 0;     // number of an error raised inside a handler
    bool accept = true;
    bool relisten = false;

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
        QObject::connect(&w, &zv::Winsock::peerClosed, [this] {
            events << "peer";
            if (relisten)
                failure = errorOf([&] {
                    w.Close();
                    w.Listen();
                });
        });
        QObject::connect(&w, &zv::Winsock::socketError,
                         [this](int, const QString&) { events << "error"; });
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
    if (::getsockopt(static_cast<int>(fd), level, name, &value, &size) != 0) return -1;
    return value;
}

QByteArray allByteValues() {
    QByteArray bytes;
    for (int i = 0; i < 256; ++i) bytes.append(static_cast<char>(i));
    return bytes;
}

// --- Listening and the connection lifecycle --------------------------------

TEST(TcpWinsockLifecycle, ServesOneClientRefusesASecondAndAdmitsItAfterThePeerLeft) {
    Served s;
    s.relisten = true;
    const quint16 port = s.listen();
    ASSERT_NE(port, 0);
    EXPECT_EQ(s.w.State(), sck::Listening);

    TcpClient first;
    ASSERT_TRUE(s.serve(first, port));
    EXPECT_EQ(s.failure, 0);
    EXPECT_NE(s.w.SocketHandle(), -1);

    TcpClient second;
    EXPECT_FALSE(second.connect(port));
    EXPECT_EQ(second.error(), QAbstractSocket::ConnectionRefusedError);
    EXPECT_EQ(s.w.State(), sck::Connected);

    ASSERT_TRUE(first.send("tail"));
    first.close();
    ASSERT_TRUE(s.waitFor("peer"));
    QTest::qWait(100);  // room for a duplicate close event
    EXPECT_EQ(s.events, QStringList({"request", "data", "peer"}));
    EXPECT_EQ(s.data, "tail");
    EXPECT_EQ(s.failure, 0);
    EXPECT_EQ(s.w.State(), sck::Listening);
    EXPECT_EQ(s.w.LocalPort(), port);

    TcpClient third;
    EXPECT_TRUE(s.serve(third, port));
}

TEST(TcpWinsockLifecycle, PeerCloseLeavesState8UntilOurClose) {
    Served s;
    TcpClient client;
    ASSERT_TRUE(s.serve(client, s.listen()));
    client.close();
    ASSERT_TRUE(s.waitFor("peer"));
    EXPECT_EQ(s.w.State(), sck::Closing);
    EXPECT_EQ(errorOf([&] { s.w.SendData("x"); }), zv::errc::NotConnected);
    s.w.Close();
    EXPECT_EQ(s.w.State(), sck::Closed);
    EXPECT_EQ(s.events.count("peer"), 1);
}

TEST(TcpWinsockLifecycle, AResetByTheClientEndsAsPeerCloseNotAsError) {
    Served s;
    s.relisten = true;
    const quint16 port = s.listen();
    TcpClient client;
    ASSERT_TRUE(s.serve(client, port));
    ASSERT_TRUE(client.reset());
    ASSERT_TRUE(s.waitFor("peer"));
    QTest::qWait(100);
    EXPECT_EQ(s.events, QStringList({"request", "peer"}));
    EXPECT_EQ(s.w.State(), sck::Listening);
}

TEST(TcpWinsockLifecycle, OurOwnCloseIsNeverReportedAsThePeers) {
    Served s;
    TcpClient client;
    ASSERT_TRUE(s.serve(client, s.listen()));
    ASSERT_TRUE(client.send("unread"));  // unread input makes the kernel send a reset
    s.w.Close();
    s.w.Close();  // harmless when closed
    EXPECT_EQ(s.w.State(), sck::Closed);
    EXPECT_TRUE(client.waitForClose());
    QTest::qWait(100);
    EXPECT_EQ(s.events.count("peer"), 0);
    EXPECT_EQ(s.events.count("error"), 0);
    EXPECT_EQ(s.w.GetData(), QString());
}

TEST(TcpWinsockLifecycle, ADeclinedRequestHasItsDescriptorClosed) {
    Served s;
    s.accept = false;  // the handler only calls Close()
    const quint16 port = s.listen();
    TcpClient client;
    ASSERT_TRUE(client.connect(port));
    ASSERT_TRUE(s.waitFor("request"));
    EXPECT_TRUE(client.waitForClose());
    EXPECT_EQ(s.w.State(), sck::Closed);
}

TEST(TcpWinsockLifecycle, AcceptOnlyTakesARequestBeingDelivered) {
    Served s;
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
}

TEST(TcpWinsockLifecycle, NamesTheMachine) {
    TcpWinsock w;
    EXPECT_FALSE(w.LocalHostName().isEmpty());
    QHostAddress ip;
    ASSERT_TRUE(ip.setAddress(w.LocalIP()));
    EXPECT_EQ(ip.protocol(), QAbstractSocket::IPv4Protocol);
}

// --- Data path ---------------------------------------------------------------

TEST(TcpWinsockData, EveryByteValueCrossesBothWaysUnchanged) {
    Served s;
    TcpClient client;
    ASSERT_TRUE(s.serve(client, s.listen()));
    const QByteArray all = allByteValues();

    ASSERT_TRUE(client.send(all));
    ASSERT_TRUE(QTest::qWaitFor([&] { return s.data.size() >= all.size(); }, kWaitMs));
    EXPECT_EQ(s.data, all);

    s.w.SendData(QString::fromLatin1(all));
    EXPECT_EQ(client.read(all.size()), all);
    s.w.SendData(QStringLiteral("ab"));
    s.w.SendData(QStringLiteral("c"));
    s.w.SendData(QString());
    s.w.SendData(QString::fromUtf16(u"x\u20ACy"));  // no single byte for the euro sign
    EXPECT_EQ(client.read(6), "abcx?y");

    // Nothing trails the last message: the server's close follows it directly.
    ASSERT_TRUE(QTest::qWaitFor([&] { return s.w.BytesToWrite() == 0; }, kWaitMs));
    s.w.SendData(QStringLiteral("end"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return s.w.BytesToWrite() == 0; }, kWaitMs));
    s.w.Close();
    ASSERT_TRUE(client.waitForClose());
    EXPECT_EQ(client.read(0), "end");
}

TEST(TcpWinsockData, AcceptedSocketHasNoDelayAndShortKeepalive) {
    Served s;
    TcpClient client;
    ASSERT_TRUE(s.serve(client, s.listen()));
    const qintptr fd = s.w.SocketHandle();
    EXPECT_NE(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_NE(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 60);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 10);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
}

// A client that never reads: every byte sent is in exactly one place, Qt's
// queue (BytesToWrite), our kernel send queue, or the client's receive queue.
TEST(TcpWinsockData, BytesToWriteCountsWhatTheKernelHasNotTaken) {
    Served s;
    const quint16 port = s.listen();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(s.waitFor("request"));
    ASSERT_EQ(s.w.State(), sck::Connected);

    const QString piece(64 * 1024, QLatin1Char('z'));
    qint64 sent = 0;
    for (int i = 0; i < 512; ++i) {  // 32 MiB
        s.w.SendData(piece);
        sent += piece.size();
        QCoreApplication::processEvents();
    }
    const int server = static_cast<int>(s.w.SocketHandle());
    auto inKernel = [&] {
        int unsent = 0;
        int unread = 0;
        if (::ioctl(server, SIOCOUTQ, &unsent) != 0 || ::ioctl(fd, FIONREAD, &unread) != 0) {
            return qint64(-1);
        }
        return qint64(unsent) + unread;
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
