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

TEST(ConnectionLifecycle, ConnectCloseAndListenAgainOnBothListeners) {
    LinkRig link;
    ASSERT_TRUE(link.start("3"));
    frmZVServer& w = *link.w;
    EXPECT_EQ(w.shpPort1->FillColor(), 65535u);
    EXPECT_EQ(w.shpPort2->FillColor(), 65535u);

    TcpClient c1;
    ASSERT_TRUE(link.connect(c1, link.p1, link.sock1));
    const qintptr id1 = link.sock1.SocketHandle();
    EXPECT_EQ(link.status(), QStringLiteral("client %1 connected on port 1").arg(id1));
    EXPECT_EQ(w.shpPort1->FillColor(), 65280u);
    EXPECT_EQ(w.shpPort2->FillColor(), 65535u);

    TcpClient c2;
    ASSERT_TRUE(link.connect(c2, link.p2, link.sock2));
    const qintptr id2 = link.sock2.SocketHandle();
    EXPECT_EQ(link.status(), QStringLiteral("client %1 connected to port 2").arg(id2));
    EXPECT_EQ(w.shpPort2->FillColor(), 65280u);

    c1.close();
    ASSERT_TRUE(link.waitStatus("listening on port 1"));
    EXPECT_EQ(link.sock1.State(), sck::Listening);
    EXPECT_EQ(w.shpPort1->FillColor(), 65535u);
    EXPECT_EQ(link.sock2.State(), sck::Connected) << "the other listener is untouched";

    c2.reset();  // a reset is a close too
    ASSERT_TRUE(link.waitStatus("listening on port 2"));
    EXPECT_EQ(w.shpPort2->FillColor(), 65535u);
    EXPECT_EQ(link.sock2.LocalPort(), link.p2);
}

TEST(ConnectionLifecycle, SecondClientRefusedWhileTheFirstIsServedThenAdmitted) {
    LinkRig link;
    ASSERT_TRUE(link.start("1"));
    TcpClient first;
    ASSERT_TRUE(link.connect(first, link.p1, link.sock1));
    TcpClient second(2000);
    EXPECT_FALSE(second.connect(link.p1));
    EXPECT_EQ(second.error(), QAbstractSocket::ConnectionRefusedError);
    EXPECT_TRUE(link.status().endsWith(" connected on port 1"));

    first.close();
    ASSERT_TRUE(link.waitStatus("listening on port 1"));
    TcpClient third;
    ASSERT_TRUE(link.connect(third, link.p1, link.sock1));
    EXPECT_EQ(link.status(),
              QStringLiteral("client %1 connected on port 1").arg(link.sock1.SocketHandle()));
    EXPECT_EQ(link.w->shpPort1->FillColor(), 65280u);
}

TEST(ConnectionLifecycle, ModeTwoStillSaysPortOne) {
    LinkRig link;
    ASSERT_TRUE(link.start("2"));
    EXPECT_EQ(link.sock1.LocalPort(), link.p2);
    TcpClient client;
    ASSERT_TRUE(link.connect(client, link.p2, link.sock1));
    EXPECT_TRUE(link.status().endsWith(" connected on port 1")) << link.status().toStdString();
    client.close();
    ASSERT_TRUE(link.waitStatus("listening on port 1"));
}

// The fake shows the steps between: the status as each call came.
class LifecycleWithFakes : public ::testing::Test {
  protected:
    void SetUp() override {
        rig.set("com port", "0");
        rig.set("netport", "3");
        rig.set("autoconnect", "1");
        rig.set("TCP Port", "9001");
        rig.set("TCP Port 2", "9002");
        rig.plug1 = &fake1;
        rig.plug2 = &fake2;
        w = &rig.load();
    }
    QString status() const { return w->lblStatus->text(); }
    test::ServerRig rig;
    FakeWinsock fake1, fake2;
    frmZVServer* w = nullptr;
};

