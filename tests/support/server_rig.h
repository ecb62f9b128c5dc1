#pragma once
// The window with real controls (serial port, two TCP listeners) over a
// settings store in a temporary folder, and scripted boxes; with link(), the
// whole link: COM3 on a socat pseudo-terminal and both listeners on free
// loopback ports; with run(), tables of steps that each go a whole path.
#include <gtest/gtest.h>
#include <QTcpServer>
#include <QTemporaryDir>
#include <array>
#include <functional>
#include <memory>

#include "app/frmZVServer.h"
#include "cipher/error.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/stored_settings.h"
#include "net/tcp_server.h"
#include "serial/serial_line.h"
#include "support/pty_pair.h"
#include "support/scripted_dialogs.h"
#include "support/tcp_client.h"

namespace zv::test {

// A TCP port nobody listens on right now.
inline quint16 freePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// One step of a whole path: an act, then what must come of it. Empty
// expectations are not looked at now; bytes that come unexpected show up in
// the next step that reads the same place.
struct Step {
    // "dev": the device sends `in`; "c1"/"c2": client 1/2 sends `in` as an
    // openssl envelope under the window's key; "raw1"/"raw2": sends `in` as
    // it stands; "key1"/"key2": `in` typed into Rx from Net / Rx from Com;
    // "click": the menu item or button named `in`; "join1"/"join2": client
    // 1/2 connects to port 1/2 and is served; "leave1", "reset2": it closes
    // (FIN) or resets; "refused1": another client is refused on port 1,
    // "refused2" on port 2; "comoff": the serial port closes; with fake
    // socket controls, "request1" raises a connection request with id `in`,
    // "gone1" the client's close, "error1" a socket error in state `in`;
    // "": nothing.
    const char* act = "";
    QByteArray in{};
    QString answer{};          // what an input box answers (empty: Cancel)
    QString prompt{};          // the input box's prompt
    QByteArray dev{};          // the bytes the device gets
    QByteArray to1{}, to2{};   // what clients 1 and 2 get, decrypted
    QString status{};          // lblStatus afterwards; #: the request id, {p1} {p2}: the ports
    QString rxNet{}, rxCom{};  // what the panes Rx from Net and Rx from Com gain
    QString box{};             // the start of every message box shown (one per key typed)
    QString lamps{};           // shpPort1 and shpPort2: Y yellow, G green, R red, - closed
    QString marks{};           // check marks of TCP Port 1, TCP Port 2, Both: "100"
    QString stored{};          // "key=value;..." the store holds afterwards
};

struct ServerRig {
    ServerRig()
        : settingsPath(dir.path() + "/Tandro ZV Server/Tandro ZV Server.ini"),
          settings(std::make_unique<SettingsStore>(settingsPath)) {}
    ~ServerRig() { shut(); }
    // Builds the relay and the window (not yet loaded) over the store as it stands.
    frmZVServer& open() {
        shut();
        auto line = std::make_unique<SerialLine>(comDeviceResolver(*settings));
        comm = line.get();
        std::unique_ptr<TcpServer> real1 = std::make_unique<ListeningSocket>(),
                                   real2 = std::make_unique<ListeningSocket>();
        server1 = real1.get(), server2 = real2.get();
        relay =
            std::make_unique<Relay>(std::move(line), plug1 ? std::move(plug1) : std::move(real1),
                                    plug2 ? std::move(plug2) : std::move(real2));
        window = std::make_unique<frmZVServer>(dialogs, *settings, *relay);
        return *window;
    }
    // open(), then Form_Load with `boxes` message boxes allowed.
    frmZVServer& load(int boxes = 0) {
        open();
        dialogs.expectBoxes(boxes);
        window->Form_Load();
        return *window;
    }
    // Ends the window and the relay, as at program end; the store stays.
    void shut() {
        window.reset();
        relay.reset();
    }
    QString get(const QString& key, const QString& def = QStringLiteral("<none>")) const {
        return settings->GetSetting(key, def);
    }
    void set(const QString& key, const QString& value) { settings->SaveSetting(key, value); }
    // Stores `value` unquoted, as an operator's editor would: QSettings reads
    // one with commas as a list.
    void setByHand(const QString& key, const QByteArray& value) {
        set(key, "");  // the file made private, with "key=" in it
        QFile file(settingsPath);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        const QByteArray entry = '\n' + key.toUtf8().toPercentEncoding() + '=';
        const QByteArray text = file.readAll().replace(entry + '\n', entry + value + '\n');
        EXPECT_TRUE(file.seek(0) && file.write(text) == text.size());  // only longer
    }
    // Loads the window with COM3 on a pseudo-terminal whose far end is
    // `device`, in listener mode `mode` on p1 and p2; false (with a test
    // failure) when a part did not come up.
    bool link(const char* mode = "3", const char* autoconnect = "1");
    // What listener n (1 or 2) is doing.
    ListenerState state(int n) const { return relay->state(n - 1); }
    QString status() const;
    // Connects `client` to `port` and waits until listener n serves it.
    bool serve(TcpClient& client, quint16 port, int n) {
        return client.connect(port) &&
               QTest::qWaitFor([&] { return state(n) == ListenerState::Connected; }, 10000);
    }
    // Does each step and checks what came of it.
    void run(const std::vector<Step>& steps);
    TcpClient& client(int n) {
        return *(clients_[n - 1] ? clients_[n - 1]
                                 : clients_[n - 1] = std::make_unique<TcpClient>());
    }

    QTemporaryDir dir;
    QString settingsPath;
    std::unique_ptr<SettingsStore> settings;
    ScriptedDialogs dialogs;
    std::unique_ptr<Relay> relay;
    SerialLine* comm = nullptr;                        // the relay's
    TcpServer *server1 = nullptr, *server2 = nullptr;  // the real ones, unused with plugs
    std::unique_ptr<frmZVServer> window;
    // A listening socket of the test's own in place of a real listener (set
    // before open(), which hands it to the relay).
    std::unique_ptr<TcpServer> plug1, plug2;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<RawTty> device;  // the far end of the serial line after link()
    quint16 p1 = 0, p2 = 0;

  private:
    std::array<std::unique_ptr<TcpClient>, 2> clients_;
    QString requestId_, rxNet_, rxCom_;  // the last request id, what the panes should hold
};

// The number of the error that `f` raises; 0 when none.
template <typename F>
int errorOf(F f) {
    try {
        return f(), 0;
    } catch (const Error& e) {
        return e.number();
    }
}

// Waits until `get()` equals `want`; the failure names the last value.
inline testing::AssertionResult settles(const std::function<QString()>& get, const QString& want,
                                        int ms = 10000) {
    QString last;
    if (QTest::qWaitFor([&] { return (last = get()) == want; }, ms))
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "\"" << last.toStdString() << "\", not \"" << want.toStdString() << "\"";
}

}  // namespace zv::test
