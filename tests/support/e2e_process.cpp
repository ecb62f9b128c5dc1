#include "support/e2e_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QTest>

#include "app/frmZVServer.h"
#include "app/qt_cipher.h"
#include "app/settings_store.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"

namespace zv::test {

QString builtProgram(const QString& name) {
    return QString::fromLocal8Bit(qgetenv("ZV_BUILD_DIR")) + QLatin1Char('/') + name;
}

QByteArray latin1AsUtf8(const QByteArray& bytes) {
    return QString::fromLatin1(bytes).toUtf8();
}

ClientProcess::~ClientProcess() {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        (void)process.waitForFinished(5000);  // nothing more to do if it hangs
    }
}

bool ClientProcess::start(const QStringList& args, const QByteArray& input, bool closeIn) {
    process.start(builtProgram(QStringLiteral("tandro-zv-client")), args);
    if (!process.waitForStarted(10000)) return false;
    if (!input.isEmpty() && !write(input)) return false;
    if (closeIn) closeInput();
    return true;
}

bool ClientProcess::write(const QByteArray& bytes) {
    return process.write(bytes) == bytes.size();
}

void ClientProcess::collect() {
    out += process.readAllStandardOutput();
    err += process.readAllStandardError();
}

bool ClientProcess::waitForOutput(qsizetype count, int timeoutMs) {
    return QTest::qWaitFor(
        [&] {
            collect();
            return out.size() >= count;
        },
        timeoutMs);
}

bool ClientProcess::waitForExit(int timeoutMs) {
    const bool ended = QTest::qWaitFor(
        [&] {
            collect();
            return process.state() == QProcess::NotRunning;
        },
        timeoutMs);
    collect();
    return ended;
}

bool OpensslPeer::connect(quint16 port, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    auto remaining = [&] { return int(qMax<qint64>(1, deadline.remainingTime())); };
    while (!deadline.hasExpired()) {
        socket.abort();
        socket.connectToHost(QHostAddress::LocalHost, port);
        // Served once the listener stops listening with us still connected;
        // a connection the kernel queued just before the listener closed for
        // another client is reset instead: try again.
        (void)QTest::qWaitFor(
            [&] {
                return socket.state() == QAbstractSocket::UnconnectedState ||
                       (socket.state() == QAbstractSocket::ConnectedState && !isListening(port));
            },
            remaining());
        if (socket.state() == QAbstractSocket::ConnectedState && !isListening(port)) return true;
        QTest::qWait(20);
    }
    return false;
}

bool OpensslPeer::send(const QByteArray& text) {
    const QByteArray envelope = opensslEncrypt(text, passPhrase_);
    if (envelope.isEmpty() || socket.write(envelope) != envelope.size()) return false;
    return QTest::qWaitFor([&] { return socket.bytesToWrite() == 0; }, 10000);
}

QByteArray OpensslPeer::receive(qsizetype count, int timeoutMs) {
    QDeadlineTimer quiet(200);  // a held piece is handed on after this without data
    auto decrypt = [&](const QStringList& envelopes) {
        for (const QString& e : envelopes) text_ += opensslDecrypt(e.toLatin1(), passPhrase_);
    };
    (void)QTest::qWaitFor(
        [&] {
            const QByteArray got = socket.readAll();
            if (!got.isEmpty()) {
                decrypt(framer_.append(got));
                quiet.setRemainingTime(200);
            } else if (framer_.holding() && quiet.hasExpired()) {
                decrypt(framer_.flush());
            }
            return text_.size() >= count;
        },
        timeoutMs);
    QByteArray out;
    out.swap(text_);
    return out;
}

bool isListening(quint16 port) {
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile f(QString::fromLatin1(table));
        if (!f.open(QIODevice::ReadOnly)) continue;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QList<QByteArray> field = line.simplified().split(' ');
            // sl local_address rem_address st ...; st 0A is LISTEN
            if (field.size() > 3 && field[1].endsWith(local) && field[3] == "0A") return true;
        }
    }
    return false;
}

ServerProcess::~ServerProcess() {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        (void)process.waitForFinished(5000);  // nothing more to do if it hangs
    }
}

bool ServerProcess::start(const QString& passPhrase) {
    if (!pty.ok()) {
        error = pty.error();
        return false;
    }
    port1 = freePort();
    port2 = freePort();
    while (port2 == port1) port2 = freePort();
    SettingsStore store(config.path() + QStringLiteral("/Tandro ZV Server/Tandro ZV Server.ini"));
    store.SaveSetting(QStringLiteral("com port"), QStringLiteral("3"));
    store.SaveSetting(QStringLiteral("com device 3"), pty.a());
    store.SaveSetting(QStringLiteral("netport"), QStringLiteral("3"));
    store.SaveSetting(QStringLiteral("autoconnect"), QStringLiteral("1"));
    store.SaveSetting(QStringLiteral("TCP Port"), QString::number(port1));
    store.SaveSetting(QStringLiteral("TCP Port 2"), QString::number(port2));
    store.SaveSetting(QStringLiteral("Password"), EncryptText(passPhrase, kStorePassPhrase));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (headless)
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(env);
    if (!headless) process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(builtProgram(QStringLiteral("tandro-zv-server")),
                  headless ? QStringList{QStringLiteral("--headless")} : QStringList{});
    if (!process.waitForStarted(10000)) {
        error = QStringLiteral("server did not start: ") + process.errorString();
        return false;
    }
    // Listening on both ports means start-up is over.
    if (!QTest::qWaitFor([&] { return isListening(port1) && isListening(port2); }, 15000)) {
        error = QStringLiteral("server does not listen on %1 and %2").arg(port1).arg(port2);
        return false;
    }
    return true;
}

}  // namespace zv::test