TEST_F(LifecycleWithFakes, RequestIdAndTheTextsOfEachStep) {
    ASSERT_EQ(fake1.state, sck::Listening);
    fake1.calls.clear();
    emit fake1.connectionRequest(640);
    EXPECT_EQ(fake1.calls, QStringList({"Close", "Accept 640"}));
    EXPECT_EQ(status(), "client 640 connected on port 1");
    EXPECT_EQ(w->shpPort1->FillColor(), 65280u);
    emit fake2.connectionRequest(640);
    EXPECT_EQ(status(), "client 640 connected to port 2");
    EXPECT_EQ(w->shpPort2->FillColor(), 65280u);

    // Client left: "port 1 closed" stands while Listen runs.
    QString atListen;
    fake1.calls.clear();
    fake1.state = sck::Closing;
    fake1.onListen = [&] { atListen = status(); };
    emit fake1.peerClosed();
    EXPECT_EQ(fake1.calls, QStringList({"Close", "Listen"}));
    EXPECT_EQ(atListen, "port 1 closed");
    EXPECT_EQ(status(), "listening on port 1");
    EXPECT_EQ(w->shpPort1->FillColor(), 65535u);
    fake2.onListen = [&] { atListen = status(); };
    emit fake2.peerClosed();
    EXPECT_EQ(atListen, "port 2 closed");
    EXPECT_EQ(status(), "listening on port 2");
}

TEST_F(LifecycleWithFakes, AcceptFailureShowsTheTrapText) {
    fake1.failAccept = true;
    emit fake1.connectionRequest(7);
    EXPECT_EQ(status(), "port 1 connection request error");
    fake2.failListen = true;
    emit fake2.peerClosed();
    EXPECT_EQ(status(), "port 2 close error");
    EXPECT_EQ(fake2.state, sck::Closed) << "steps before the error stay done";
}

TEST_F(LifecycleWithFakes, ErrorStateNineTurnsTheLampRed) {
    fake1.state = sck::Error;
    emit fake1.socketError(10053, "Connection is aborted");
    EXPECT_EQ(status(), "port 1 winsock error");
    EXPECT_EQ(w->shpPort1->FillColor(), 255u);
    EXPECT_EQ(fake1.calls.filter("Listen").size(), 1) << "not made to listen again";
    fake2.state = sck::Error;
    emit fake2.socketError(10053, "Connection is aborted");
    EXPECT_EQ(status(), "port 2 winsock error");
    EXPECT_EQ(w->shpPort2->FillColor(), 255u);
    EXPECT_TRUE(rig.dialogs.shown.empty()) << "error record 0: no box";
}

TEST_F(LifecycleWithFakes, ErrorInAnyOtherStateChangesNothing) {
    for (std::int16_t state : {sck::Closed, sck::Listening, sck::Connected, sck::Closing}) {
        SCOPED_TRACE(state);
        w->lblStatus->setText("before");
        fake1.state = state;
        emit fake1.socketError(10053, "Connection is aborted");
        EXPECT_EQ(status(), "before");
        EXPECT_EQ(w->shpPort1->FillColor(), 65535u);
    }
    EXPECT_TRUE(rig.dialogs.shown.empty());
}

TEST_F(LifecycleWithFakes, ErrorRecordWithANumberShowsTheWinsockBox) {
    w->errorRecord() = {5, QStringLiteral("Invalid procedure call or argument")};
    rig.dialogs.expectBoxes(1);
    emit fake1.socketError(10053, "Connection is aborted");
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_EQ(rig.dialogs.shown[0].text,
              "VB6 error (winsock): 5 - Invalid procedure call or argument");
    EXPECT_EQ(rig.dialogs.shown[0].flags, 0);
    EXPECT_EQ(rig.dialogs.shown[0].title, "Tandro ZV Server");
    // A trapped handler clears the record when it ends.
    emit fake1.connectionRequest(9);
    EXPECT_EQ(w->errorRecord().number, 0);
}
