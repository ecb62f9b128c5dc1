// Options and Help menus: standing choices for the next start, the key.
#include <QAction>

#include "app/dialogs.h"
#include "app/main_window.h"
#include "core/qt_cipher.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/stored_settings.h"

namespace zv {

namespace {
// A check item over a stored "0"/"1": flipped, shown and written at once.
// Other stored text is left as it stands (the item then does nothing).
void flip(Switch& value, QAction* item, SettingsStore& store, const QString& key) {
    if (value == Switch::Other) return;
    value = value == Switch::Off ? Switch::On : Switch::Off;
    item->setChecked(value == Switch::On);
    store.write(key, value == Switch::On ? QStringLiteral("1") : QStringLiteral("0"));
}
}  // namespace

// A failed write is reported like the other options rather than ending the
// program.
void MainWindow::toggleRunMinimized() {
    trapBox(QStringLiteral("VB6 runtime error (mnuMinimized_Click): "), [&] {
        flip(runMinimized, runMinimizedAction, settings_, QStringLiteral("WindowState"));
    });
}

void MainWindow::toggleAutoListen() {
    trapBox(QStringLiteral("VB6 runtime error (mnuAutoconnect_Click): "),
            [&] { flip(autoListen, autoListenAction, settings_, QStringLiteral("autoconnect")); });
}

// Client messages reach the device as they came (binary protocols) or under
// the text rules; in force at once, from the next message on.
void MainWindow::toggleTransparent() {
    trapBox(QStringLiteral("VB6 runtime error (mnuTransparent_Click): "), [&] {
        const bool on = !transparentAction->isChecked();
        settings_.write(QStringLiteral("transparent"),
                        on ? QStringLiteral("1") : QStringLiteral("0"));
        transparentAction->setChecked(on);
        relay_.setTransparent(on);
    });
}

void MainWindow::changeKey() {
    trapBox(QStringLiteral("VB6 runtime error (mnuChangeKey_Click): "), [&] {
        const QString answer = dialogs_.InputBox(
            QStringLiteral(
                "Enter a new encryption key. The same key must be entered in Tandro Zelvane."),
            kAppTitle, QString());
        if (answer.isEmpty()) return;
        relay_.setPassPhrase(answer);  // in force at once, as typed, blanks included
        settings_.write(QStringLiteral("Password"), EncryptText(answer, kStorePassPhrase));
    });
}

void MainWindow::showAbout() {
    dialogs_.MsgBox(QStringLiteral("Tandro ZV Server %1\n\n"
                                   "Links one serial port to network clients over TCP, "
                                   "every message encrypted under a shared pass phrase.\n\n"
                                   "Settings file:\n%2")
                        .arg(QStringLiteral(ZV_VERSION), settings_.path()),
                    mb::Information, QStringLiteral("About Tandro ZV Server"));
}

}  // namespace zv
