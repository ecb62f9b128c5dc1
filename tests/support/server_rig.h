#pragma once
// The window over the relay rig (relay_rig.h), with scripted boxes: load()
// runs start-up over the store as it stands; link() the whole link, COM3 on
// a socat pseudo-terminal and both listeners on free loopback ports.
#include "app/main_window.h"
#include "support/relay_rig.h"
#include "support/scripted_dialogs.h"

namespace zv::test {

struct ServerRig : RelayRig {
    ~ServerRig() override { shut(); }
    // Builds the relay and the window (not yet loaded) over the store as it stands.
    MainWindow& open() {
        shut();
        build();
        window = std::make_unique<MainWindow>(dialogs, *settings, *relay);
        return *window;
    }
    // open(), then start-up with `boxes` message boxes allowed.
    MainWindow& load(int boxes = 0) {
        open();
        dialogs.expectBoxes(boxes);
        window->startUp();
        return *window;
    }
    // Ends the window and the relay, as at program end; the store stays.
    void shut() {
        window.reset();
        relay.reset();
    }
    // Loads the window with COM3 on a pseudo-terminal whose far end is
    // `device`, in listener mode `mode` on p1 and p2; false (with a test
    // failure) when a part did not come up.
    bool link(const char* mode = "3", const char* autoconnect = "1");
    QString status() const override;

    ScriptedDialogs dialogs;
    std::unique_ptr<MainWindow> window;

  protected:
    void beginRun() override;
    void before(const Step& s) override;
    bool act(const Step& s) override;
    void check(const Step& s) override;

  private:
    QString rxNet_, rxCom_;  // what the panes should hold
    qsizetype boxes_ = 0;    // boxes the step expects
};

}  // namespace zv::test
