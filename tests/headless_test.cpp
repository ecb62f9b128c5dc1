// The built server without a display: --headless relays and logs; without it,
// one line and status 1 instead of an abort.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "support/e2e_process.h"

namespace zv::test {
namespace {

// Every status caption and box is one line "<UTC ISO 8601 time> <text>".
QStringList loggedTexts(const QByteArray& err) {
    static const QRegularExpression line(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ (.*)$"),
        QRegularExpression::MultilineOption);
    QStringList texts;
    for (const auto& m : line.globalMatch(QString::fromLocal8Bit(err))) texts << m.captured(1);
    return texts;
}

TEST(Headless, RelaysBothWaysLogsEveryStatusAndEndsCleanlyOnSigterm) {
    ServerProcess server;
    server.headless = true;
    ASSERT_TRUE(server.start(QStringLiteral("head less"))) << qPrintable(server.error);
    RawTty device(server.pty.b());
    ASSERT_TRUE(device.ok()) << qPrintable(device.error());
    OpensslPeer client(QStringLiteral("head less"));
    ASSERT_TRUE(client.connect(server.port1));

    ASSERT_TRUE(client.send("ATI\r"));
    EXPECT_EQ(device.read(4, 20000), "ATI\r");
    ASSERT_TRUE(device.writeAll("OK\r\n"));
    EXPECT_EQ(client.receive(4), "OK\r\n");

    ASSERT_EQ(::kill(pid_t(server.process.processId()), SIGTERM), 0);
    ASSERT_TRUE(server.process.waitForFinished(20000));
    EXPECT_EQ(server.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.process.exitCode(), 0);

    const QStringList logged = loggedTexts(server.process.readAllStandardError());
    const QString all = logged.join(QLatin1Char('|'));
    for (const QString& caption :
         {QStringLiteral("closed"),
          QStringLiteral("listening on port %1 and %2").arg(server.port1).arg(server.port2),
          QStringLiteral("port 1 received data"),
          QStringLiteral("com data sent to winsock port 1")})
        EXPECT_TRUE(logged.contains(caption))
            << qPrintable(caption) << " not in " << qPrintable(all);
    EXPECT_TRUE(all.contains(QRegularExpression(QStringLiteral("client \\d+ connected on port 1"))))
        << qPrintable(all);

    // The window was never shown: no position is stored.
    QFile ini(server.config.path() + QStringLiteral("/Tandro ZV Server/Tandro ZV Server.ini"));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QByteArray stored = ini.readAll().toLower();
    EXPECT_FALSE(stored.contains("formtop") || stored.contains("formleft")) << stored.data();
}

TEST(Headless, WithoutADisplayTheWindowEndsWithOneLineAndStatus1) {
    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    QProcess server;
    server.setProcessEnvironment(env);
    server.start(builtProgram(QStringLiteral("tandro-zv-server")), {});
    ASSERT_TRUE(server.waitForFinished(20000));
    EXPECT_EQ(server.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(server.exitCode(), 1);
    EXPECT_EQ(server.readAllStandardError(),
              "cannot open a display; use --headless to run without a window\n");
}

}  // namespace
}  // namespace zv::test
