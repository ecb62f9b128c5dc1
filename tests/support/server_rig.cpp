#include "support/server_rig.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>

#include "app/data_pane.h"
#include "app/lamp.h"

namespace zv::test {

QString ServerRig::status() const {
    return window->statusLine->text();
}

bool ServerRig::link(const char* mode, const char* autoconnect) {
    if (!prepare(mode, autoconnect)) return false;
    load();
    device = std::make_unique<RawTty>(pty->b());
    EXPECT_TRUE(device->ok()) << device->error().toStdString();
    EXPECT_TRUE(comm->isOpen()) << "COM3: " << status().toStdString();
    return device->ok() && comm->isOpen();
}

void ServerRig::beginRun() {
    rxNet_ = window->netPane->model().Text();
    rxCom_ = window->comPane->model().Text();
}

void ServerRig::before(const Step& s) {
    const QString act = s.act;
    boxes_ = s.box.isEmpty() ? 0 : act.startsWith("key") ? s.in.size() : 1;
    dialogs.clear();
    dialogs.expectBoxes(int(boxes_));
    if (!s.prompt.isEmpty()) dialogs.answer(s.answer);
}

bool ServerRig::act(const Step& s) {
    MainWindow& w = *window;
    const QString act = s.act, in = QString::fromLatin1(s.in);
    if (act.startsWith("key")) {
        QTest::keyClicks(act.endsWith('1') ? w.netPane : w.comPane, in);
    } else if (auto* item = act == "click" ? w.findChild<QAction*>(in) : nullptr) {
        item->trigger();
    } else if (auto* button = act == "click" ? w.findChild<QPushButton*>(in) : nullptr) {
        button->click();
    } else {
        ADD_FAILURE() << "no such act: " << s.act;
        return false;
    }
    return true;
}

void ServerRig::check(const Step& s) {
    MainWindow& w = *window;
    const auto ports = [&](QString t) {
        return t.replace("{p1}", QString::number(p1)).replace("{p2}", QString::number(p2));
    };
    // A pane is looked at when the step names what it gains; what changed
    // meanwhile shows there.
    EXPECT_TRUE(s.rxNet.isEmpty() ||
                settles([&] { return w.netPane->model().Text(); }, rxNet_ += s.rxNet));
    EXPECT_TRUE(s.rxCom.isEmpty() ||
                settles([&] { return w.comPane->model().Text(); }, rxCom_ += s.rxCom));
    const QList<std::uint32_t> colours{colour::Yellow, colour::Green, colour::Red,
                                       colour::WindowBackground};
    QString lamps, marks;
    for (const Lamp* lamp : {w.lamp1, w.lamp2})
        lamps += "?YGR-"[colours.indexOf(lamp->FillColor()) + 1];
    for (const QAction* a : {w.port1Action, w.port2Action, w.bothPortsAction})
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
    EXPECT_EQ(shown, boxes_);
}

}  // namespace zv::test
