// Start-up: restores every setting, applies the listener mode and the COM
// port through the operator's own handlers, and listens when asked.
#include <QAction>
#include <QLabel>

#include "app/dialogs.h"
#include "app/frmZVServer.h"
#include "app/qt_cipher.h"
#include "app/settings_store.h"
#include "app/text_number.h"
#include "cipher/error.h"
#include "cipher/key_pool.h"
#include "net/winsock.h"
#include "serial/mscomm.h"

namespace zv {

namespace {
// "0" unmarks, "1" marks, any other text leaves the mark alone.
void markFrom(QAction* item, const QString& value) {
    if (value == QLatin1String("0")) item->setChecked(false);
    if (value == QLatin1String("1")) item->setChecked(true);
}
}  // namespace

void frmZVServer::Form_Load() {
    try {
        // 1. The encryption key, stored under the fixed store pass phrase and
        //    stored again under a fresh salt at every start.
        const QString resetKey = EncryptText(QStringLiteral("ResetNow"), kStorePassPhrase);
        const QString stored = settings_.GetSetting(QStringLiteral("Password"), resetKey);
        Password = DecryptText(stored, kStorePassPhrase);
        keyPool_->setPassPhrase(Password.toStdString());  // keys for the network, ahead
        settings_.SaveSetting(QStringLiteral("Password"), EncryptText(Password, kStorePassPhrase));

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

        // 6. Serial control: an event per waiting byte, reads take all, lines off.
        MSComm1.setRThreshold(1);
        MSComm1.setRTSEnable(false);
        MSComm1.setDTREnable(false);
        MSComm1.setInputLen(0);

        // 7-8. Port numbers.
        port = settings_.GetSetting(QStringLiteral("TCP Port"), QStringLiteral("9876"));
        mnuTCPPort1->setText(QStringLiteral("TCP Port ") + port);
        settings_.SaveSetting(QStringLiteral("TCP Port"), port);
        port2 = settings_.GetSetting(QStringLiteral("TCP Port 2"), QStringLiteral("9875"));
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
        }

        // 10. COM port.
        comport = settings_.GetSetting(QStringLiteral("com port"), QString());
        if (comport.isEmpty()) {
            dialogs_.MsgBox(QStringLiteral("Please select a com port first"), mb::Information,
                            QStringLiteral("Com Port error"));
        } else {
            const double n = leadingNumber(comport);
            if (n >= 1 && n <= 16 && n == double(int(n))) mnuPortsCom_Click(int(n));
            lblIP->setText(lblIP->text() + QLatin1Char(' ') + wskServer1.LocalIP());
            lblHost->setText(lblHost->text() + QLatin1Char(' ') + wskServer1.LocalHostName());
            setWindowTitle(kAppTitle);
            setStatus(QStringLiteral("closed"));
        }

        // 11. Automatic listening, on the ports the mode gave the listeners.
        if (autoconnect == QLatin1String("1")) {
            const bool one = netport == QLatin1String("1") || netport == QLatin1String("2");
            if (one || netport == QLatin1String("3")) wskServer1.setLocalPort(toInt32(port));
            if (netport == QLatin1String("3")) wskServer2.setLocalPort(toInt32(port2));
            listenInMode();
        }
    } catch (const Error& e) {
        errorRecord_ = {e.number(), QString::fromStdString(e.description())};
        setStatus(QStringLiteral("form load error"));
        reportBox(QStringLiteral("VB6 runtime error (load): "), e);
    }
    errorRecord_.clear();
}

}  // namespace zv
