// Stored values that would mislead or lose data, the listeners' bind address
// and the settings file's modes.
#include <QLabel>

#include "support/server_rig.h"

using namespace zv;

namespace {
const QString kCom = QStringLiteral("Please select a com port first");
const QString kPort = QStringLiteral("Please enter a TCP port value between 1024 and 65536.");
const QString kKey = QStringLiteral(
    "The stored encryption key could not be read; set it again with Change Encryption Key.");
}  // namespace

TEST(StoredSettings, BadValuesAreMendedOrSaid) {
    const struct {
        const char *key, *value;
        QStringList boxes;
        QString status;
        const char* after = nullptr;  // stored after start-up; nullptr: as it was
    } table[] = {
        {"Password", "hello world", {kKey, kCom}, "Winsock status:"},
        {"TCP Port", "0", {kPort, kCom}, "Winsock status:", "9876"},
        {"TCP Port 2", "65536", {kPort, kCom}, "Winsock status:", "9875"},
        {"netport", "7", {kCom}, R"(Winsock status: stored listener mode "7" is not 1, 2 or 3)"},
        {"com port", "17", {}, R"(closed; stored com port "17" is not 1 to 16)"},
        {"FormLeft", "150000", {kCom}, "Winsock status:"},  // 10000 pixels: off the screen
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.key);
        test::ServerRig rig;
        rig.set("FormTop", "-1500");
        rig.set(row.key, row.value);
        MainWindow& w = rig.load(int(row.boxes.size()));
        EXPECT_EQ(rig.dialogs.texts(), row.boxes);
        EXPECT_EQ(w.statusLine->text(), row.status);
        EXPECT_EQ(rig.get(row.key), row.after ? row.after : row.value);
        EXPECT_EQ(rig.relay->server(0).localPort(), *row.value == '7' ? 0 : 9876);
        EXPECT_EQ(w.pos(), QPoint(0, *row.key == 'F' ? 0 : -100));
        for (const auto& box : rig.dialogs.shown)
            EXPECT_TRUE(box.flags == 64 && (box.text == kCom || box.title == "Tandro ZV Server"));
        if (*row.key != 'T') continue;
        // The mode items read the ports again: a value stored since is refused too.
        rig.set("TCP Port", "0");
        rig.dialogs.expectBoxes(1);
        w.chooseBothPorts();
        EXPECT_EQ(rig.dialogs.texts().last(), kPort);
        EXPECT_EQ(rig.relay->server(0).localPort(), 9876);
    }
}

TEST(StoredSettings, ListenersBindToTheStoredAddressOnly) {
    test::ServerRig rig;
    const quint16 port = test::freePort();
    rig.set("TCP Port", QString::number(port));
    rig.set("autoconnect", "1");
    rig.set("com port", "0");
    rig.set("bind address", " 127.0.0.1");
    MainWindow& w = rig.load();
    EXPECT_EQ(w.addressLabel->text(), "Server local IP: 127.0.0.1");
    EXPECT_TRUE(w.statusLine->text().startsWith(QStringLiteral("listening on port %1").arg(port)));
    QTcpSocket other;  // still loopback, but not the bound address
    other.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), port);
    EXPECT_FALSE(other.waitForConnected(30000));
    EXPECT_EQ(other.error(), QAbstractSocket::ConnectionRefusedError);
    test::TcpClient client;  // the listener is closed once it has its one client
    EXPECT_TRUE(client.connect(port));

    for (const char* address : {"192.0.2.1", "localhost"}) {  // not this machine's, no address
        SCOPED_TRACE(address);
        rig.set("bind address", address);
        rig.dialogs.clear();
        MainWindow& v = rig.load(1);
        EXPECT_TRUE(v.statusLine->text().startsWith("form load error; "));
        EXPECT_TRUE(rig.dialogs.texts().value(0).startsWith("VB6 runtime error (load): 10049 - "))
            << rig.dialogs.texts().value(0).toStdString();
        v.listen();
        EXPECT_EQ(v.statusLine->text(), "listen error");
        EXPECT_EQ(rig.state(1), ListenerState::Closed);
    }
}

TEST(StoredSettings, ExistingStoreReadableByOthersIsMadePrivate) {
    test::ServerRig rig;
    rig.set("com port", "0");
    const QString folder = rig.dir.path() + QStringLiteral("/Tandro ZV Server");
    const auto owner = QFile::ReadOwner | QFile::WriteOwner;
    const auto others = QFile::ReadGroup | QFile::ReadOther;
    ASSERT_TRUE(QFile::setPermissions(rig.settingsPath, owner | others));
    ASSERT_TRUE(QFile::setPermissions(
        folder, owner | QFile::ExeOwner | others | QFile::ExeGroup | QFile::ExeOther));
    MainWindow& w = rig.load();
    EXPECT_EQ(w.statusLine->text(),
              "closed; settings made private (folder was 0755, file was "
              "0644); stored com port \"0\" is not 1 to 16");
    for (const QString& path : {rig.settingsPath, folder})
        EXPECT_EQ(QFile::permissions(path).toInt() & 0x00FF, 0)
            << path.toStdString();  // group, other
}
