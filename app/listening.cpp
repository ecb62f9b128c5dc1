// Listener ports and listening: the mode items, the port dialogs, Listen.
#include <QAction>
#include <QLabel>
#include <QPushButton>

#include "app/dialogs.h"
#include "app/frmZVServer.h"
#include "app/lamp.h"
#include "cipher/error.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/stored_settings.h"
#include "core/text_number.h"
#include "net/tcp_server.h"

namespace zv {

namespace {
// "between 1024 and 65536": both ends are refused.
bool portInRange(double value) {
    return value >= 1025 && value <= 65535;
}

void refusePort(Dialogs& dialogs) {
    dialogs.MsgBox(QStringLiteral("Please enter a TCP port value between 1024 and 65536."),
                   mb::Information, kAppTitle);
}
}  // namespace

QString frmZVServer::storedPort(const QString& key, const QString& defaultPort) {
    const StoredPort stored = readPort(settings_, key, defaultPort);
    if (stored.refused) refusePort(dialogs_);
    return stored.text;
}

// Closes and reopens the listeners of the current mode; any other mode: nothing.
void frmZVServer::listenInMode() {
    if (netport == QLatin1String("1") || netport == QLatin1String("2")) {
        relay_.close(0);
        relay_.listen(0);
        setStatus(QStringLiteral("listening on port ") + port);
        shpPort1->setFillColor(colour::Yellow);
    } else if (netport == QLatin1String("3")) {
        relay_.close(0);
        relay_.close(1);
        relay_.listen(0);
        relay_.listen(1);
        setStatus(QStringLiteral("listening on port ") + port + QStringLiteral(" and ") + port2);
        shpPort1->setFillColor(colour::Yellow);
        shpPort2->setFillColor(colour::Yellow);
    }
}

void frmZVServer::cmdListen_Click() {
    trapStatus(QStringLiteral("listen error"), [&] {
        listenInMode();
        cmdClose->setFocus();
    });
}

// Port 1 and Both need both listeners closed, Port 2 only listener 1; a
// listening listener is not closed for the operator.
bool frmZVServer::refuseModeChange(bool listener2Too) {
    const bool open = relay_.state(0) != ListenerState::Closed ||
                      (listener2Too && relay_.state(1) != ListenerState::Closed);
    if (open)
        dialogs_.MsgBox(QStringLiteral("Can't set port unless connection is closed."),
                        mb::Information, kAppTitle);
    return open;
}

void frmZVServer::markMode(bool port1, bool port2Item, bool both) {
    mnuTCPPort1->setChecked(port1);
    mnuTCPPort2->setChecked(port2Item);
    mnuTCPBoth->setChecked(both);
}

void frmZVServer::mnuTCPPort1_Click() {
    trapBox(QStringLiteral("VB6 runtime error (tcp1): "), [&] {
        if (refuseModeChange(true)) return;
        port = storedPort(QStringLiteral("TCP port"), QStringLiteral("9876"));
        port2.clear();
        netport = QStringLiteral("1");
        settings_.SaveSetting(QStringLiteral("TCP Port"), port);
        settings_.SaveSetting(QStringLiteral("netport"), QStringLiteral("1"));
        markMode(true, false, false);
        relay_.server(0).setLocalPort(toInt32(port));
    });
}

void frmZVServer::mnuTCPPort2_Click() {
    trapBox(QStringLiteral("VB6 runtime error (tcp2): "), [&] {
        if (refuseModeChange(false)) return;
        port = storedPort(QStringLiteral("TCP Port 2"), QStringLiteral("9875"));
        port2.clear();
        netport = QStringLiteral("2");
        settings_.SaveSetting(QStringLiteral("TCP Port 2"), port);
        settings_.SaveSetting(QStringLiteral("netport"), QStringLiteral("2"));
        markMode(false, true, false);
        relay_.server(0).setLocalPort(toInt32(port));
    });
}

void frmZVServer::mnuTCPBoth_Click() {
    trapBox(QStringLiteral("VB6 runtime error (mnuTCPBoth_Click): "), [&] {
        if (refuseModeChange(true)) return;
        port = storedPort(QStringLiteral("TCP port"), QStringLiteral("9876"));
        port2 = storedPort(QStringLiteral("TCP port 2"), QStringLiteral("9875"));
        netport = QStringLiteral("3");
        settings_.SaveSetting(QStringLiteral("netport"), QStringLiteral("3"));
        markMode(true, true, true);
        relay_.server(0).setLocalPort(toInt32(port));
        relay_.server(1).setLocalPort(toInt32(port2));
    });
}

void frmZVServer::mnuDefineTCP1_Click() {
    mnuDefineTCP_Click(0);
}
void frmZVServer::mnuDefineTCP2_Click() {
    mnuDefineTCP_Click(1);
}

void frmZVServer::mnuDefineTCP_Click(int index) {
    QAction* item = index == 0 ? mnuTCPPort1 : mnuTCPPort2;
    const QString prefix = index == 0 ? QStringLiteral("VB6 runtime error (mnuDefineTCP1_Click): ")
                                      : QStringLiteral("VB6 runtime error (mnuDefineTCP2_Click): ");
    trapBox(prefix, [&] {
        const QString answer = dialogs_.InputBox(
            QStringLiteral("Enter new port for ") + item->text(), kAppTitle, QString());
        if (answer.isEmpty()) return;
        const double value = toDouble(answer);
        if (!portInRange(value)) {
            refusePort(dialogs_);
            return;
        }
        item->setText(QStringLiteral("TCP Port ") + answer);
        settings_.SaveSetting(
            index == 0 ? QStringLiteral("TCP Port") : QStringLiteral("TCP Port 2"), answer);
        (index == 0 ? port : port2) = answer;
    });
}

}  // namespace zv
