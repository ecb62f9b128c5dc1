// Options and Help menus: standing choices for the next start, the key.
#include <QAction>

#include "app/dialogs.h"
#include "app/frmZVServer.h"
#include "core/qt_cipher.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/stored_settings.h"

namespace zv {

void frmZVServer::mnuMinimized_Click() {
    // A failed write is reported like the other options rather than ending
    // the program.
    trapBox(QStringLiteral("VB6 runtime error (mnuMinimized_Click): "), [&] {
        if (winstate == QLatin1String("0")) {
            mnuMinimized->setChecked(true);
            winstate = QStringLiteral("1");
        } else if (winstate == QLatin1String("1")) {
            mnuMinimized->setChecked(false);
            winstate = QStringLiteral("0");
        } else {
            return;
        }
        settings_.SaveSetting(QStringLiteral("WindowState"), winstate);
    });
}

void frmZVServer::mnuNetAutoconnect_Click() {
    trapBox(QStringLiteral("VB6 runtime error (mnuAutoconnect_Click): "), [&] {
        if (autoconnect == QLatin1String("0")) {
            autoconnect = QStringLiteral("1");
            mnuNetAutoconnect->setChecked(true);
            settings_.SaveSetting(QStringLiteral("autoconnect"), QStringLiteral("1"));
        } else if (autoconnect == QLatin1String("1")) {
            autoconnect = QStringLiteral("0");
            mnuNetAutoconnect->setChecked(false);
            settings_.SaveSetting(QStringLiteral("autoconnect"), QStringLiteral("0"));
        }
    });
}

// Client messages reach the device as they came (binary protocols) or under
// the text rules; in force at once, from the next message on.
void frmZVServer::mnuTransparent_Click() {
    trapBox(QStringLiteral("VB6 runtime error (mnuTransparent_Click): "), [&] {
        const bool on = !mnuTransparent->isChecked();
        settings_.SaveSetting(QStringLiteral("transparent"),
                              on ? QStringLiteral("1") : QStringLiteral("0"));
        mnuTransparent->setChecked(on);
        relay_.setTransparent(on);
    });
}

void frmZVServer::mnuChangeKey_Click() {
    trapBox(QStringLiteral("VB6 runtime error (mnuChangeKey_Click): "), [&] {
        const QString answer = dialogs_.InputBox(
            QStringLiteral(
                "Enter a new encryption key. The same key must be entered in Tandro Zelvane."),
            kAppTitle, QString());
        if (answer.isEmpty()) return;
        Password = answer;  // in force at once, as typed, blanks included
        relay_.setPassPhrase(answer);
        settings_.SaveSetting(QStringLiteral("Password"), EncryptText(answer, kStorePassPhrase));
    });
}

void frmZVServer::mnuHelpAbout_Click() {
    dialogs_.MsgBox(QStringLiteral("Tandro ZV Server %1\n\n"
                                   "Links one serial port to network clients over TCP, "
                                   "every message encrypted under a shared pass phrase.\n\n"
                                   "Settings file:\n%2")
                        .arg(QStringLiteral(ZV_VERSION), settings_.path()),
                    mb::Information, QStringLiteral("About Tandro ZV Server"));
}

}  // namespace zv
