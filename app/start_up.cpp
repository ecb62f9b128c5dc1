// Start-up: restores every setting, applies the listener mode and the COM
// port through the operator's own handlers, and listens when asked.
#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

#include "app/dialogs.h"
#include "app/main_window.h"
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
Switch markFrom(QAction* item, const QString& value) {
    const Switch now = switchOf(value);
    if (now != Switch::Other) item->setChecked(now == Switch::On);
    return now;
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

void MainWindow::startUp() {
    // Before anything can fail: a later Listen must never bind more widely
    // than the operator asked.
    bindAddress_ = settings_.read(QStringLiteral("bind address"), QString()).trimmed();
    relay_.setBindAddress(bindAddress_);
    // What start-up mended or found wrong, said after its own last status.
    QStringList notices;
    if (const QString done = settings_.makePrivate(); !done.isEmpty()) notices << done;
    loadTrafficTools(notices);  // allowed clients before any Listen
    try {
        // 1. The encryption key, stored under the fixed store pass phrase and
        //    stored again under a fresh salt at every start. A value that is no
        //    envelope stays as it is: the operator may still recover it.
        const StoredKey key = readKey(settings_);
        relay_.setPassPhrase(key.passPhrase);  // keys for the network, ahead
        if (key.envelope) {
            settings_.write(QStringLiteral("Password"),
                            EncryptText(key.passPhrase, kStorePassPhrase));
        } else {
            dialogs_.MsgBox(QStringLiteral("The stored encryption key could not be read; set it "
                                           "again with Change Encryption Key."),
                            mb::Information, kAppTitle);
        }

        // 2-3. Check-mark options, written back unchanged.
        const QString windowState =
            settings_.read(QStringLiteral("WindowState"), QStringLiteral("0"));
        settings_.write(QStringLiteral("WindowState"), windowState);
        runMinimized = markFrom(runMinimizedAction, windowState);
        const QString autoconnect =
            settings_.read(QStringLiteral("autoconnect"), QStringLiteral("0"));
        settings_.write(QStringLiteral("autoconnect"), autoconnect);
        autoListen = markFrom(autoListenAction, autoconnect);

        // 4. Position, in twips.
        setTop(toSingle(settings_.read(QStringLiteral("FormTop"), QStringLiteral("0"))));
        setLeft(toSingle(settings_.read(QStringLiteral("FormLeft"), QStringLiteral("0"))));
        restoreSize();

        // 5. Window state: 0 normal, 1 minimised, 2 maximised.
        switch (toInt16(windowState)) {
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
        const std::pair<QString, QString> ports[] = {{QStringLiteral("TCP Port"), "9876"},
                                                     {QStringLiteral("TCP Port 2"), "9875"}};
        for (int i = 0; i < 2; ++i) {
            listenerPorts[i] = storedPort(ports[i].first, ports[i].second);
            (i == 0 ? port1Action : port2Action)
                ->setText(QStringLiteral("TCP Port ") + listenerPorts[i]);
            settings_.write(ports[i].first, listenerPorts[i]);
        }

        // 9. Listener mode, through the menu handlers (they trap their own errors).
        const QString storedMode = settings_.read(QStringLiteral("netport"), QStringLiteral("1"));
        mode = listenerModeOf(storedMode);
        if (mode == ListenerMode::Port1) {
            choosePort1();
        } else if (mode == ListenerMode::Port2) {
            choosePort2();
        } else if (mode == ListenerMode::Both) {
            chooseBothPorts();
        } else {
            notices
                << QStringLiteral("stored listener mode \"%1\" is not 1, 2 or 3").arg(storedMode);
        }

        // 10. COM port.
        const QString storedCom = settings_.read(QStringLiteral("com port"), QString());
        if (storedCom.isEmpty()) {
            dialogs_.MsgBox(QStringLiteral("Please select a com port first"), mb::Information,
                            QStringLiteral("Com Port error"));
        } else {
            const double n = leadingNumber(storedCom);
            if (n >= 1 && n <= 16 && n == double(int(n))) {
                chooseComPort(int(n));
            } else {
                notices << QStringLiteral("stored com port \"%1\" is not 1 to 16").arg(storedCom);
            }
            addressLabel->setText(
                addressLabel->text() + QLatin1Char(' ') +
                (bindAddress_.isEmpty() ? relay_.server(0).localIP() : bindAddress_));
            hostLabel->setText(hostLabel->text() + QLatin1Char(' ') +
                               relay_.server(0).localHostName());
            setWindowTitle(kAppTitle);
            setStatus(QStringLiteral("closed"));
        }

        // 11. Automatic listening, on the ports the mode gave the listeners.
        if (autoListen == Switch::On && mode != ListenerMode::Other) {
            relay_.server(0).setLocalPort(toInt32(listenerPorts[0]));
            if (mode == ListenerMode::Both)
                relay_.server(1).setLocalPort(toInt32(listenerPorts[1]));
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
        const QString status = statusLine->text();  // the designed caption ends in ':'
        setStatus(status +
                  (status.endsWith(QLatin1Char(':')) ? QStringLiteral(" ") : QStringLiteral("; ")) +
                  notices.join(QStringLiteral("; ")));
    }
}

}  // namespace zv
