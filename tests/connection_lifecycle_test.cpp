// Connection lifecycle: statuses and lamps through connect, client close,
// re-listen, a refused second client and the error state.
#include <gtest/gtest.h>

#include "app/lamp.h"
#include "support/fake_winsock.h"
#include "support/link_rig.h"

using namespace zv;
using test::FakeWinsock;
using test::LinkRig;
using test::TcpClient;

// Real sockets: a second client is refused while the first is served and
// admitted once it left; a reset is a close too. (Lamps and the steps
// between: the fakes below.)
TEST(ConnectionLifecycle, ConnectRefuseCloseAndListenAgainOnBothListeners) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    TcpClient c1, c2, refused(2000), again;
    ASSERT_TRUE(link.connect(c1, link.p1, link.sock1));
    EXPECT_EQ(link.status(),
              QStringLiteral("client %1 connected on port 1").arg(link.sock1.SocketHandle()));
    EXPECT_FALSE(refused.connect(link.p1));
    EXPECT_EQ(refused.error(), QAbstractSocket::ConnectionRefusedError);
    ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));
    EXPECT_EQ(link.status(),
              QStringLiteral("client %1 connected to port 2").arg(link.sock2.SocketHandle()));

    c1.close();
    ASSERT_TRUE(link.waitStatus("listening on port 1"));
    EXPECT_EQ(link.w->shpPort1->FillColor(), 65535u);
    EXPECT_EQ(link.sock2.State(), sck::Connected) << "the other listener is untouched";
    ASSERT_TRUE(link.connect(again, link.p1, link.sock1));
    EXPECT_EQ(link.w->shpPort1->FillColor(), 65280u);
    c2.reset();
    ASSERT_TRUE(link.waitStatus("listening on port 2"));
    EXPECT_EQ(link.sock2.LocalPort(), link.p2);
}

// Fakes show the steps between (the status as each call came) and the error
// state 9 that a real socket cannot be driven into.
TEST(ConnectionLifecycle, EachStepAndErrorOfBothListenersWithFakes) {
    test::ServerRig rig;
    FakeWinsock fake1, fake2;
    rig.plug1 = &fake1;
    rig.plug2 = &fake2;
    rig.set("com port", "0");
    rig.set("netport", "3");
    rig.set("autoconnect", "1");
    frmZVServer& w = rig.load();
    const auto status = [&] { return w.lblStatus->text(); };
    const struct {
        FakeWinsock& fake;
        Lamp* lamp;
        QString n;  // the port in the texts
        const char* connected;
    } listeners[] = {{fake1, w.shpPort1, "1", "client 640 connected on port 1"},
                     {fake2, w.shpPort2, "2", "client 640 connected to port 2"}};
    for (const auto& l : listeners) {
        SCOPED_TRACE(l.n.toStdString());
        ASSERT_EQ(l.fake.state, sck::Listening);
        l.fake.calls.clear();
        emit l.fake.connectionRequest(640);
        EXPECT_EQ(l.fake.calls, QStringList({"Close", "Accept 640"}));
        EXPECT_EQ(status(), l.connected);
        EXPECT_EQ(l.lamp->FillColor(), 65280u);

        // Client left: "port N closed" stands while Listen runs.
        QString atListen;
        l.fake.calls.clear();
        l.fake.state = sck::Closing;
        l.fake.onListen = [&] { atListen = status(); };
        emit l.fake.peerClosed();  // handled after what the client sent before
        EXPECT_TRUE(QTest::qWaitFor([&] { return !l.fake.calls.isEmpty(); }, 5000));
        EXPECT_EQ(l.fake.calls, QStringList({"Close", "Listen"}));
        EXPECT_EQ(atListen, "port " + l.n + " closed");
        EXPECT_EQ(status(), "listening on port " + l.n);
        EXPECT_EQ(l.lamp->FillColor(), 65535u);

        // An error changes nothing but in state 9: red lamp, no listening
        // again, no box (the error record is empty).
        l.fake.calls.clear();
        for (std::int16_t state : {sck::Closed, sck::Listening, sck::Connected, sck::Closing}) {
            l.fake.state = state;
            emit l.fake.socketError(10053, "Connection is aborted");
            EXPECT_EQ(status(), "listening on port " + l.n) << state;
        }
        EXPECT_EQ(l.lamp->FillColor(), 65535u);
        l.fake.state = sck::Error;
        emit l.fake.socketError(10053, "Connection is aborted");
        EXPECT_EQ(status(), "port " + l.n + " winsock error");
        EXPECT_EQ(l.lamp->FillColor(), 255u);
        EXPECT_TRUE(l.fake.calls.isEmpty());

        // Failing steps show the trap's text; steps before stay done.
        l.fake.failAccept = l.fake.failListen = true;
        emit l.fake.connectionRequest(7);
        EXPECT_EQ(status(), "port " + l.n + " connection request error");
        emit l.fake.peerClosed();
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return status() == "port " + l.n + " close error"; }, 5000));
        EXPECT_EQ(l.fake.state, sck::Closed);
    }
    EXPECT_TRUE(rig.dialogs.shown.empty());

    // A number in the error record shows the winsock box; a trapped handler
    // clears the record when it ends.
    w.errorRecord() = {5, QStringLiteral("Invalid procedure call or argument")};
    rig.dialogs.expectBoxes(1);
    emit fake1.socketError(10053, "Connection is aborted");
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_EQ(rig.dialogs.shown[0].text,
              "VB6 error (winsock): 5 - Invalid procedure call or argument");
    EXPECT_EQ(rig.dialogs.shown[0].flags, 0);
    EXPECT_EQ(rig.dialogs.shown[0].title, "Tandro ZV Server");
    fake1.failAccept = false;
    emit fake1.connectionRequest(9);
    EXPECT_EQ(w.errorRecord().number, 0);
}
