#include "support/e2e_process.h"

#include "core/qt_cipher.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"

namespace zv::test {

bool isListening(quint16 port) {
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile f(table);
        for (const QByteArray& line :
             (f.open(QIODevice::ReadOnly) ? f.readAll() : "").split('\n')) {
            const QList<QByteArray> field = line.simplified().split(' ');  // sl local remote st ...
            if (field.size() > 3 && field[1].endsWith(local) && field[3] == "0A")
                return true;  // LISTEN
        }
    }
    return false;
}

qint64 kernelQueued(quint16 port) {
    const QByteArray hex = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    qint64 sum = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile f(table);
        for (const QByteArray& line :
             (f.open(QIODevice::ReadOnly) ? f.readAll() : "").split('\n')) {
            const QList<QByteArray> field = line.simplified().split(' ');  // ... st tx:rx
            if (field.size() > 4 && field[3] == "01" &&
                (field[1].endsWith(hex) || field[2].endsWith(hex)))
                for (const QByteArray& queue : field[4].split(':')) sum += queue.toLongLong(0, 16);
        }
    }
    return sum;
}

bool OpensslPeer::connect(quint16 port, int timeoutMs) {
    // A connection the kernel queued just before the listener closed for
    // another client is reset: connect only while it listens, and again.
    const auto served = [&] {
        return socket.state() == QAbstractSocket::ConnectedState && !isListening(port);
    };
    for (QDeadlineTimer deadline(timeoutMs); !deadline.hasExpired();) {
        if (!QTest::qWaitFor([&] { return isListening(port); }, 1000)) continue;
        socket.abort();
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (QTest::qWaitFor(
                [&] { return socket.state() == QAbstractSocket::UnconnectedState || served(); },
                5000) &&
            served())
            return true;
    }
    return false;
}

bool OpensslPeer::send(const QByteArray& text) {
    const QByteArray envelope = opensslEncrypt(text, passPhrase_);
    return socket.write(envelope) == envelope.size() &&
           QTest::qWaitFor([&] { return !socket.bytesToWrite(); }, 10000);
}

QByteArray OpensslPeer::receive(qsizetype count, int timeoutMs) {
    const auto whole = [&] {
        return wire_.size() % 4 == 0 && carried(cutEnvelopes(wire_)) >= count;
    };
    (void)QTest::qWaitFor([&] { return wire_ += socket.readAll(), whole(); }, timeoutMs);
    QByteArray text;
    for (const QByteArray& e : cutEnvelopes(std::exchange(wire_, {})))
        text += opensslDecrypt(e, passPhrase_);
    return text;
}

bool ServerProcess::start(const QString& passPhrase) {
    if (!port1) port1 = freePort();
    while (!port2 || port2 == port1) port2 = freePort();
    const QString file = instance.isEmpty() ? "Tandro ZV Server" : instance;
    SettingsStore store(config.path() + "/Tandro ZV Server/" + file + ".ini");
    // clang-format off
    const QString values[][2] = {{"com port", "3"}, {"com device 3", pty.a()}, {"netport", "3"}, {"autoconnect", "1"},
        {"TCP Port", QString::number(port1)}, {"TCP Port 2", QString::number(port2)},
        {"Password", EncryptText(passPhrase, kStorePassPhrase)}, {"transparent", transparent ? "1" : "0"}};
    // clang-format on
    for (const auto& [key, value] : values) store.write(key, value);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    env.insert("XDG_RUNTIME_DIR", runtimeDir.isEmpty() ? config.path() : runtimeDir);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    if (headless) {
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env.remove(name);
        env.insert("QT_QPA_PLATFORM_PLUGIN_PATH", config.path());  // no platform plugin there
    }
    process.setProcessEnvironment(env);
    if (!headless) process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    QStringList args = headless ? QStringList{"--headless"} : QStringList{};
    process.start(builtProgram("tandro-zv-server"),
                  instance.isEmpty() ? args : args << "--instance" << instance);
    // Listening on both ports means start-up is over.
    if (pty.ok() &&
        QTest::qWaitFor([&] { return isListening(port1) && isListening(port2); }, 15000))
        return true;
    return error = pty.error() + process.errorString() + ": no listeners", false;
}

}  // namespace zv::test
