#pragma once
// The window with real controls (serial port, two TCP listeners) over a
// settings store in a temporary folder, and scripted boxes.
#include <QTemporaryDir>
#include <memory>

#include "app/frmZVServer.h"
#include "app/settings_store.h"
#include "net/tcp_winsock.h"
#include "serial/serial_comm.h"
#include "support/scripted_dialogs.h"

namespace zv::test {

// A TCP port nobody listens on right now.
quint16 freePort();

struct ServerRig {
    ServerRig();
    ~ServerRig();

    // Builds the window (not yet loaded) over the store as it stands.
    frmZVServer& open();
    // open(), then Form_Load with `boxes` message boxes allowed.
    frmZVServer& load(int boxes = 0);
    // Ends the window and its controls, as at program end; the store stays.
    void shut();
    QString get(const QString& key, const QString& def = QStringLiteral("<none>")) const {
        return settings->GetSetting(key, def);
    }
    void set(const QString& key, const QString& value) { settings->SaveSetting(key, value); }

    QTemporaryDir dir;
    QString settingsPath;
    std::unique_ptr<SettingsStore> settings;
    ScriptedDialogs dialogs;
    std::unique_ptr<SerialComm> comm;
    std::unique_ptr<TcpWinsock> server1;
    std::unique_ptr<TcpWinsock> server2;
    std::unique_ptr<frmZVServer> window;
    // A socket control of the test's own in place of a real listener (not
    // owned; set before open()). The real one is still built, unused.
    Winsock* plug1 = nullptr;
    Winsock* plug2 = nullptr;
};

}  // namespace zv::test
