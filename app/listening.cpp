// Listener ports and listening: the mode items, the port dialogs, Listen.
#include <QAction>
#include <QLabel>
#include <QPushButton>

#include "app/dialogs.h"
#include "app/lamp.h"
#include "app/main_window.h"
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

QString MainWindow::storedPort(const QString& key, const QString& defaultPort) {
    const StoredPort stored = readPort(settings_, key, defaultPort);
    if (stored.refused) refusePort(dialogs_);
    return stored.text;
}

// Closes and reopens the listeners of the current mode; any other mode: nothing.
void MainWindow::listenInMode() {
    if (mode == ListenerMode::Port1 || mode == ListenerMode::Port2) {
        relay_.close(0);
        relay_.listen(0);
        setStatus(QStringLiteral("listening on port ") + listenerPorts[0]);
        lamp1->setFillColor(colour::Yellow);
    } else if (mode == ListenerMode::Both) {
        relay_.close(0);
        relay_.close(1);
        relay_.listen(0);
        relay_.listen(1);
        setStatus(QStringLiteral("listening on port ") + listenerPorts[0] +
                  QStringLiteral(" and ") + listenerPorts[1]);
        lamp1->setFillColor(colour::Yellow);
        lamp2->setFillColor(colour::Yellow);
    }
}

void MainWindow::listen() {
    trapStatus(QStringLiteral("listen error"), [&] {
        listenInMode();
        closeButton->setFocus();
    });
}

// Port 1 and Both need both listeners closed, Port 2 only listener 1; a
// listening listener is not closed for the operator.
bool MainWindow::refuseModeChange(bool listener2Too) {
    const bool open = relay_.state(0) != ListenerState::Closed ||
                      (listener2Too && relay_.state(1) != ListenerState::Closed);
    if (open)
        dialogs_.MsgBox(QStringLiteral("Can't set port unless connection is closed."),
                        mb::Information, kAppTitle);
    return open;
}

void MainWindow::markMode(bool port1, bool port2Item, bool both) {
    port1Action->setChecked(port1);
    port2Action->setChecked(port2Item);
    bothPortsAction->setChecked(both);
}

void MainWindow::choosePort1() {
    trapBox(QStringLiteral("VB6 runtime error (tcp1): "), [&] {
        if (refuseModeChange(true)) return;
        listenerPorts = {storedPort(QStringLiteral("TCP port"), QStringLiteral("9876")), {}};
        mode = ListenerMode::Port1;
        settings_.write(QStringLiteral("TCP Port"), listenerPorts[0]);
        settings_.write(QStringLiteral("netport"), QStringLiteral("1"));
        markMode(true, false, false);
        relay_.server(0).setLocalPort(toInt32(listenerPorts[0]));
    });
}

void MainWindow::choosePort2() {
    trapBox(QStringLiteral("VB6 runtime error (tcp2): "), [&] {
        if (refuseModeChange(false)) return;
        listenerPorts = {storedPort(QStringLiteral("TCP Port 2"), QStringLiteral("9875")), {}};
        mode = ListenerMode::Port2;
        settings_.write(QStringLiteral("TCP Port 2"), listenerPorts[0]);
        settings_.write(QStringLiteral("netport"), QStringLiteral("2"));
        markMode(false, true, false);
        relay_.server(0).setLocalPort(toInt32(listenerPorts[0]));
    });
}

void MainWindow::chooseBothPorts() {
    trapBox(QStringLiteral("VB6 runtime error (mnuTCPBoth_Click): "), [&] {
        if (refuseModeChange(true)) return;
        listenerPorts = {storedPort(QStringLiteral("TCP port"), QStringLiteral("9876")),
                         storedPort(QStringLiteral("TCP port 2"), QStringLiteral("9875"))};
        mode = ListenerMode::Both;
        settings_.write(QStringLiteral("netport"), QStringLiteral("3"));
        markMode(true, true, true);
        relay_.server(0).setLocalPort(toInt32(listenerPorts[0]));
        relay_.server(1).setLocalPort(toInt32(listenerPorts[1]));
    });
}

void MainWindow::definePort1() {
    definePort(0);
}
void MainWindow::definePort2() {
    definePort(1);
}

void MainWindow::definePort(int index) {
    QAction* item = index == 0 ? port1Action : port2Action;
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
        settings_.write(index == 0 ? QStringLiteral("TCP Port") : QStringLiteral("TCP Port 2"),
                        answer);
        listenerPorts[index] = answer;
    });
}

}  // namespace zv
