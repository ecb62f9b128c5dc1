// Start-up: restores every setting, applies the listener mode and the COM
// port through the operator's own handlers, and listens when asked.
#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

#include "app/dialogs.h"
#include "app/frmZVServer.h"
#include "cipher/error.h"
#include "core/qt_cipher.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/stored_settings.h"
#include "core/text_number.h"
#include "net/tcp_server.h"

namespace zv {

namespace {
// "0" unmarks, "1" marks, any other text leaves the mark alone.
void markFrom(QAction* item, const QString& value) {
    if (value == QLatin1String("0")) item->setChecked(false);
    if (value == QLatin1String("1")) item->setChecked(true);
}

// A stored place off every screen (a monitor unplugged since, a hand-edited
// value) would open the window where nobody can reach it: it opens in the
// primary screen's corner instead. A sliver too small to grab counts as off.
void keepOnAScreen(QWidget& window) {
    const QSize kMinVisible(48, 24);  // pixels: enough of the frame to drag
    const QSize size = window.testAttribute(Qt::WA_Resized) ? window.size() : window.sizeHint();
    const QRect place(window.pos(), size);
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (const QScreen* screen : screens) {
        const QRect seen = screen->geometry().intersected(place);
        if (seen.width() >= kMinVisible.width() && seen.height() >= kMinVisible.height()) return;
    }
    if (const QScreen* primary = QGuiApplication::primaryScreen())
        window.move(primary->availableGeometry().topLeft());
}
}  // namespace

void frmZVServer::Form_Load() {
    // Before anything can fail: a later Listen must never bind more widely
    // than the operator asked.
    bindaddress = settings_.GetSetting(QStringLiteral("bind address"), QString()).trimmed();
    relay_.setBindAddress(bindaddress);
    // What start-up mended or found wrong, said after its own last status.
    QStringList notices;
    if (const QString done = settings_.makePrivate(); !done.isEmpty()) notices << done;
    loadTrafficTools(notices);  // allowed clients before any Listen
    try {
        // 1. The encryption key, stored under the fixed store pass phrase and
        //    stored again under a fresh salt at every start. A value that is no
        //    envelope stays as it is: the operator may still recover it.
        const StoredKey key = readKey(settings_);
        Password = key.passPhrase;
        relay_.setPassPhrase(Password);  // keys for the network, ahead
        if (key.envelope) {
            settings_.SaveSetting(QStringLiteral("Password"),
                                  EncryptText(Password, kStorePassPhrase));
        } else {
            dialogs_.MsgBox(QStringLiteral("The stored encryption key could not be read; set it "
                                           "again with Change Encryption Key."),
                            mb::Information, kAppTitle);
        }

        // 2-3. Check-mark options, written back unchanged.
        winstate = settings_.GetSetting(QStringLiteral("WindowState"), QStringLiteral("0"));
        settings_.SaveSetting(QStringLiteral("WindowState"), winstate);
        markFrom(mnuMinimized, winstate);
        autoconnect = settings_.GetSetting(QStringLiteral("autoconnect"), QStringLiteral("0"));
        settings_.SaveSetting(QStringLiteral("autoconnect"), autoconnect);
        markFrom(mnuNetAutoconnect, autoconnect);

        // 4. Position, in twips.
        setTop(toSingle(settings_.GetSetting(QStringLiteral("FormTop"), QStringLiteral("0"))));
        setLeft(toSingle(settings_.GetSetting(QStringLiteral("FormLeft"), QStringLiteral("0"))));
        restoreSize();

        // 5. Window state: 0 normal, 1 minimised, 2 maximised.
        switch (toInt16(winstate)) {
            case 0:
                setWindowState(Qt::WindowNoState);
                break;
            case 1:
                setWindowState(Qt::WindowMinimized);
                break;
            case 2:
                setWindowState(Qt::WindowMaximized);
                break;
            default:
                throw Error(errc::InvalidPropertyValue, "Invalid property value");
        }

        // 7-8. Port numbers.
        port = storedPort(QStringLiteral("TCP Port"), QStringLiteral("9876"));
        mnuTCPPort1->setText(QStringLiteral("TCP Port ") + port);
        settings_.SaveSetting(QStringLiteral("TCP Port"), port);
        port2 = storedPort(QStringLiteral("TCP Port 2"), QStringLiteral("9875"));
        mnuTCPPort2->setText(QStringLiteral("TCP Port ") + port2);
        settings_.SaveSetting(QStringLiteral("TCP Port 2"), port2);

        // 9. Listener mode, through the menu handlers (they trap their own errors).
        netport = settings_.GetSetting(QStringLiteral("netport"), QStringLiteral("1"));
        if (netport == QLatin1String("1")) {
            mnuTCPPort1_Click();
        } else if (netport == QLatin1String("2")) {
            mnuTCPPort2_Click();
        } else if (netport == QLatin1String("3")) {
            mnuTCPBoth_Click();
        } else {
            notices << QStringLiteral("stored listener mode \"%1\" is not 1, 2 or 3").arg(netport);
        }

        // 10. COM port.
        comport = settings_.GetSetting(QStringLiteral("com port"), QString());
        if (comport.isEmpty()) {
            dialogs_.MsgBox(QStringLiteral("Please select a com port first"), mb::Information,
                            QStringLiteral("Com Port error"));
        } else {
            const double n = leadingNumber(comport);
            if (n >= 1 && n <= 16 && n == double(int(n))) {
                mnuPortsCom_Click(int(n));
            } else {
                notices << QStringLiteral("stored com port \"%1\" is not 1 to 16").arg(comport);
            }
            lblIP->setText(lblIP->text() + QLatin1Char(' ') +
                           (bindaddress.isEmpty() ? relay_.server(0).localIP() : bindaddress));
            lblHost->setText(lblHost->text() + QLatin1Char(' ') + relay_.server(0).localHostName());
            setWindowTitle(kAppTitle);
            setStatus(QStringLiteral("closed"));
        }

        // 11. Automatic listening, on the ports the mode gave the listeners.
        if (autoconnect == QLatin1String("1")) {
            const bool one = netport == QLatin1String("1") || netport == QLatin1String("2");
            if (one || netport == QLatin1String("3")) relay_.server(0).setLocalPort(toInt32(port));
            if (netport == QLatin1String("3")) relay_.server(1).setLocalPort(toInt32(port2));
            listenInMode();
        }
        (void)readLineSettings(settings_, &notices);
    } catch (const Error& e) {
        errorRecord_ = {e.number(), QString::fromStdString(e.description())};
        setStatus(QStringLiteral("form load error"));
        reportBox(QStringLiteral("VB6 runtime error (load): "), e);
    }
    errorRecord_.clear();
    keepOnAScreen(*this);  // also when a failure came after step 4
    if (!notices.isEmpty()) {
        const QString status = lblStatus->text();  // the designed caption ends in ':'
        setStatus(status +
                  (status.endsWith(QLatin1Char(':')) ? QStringLiteral(" ") : QStringLiteral("; ")) +
                  notices.join(QStringLiteral("; ")));
    }
}

}  // namespace zv
