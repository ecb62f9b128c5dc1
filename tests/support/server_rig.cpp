#include "support/server_rig.h"

#include <QTcpServer>

#include "serial/com_devices.h"

namespace zv::test {

quint16 freePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
    return probe.serverPort();
}

ServerRig::ServerRig()
    : settingsPath(dir.path() + QStringLiteral("/Tandro ZV Server/Tandro ZV Server.ini")),
      settings(std::make_unique<SettingsStore>(settingsPath)) {}

ServerRig::~ServerRig() {
    shut();
}

frmZVServer& ServerRig::open() {
    shut();
    comm = std::make_unique<SerialComm>(comDeviceResolver(*settings));
    server1 = std::make_unique<TcpWinsock>();
    server2 = std::make_unique<TcpWinsock>();
    window = std::make_unique<frmZVServer>(dialogs, *settings, *comm,
                                           plug1 ? *plug1 : static_cast<Winsock&>(*server1),
                                           plug2 ? *plug2 : static_cast<Winsock&>(*server2));
    return *window;
}

frmZVServer& ServerRig::load(int boxes) {
    open();
    dialogs.expectBoxes(boxes);
    window->Form_Load();
    return *window;
}

void ServerRig::shut() {
    window.reset();
    server2.reset();
    server1.reset();
    comm.reset();
}

}  // namespace zv::test
