// Entry point: builds the real controls, runs start-up, shows the one window.
#include <QApplication>

#include "app/dialogs.h"
#include "app/frmZVServer.h"
#include "app/settings_store.h"
#include "net/tcp_winsock.h"
#include "serial/com_devices.h"
#include "serial/serial_comm.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(zv::kAppTitle);
    QApplication::setApplicationVersion(QStringLiteral(ZV_VERSION));
    QApplication::setWindowIcon(zv::appIcon());

    zv::SettingsStore settings(zv::SettingsStore::defaultPath());
    zv::SerialComm comm(zv::comDeviceResolver(settings));
    zv::TcpWinsock server1;
    zv::TcpWinsock server2;
    zv::QtDialogs dialogs;
    zv::frmZVServer window(dialogs, settings, comm, server1, server2);
    dialogs.setParent(&window);

    window.Form_Load();
    window.show();
    return QApplication::exec();
}
