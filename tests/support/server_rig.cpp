#include "support/server_rig.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>

#include "app/data_pane.h"
#include "app/lamp.h"
#include "support/fake_sockets.h"
#include "support/openssl_cli.h"

namespace zv::test {

QString ServerRig::status() const {
    return window->lblStatus->text();
}

bool ServerRig::link(const char* mode, const char* autoconnect) {
    pty = std::make_unique<PtyPair>();
    p1 = freePort();
    while ((p2 = freePort()) == p1) {
    }
    const QString values[][2] = {
        {"com device 3", pty->a()},          {"com port", "3"}, {"TCP Port", QString::number(p1)},
        {"TCP Port 2", QString::number(p2)}, {"netport", mode}, {"autoconnect", autoconnect}};
    for (const auto& [key, value] : values) set(key, value);
    load();
    device = std::make_unique<RawTty>(pty->b());
    EXPECT_TRUE(pty->ok() && device->ok())
        << pty->error().toStdString() << device->error().toStdString();
    EXPECT_TRUE(comm->isOpen()) << "COM3: " << status().toStdString();
    return pty->ok() && device->ok() && comm->isOpen();
}

void ServerRig::run(const std::vector<Step>& steps) {
    frmZVServer& w = *window;
    const auto ports = [&](QString t) {
        return t.replace("{p1}", QString::number(p1)).replace("{p2}", QString::number(p2));
    };
    rxNet_ = w.txtRxData->model().Text();
    rxCom_ = w.txtTxData->model().Text();
    const QList<std::uint32_t> colours{colour::Yellow, colour::Green, colour::Red,
                                       colour::WindowBackground};
    for (const Step& s : steps) {
        const QString act = s.act, in = QString::fromLatin1(s.in);
        SCOPED_TRACE(act.toStdString() + " " + s.in.left(60).toPercentEncoding(" ").toStdString());
        const int n = act.endsWith('2') ? 2 : 1;  // the client the act is about
        const qsizetype boxes = s.box.isEmpty() ? 0 : act.startsWith("key") ? s.in.size() : 1;
        dialogs.clear();
        dialogs.expectBoxes(int(boxes));
        if (!s.prompt.isEmpty()) dialogs.answer(s.answer);
        if (act == "dev") {
            EXPECT_TRUE(device->writeAll(s.in));
        } else if (act == "c1" || act == "c2") {
            EXPECT_TRUE(client(n).send(opensslEncrypt(s.in, w.Password)));
        } else if (act.startsWith("raw")) {
            EXPECT_TRUE(client(n).send(s.in));
            QTest::qWait(50);  // read on its own, most likely
        } else if (act.startsWith("key")) {
            QTest::keyClicks(n == 1 ? w.txtRxData : w.txtTxData, in);
        } else if (auto* item = act == "click" ? w.findChild<QAction*>(in) : nullptr) {
            item->trigger();
        } else if (act == "click") {
            w.findChild<QPushButton*>(in)->click();
        } else if (act.startsWith("join")) {
            clients_[n - 1] = std::make_unique<TcpClient>();
            const int listener = n == 2 && w.netport != "2" ? 2 : 1;
            EXPECT_TRUE(serve(client(n), n == 1 ? p1 : p2, listener));
            requestId_ = QString::number(relay->clientId(listener - 1));
        } else if (act.startsWith("leave")) {
            client(n).close();
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
        } else {
            EXPECT_EQ(act, "") << "no such act";
        }
        EXPECT_EQ(s.dev.isEmpty() ? s.dev : device->read(s.dev.size(), 10000), s.dev);
        for (const auto& [c, want] : {std::pair{1, s.to1}, std::pair{2, s.to2}})
            EXPECT_EQ(want.isEmpty()
                          ? want
                          : opensslOpen(readEnvelopes(client(c), want.size()), w.Password),
                      want)
                << c;
        // A pane is looked at when the step names what it gains; what changed
        // meanwhile shows there.
        EXPECT_TRUE(s.rxNet.isEmpty() ||
                    settles([&] { return w.txtRxData->model().Text(); }, rxNet_ += s.rxNet));
        EXPECT_TRUE(s.rxCom.isEmpty() ||
                    settles([&] { return w.txtTxData->model().Text(); }, rxCom_ += s.rxCom));
        EXPECT_TRUE(s.status.isEmpty() ||
                    settles([&] { return status(); }, ports(s.status).replace('#', requestId_)));
        QString lamps, marks;
        for (const Lamp* lamp : {w.shpPort1, w.shpPort2})
            lamps += "?YGR-"[colours.indexOf(lamp->FillColor()) + 1];
        for (const QAction* a : {w.mnuTCPPort1, w.mnuTCPPort2, w.mnuTCPBoth})
            marks += a->isChecked() ? '1' : '0';
        EXPECT_EQ(s.lamps.isEmpty() ? s.lamps : lamps, s.lamps);
        EXPECT_EQ(s.marks.isEmpty() ? s.marks : marks, s.marks);
        for (const QString& pair : ports(s.stored).split(';', Qt::SkipEmptyParts))
            EXPECT_EQ(get(pair.section('=', 0, 0)), pair.section('=', 1));
        qsizetype shown = 0;
        for (const ShownBox& box : dialogs.shown) {
            const bool input = box.flags == -1;
            shown += !input;
            EXPECT_TRUE(box.text.startsWith(ports(input ? s.prompt : s.box)) &&
                        (input || box.flags == 64))
                << box.text.toStdString();
            EXPECT_EQ(box.title + box.defaultText, "Tandro ZV Server");
        }
        EXPECT_EQ(shown, boxes);
    }
}

}  // namespace zv::test
