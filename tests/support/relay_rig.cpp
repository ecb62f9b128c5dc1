#include "support/relay_rig.h"

#include "support/fake_sockets.h"
#include "support/openssl_cli.h"

namespace zv::test {

Relay& RelayRig::build() {
    relay.reset();
    auto line = std::make_unique<SerialLine>(comDeviceResolver(*settings));
    comm = line.get();
    std::unique_ptr<TcpServer> real1 = std::make_unique<ListeningSocket>(),
                               real2 = std::make_unique<ListeningSocket>();
    server1 = real1.get(), server2 = real2.get();
    relay = std::make_unique<Relay>(std::move(line), plug1 ? std::move(plug1) : std::move(real1),
                                    plug2 ? std::move(plug2) : std::move(real2));
    QObject::connect(relay.get(), &Relay::statusChanged, [this](const QString& s) { said_ = s; });
    relay->setPassPhrase(QStringLiteral("ResetNow"));
    return *relay;
}

bool RelayRig::prepare(const char* mode, const char* autoconnect) {
    pty = std::make_unique<PtyPair>();
    p1 = freePort();
    while ((p2 = freePort()) == p1) {
    }
    const QString values[][2] = {
        {"com device 3", pty->a()},          {"com port", "3"}, {"TCP Port", QString::number(p1)},
        {"TCP Port 2", QString::number(p2)}, {"netport", mode}, {"autoconnect", autoconnect}};
    for (const auto& [key, value] : values) set(key, value);
    EXPECT_TRUE(pty->ok()) << pty->error().toStdString();
    return pty->ok();
}

bool RelayRig::start(const char* mode) {
    if (!prepare(mode, "1")) return false;
    build();
    const bool second = *mode == '2';
    relay->server(0).setLocalPort(second ? p2 : p1);
    relay->server(1).setLocalPort(p2);
    EXPECT_EQ(errorOf([&] {
                  relay->line().open(3);
                  relay->listen(0);
                  if (*mode == '3') relay->listen(1);
              }),
              0);
    device = std::make_unique<RawTty>(pty->b());
    EXPECT_TRUE(device->ok()) << device->error().toStdString();
    return device->ok() && comm->isOpen() && relay->server(0).listening();
}

bool RelayRig::act(const Step& s) {
    ADD_FAILURE() << "no window for " << s.act;
    return false;
}

void RelayRig::check(const Step& s) {
    EXPECT_TRUE(s.rxNet.isEmpty() && s.rxCom.isEmpty() && s.box.isEmpty() && s.lamps.isEmpty() &&
                s.marks.isEmpty() && s.stored.isEmpty())
        << "no window to look at";
}

void RelayRig::run(const std::vector<Step>& steps) {
    const auto ports = [&](QString t) {
        return t.replace("{p1}", QString::number(p1)).replace("{p2}", QString::number(p2));
    };
    beginRun();
    for (const Step& s : steps) {
        const QString act = s.act;
        SCOPED_TRACE(act.toStdString() + " " + s.in.left(60).toPercentEncoding(" ").toStdString());
        const int n = act.endsWith('2') ? 2 : 1;  // the client the act is about
        const QString key = relay->passPhrase();
        before(s);
        if (act == "dev") {
            EXPECT_TRUE(device->writeAll(s.in));
        } else if (act == "c1" || act == "c2") {
            EXPECT_TRUE(client(n).send(opensslEncrypt(s.in, key)));
        } else if (act.startsWith("raw")) {
            EXPECT_TRUE(client(n).send(s.in));
            QTest::qWait(50);  // read on its own, most likely
        } else if (act.startsWith("join")) {
            clients_[n - 1] = std::make_unique<TcpClient>();
            const int listener = n == 2 && get("netport") != "2" ? 2 : 1;
            EXPECT_TRUE(serve(client(n), n == 1 ? p1 : p2, listener));
            requestId_ = QString::number(relay->clientId(listener - 1));
        } else if (act.startsWith("leave")) {
            client(n).close();
        } else if (act.startsWith("half")) {
            EXPECT_EQ(::shutdown(int(client(n).socket().socketDescriptor()), SHUT_WR), 0);
        } else if (act.startsWith("reset")) {
            EXPECT_TRUE(client(n).reset());
        } else if (act.startsWith("refused")) {
            TcpClient other(2000);
            EXPECT_FALSE(other.connect(n == 1 ? p1 : p2));
            EXPECT_EQ(other.error(), QAbstractSocket::ConnectionRefusedError);
        } else if (act.startsWith("request")) {
            emit relay->server(n - 1).connectionRequest(s.in.toInt());
        } else if (auto* fake = dynamic_cast<FakeServer*>(&relay->server(n - 1));
                   fake && fake->last && act.startsWith("gone")) {
            emit fake->last->endOfData();
        } else if (fake && fake->last && act.startsWith("error")) {
            emit fake->last->failed(10053, "Connection is aborted");
        } else if (act == "comoff") {
            comm->close();
        } else if (!act.isEmpty()) {
            (void)this->act(s);
        }
        EXPECT_EQ(s.dev.isEmpty() ? s.dev : device->read(s.dev.size(), 10000), s.dev);
        for (const auto& [c, want] : {std::pair{1, s.to1}, std::pair{2, s.to2}})
            EXPECT_EQ(
                want.isEmpty() ? want : opensslOpen(readEnvelopes(client(c), want.size()), key),
                want)
                << c;
        EXPECT_TRUE(s.status.isEmpty() ||
                    settles([&] { return status(); }, ports(s.status).replace('#', requestId_)));
        check(s);
    }
}

}  // namespace zv::test
