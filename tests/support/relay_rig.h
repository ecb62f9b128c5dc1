#pragma once
// The relay on real parts: COM3 on a socat pseudo-terminal whose far end is
// `device`, both listeners on free loopback ports, clients that speak
// envelopes through the real `openssl enc`; with run(), tables of steps that
// each go a whole path. The window rig (server_rig.h) adds the window.
#include <gtest/gtest.h>
#include <QTcpServer>
#include <QTemporaryDir>
#include <array>
#include <functional>
#include <memory>

#include "cipher/error.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/stored_settings.h"
#include "net/tcp_server.h"
#include "serial/serial_line.h"
#include "support/pty_pair.h"
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
    // openssl envelope under the relay's key; "raw1"/"raw2": sends `in` as
    // it stands; "join1"/"join2": client 1/2 connects to port 1/2 and is
    // served; "leave1", "half1", "reset2": it closes (FIN), shuts down its
    // sending side only, or resets; "refused1": another client is refused on
    // port 1, "refused2" on port 2; "comoff": the serial port closes; with
    // fake sockets, "request1" raises a connection request with id `in`,
    // "gone1" the client's end of data, "error1" a socket error. With the
    // window: "key1"/"key2": `in` typed into Rx from Net / Rx from Com;
    // "click": the menu item or button named `in`. "": nothing.
    const char* act = "";
    QByteArray in{};
    QString answer{};          // what an input box answers (empty: Cancel)
    QString prompt{};          // the input box's prompt
    QByteArray dev{};          // the bytes the device gets
    QByteArray to1{}, to2{};   // what clients 1 and 2 get, decrypted
    QString status{};          // the status afterwards; #: the request id, {p1} {p2}: the ports
    QString rxNet{}, rxCom{};  // what the panes Rx from Net and Rx from Com gain
    QString box{};             // the start of every message box shown (one per key typed)
    QString lamps{};           // lamp1 and lamp2: Y yellow, G green, R red, - closed
    QString marks{};           // check marks of TCP Port 1, TCP Port 2, Both: "100"
    QString stored{};          // "key=value;..." the store holds afterwards
};

struct RelayRig {
    RelayRig()
        : settingsPath(dir.path() + "/Tandro ZV Server/Tandro ZV Server.ini"),
          settings(std::make_unique<SettingsStore>(settingsPath)) {}
    virtual ~RelayRig() { relay.reset(); }
    // A relay over the store as it stands (its "com device N" entries).
    Relay& build();
    // build(), with COM3 on a fresh pseudo-terminal pair and listening in
    // `mode` ("1", "2", "3") on p1 and p2; false (with a test failure) when a
    // part did not come up.
    bool start(const char* mode = "3");
    // What listener n (1 or 2) is doing.
    ListenerState state(int n) const { return relay->state(n - 1); }
    virtual QString status() const { return said_; }
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
    QString get(const QString& key, const QString& def = QStringLiteral("<none>")) const {
        return settings->read(key, def);
    }
    void set(const QString& key, const QString& value) { settings->write(key, value); }
    // As a person writes it with an editor: unquoted, QSettings' escapes aside.
    void setByHand(const QString& key, const QByteArray& value) {
        set(key, "");  // the file made private, with "key=" in it
        QFile file(settingsPath);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        const QByteArray entry = '\n' + key.toUtf8().toPercentEncoding() + '=';
        const QByteArray text = file.readAll().replace(entry + '\n', entry + value + '\n');
        EXPECT_TRUE(file.seek(0) && file.write(text) == text.size());  // only longer
    }

    QTemporaryDir dir;
    QString settingsPath;
    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<Relay> relay;
    SerialLine* comm = nullptr;                        // the relay's
    TcpServer *server1 = nullptr, *server2 = nullptr;  // the real ones, unused with plugs
    // A listening socket of the test's own in place of a real listener (set
    // before build(), which hands it to the relay).
    std::unique_ptr<TcpServer> plug1, plug2;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<RawTty> device;  // the far end of the serial line after start()
    quint16 p1 = 0, p2 = 0;

  protected:
    // Ports and COM3 stored, and the pseudo-terminal up; false with a failure.
    bool prepare(const char* mode, const char* autoconnect);
    // The window's acts and checks; without a window no step may name them.
    virtual void beginRun() {}
    virtual void before(const Step&) {}
    virtual bool act(const Step& s);
    virtual void check(const Step& s);
    QString requestId_;  // the last request id

  private:
    std::array<std::unique_ptr<TcpClient>, 2> clients_;
    QString said_;
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
