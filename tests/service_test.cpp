// The server as an unattended service, run headless: a stop delivers what was
// taken or says what it could not, the device comes back by itself, a failed
// accept and a half-closed client do not end a listener, a vanished standard
// error reader does not end the program, instances run once each, and
// systemd hears how it is doing.
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QScopeGuard>
#include <cstring>

#include "support/e2e_process.h"
#include "support/openssl_cli.h"

namespace zv::test {
namespace {

const QString kPass = "service pass";

// 1.5 MiB taken from a client before SIGTERM: a device that reads reaches all
// of it; one that never reads ends the stop at its bound, said with a count.
TEST(Service, StopDeliversWhatWasTakenOrSaysWhatWasNot) {
    QByteArray except("\0\b\n", 3);
    for (int c = 127; c < 256; ++c) except += char(c);
    QByteArray text, wire;
    for (quint32 seed : {1, 2, 3}) {
        text += mixedBytes(512 * 1024, except, seed);
        wire += opensslEncrypt(text.right(512 * 1024), kPass);
    }
    for (bool draining : {true, false}) {
        SCOPED_TRACE(draining ? "draining" : "stuck");
        ServerProcess server;
        server.headless = true;
        ASSERT_TRUE(server.start(kPass)) << server.error.toStdString();
        RawTty device(server.pty.b());
        OpensslPeer peer{kPass};
        ASSERT_TRUE(peer.connect(server.port1) && peer.socket.write(wire) == wire.size());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !peer.socket.bytesToWrite(); }, 60000));
        // Taken by the server: nothing left in either end's kernel queues.
        ASSERT_TRUE(QTest::qWaitFor([&] { return kernelQueued(server.port1) == 0; }, 60000));
        QElapsedTimer stop;
        stop.start();
        ASSERT_EQ(::kill(pid_t(server.process.processId()), SIGTERM), 0);
        const QByteArray got = draining ? device.read(text.size(), 60000) : QByteArray();
        ASSERT_TRUE(server.process.waitForFinished(30000));
        server.waitForErr("stopped");
        EXPECT_EQ(server.process.exitCode(), draining ? 0 : 1) << server.err.toStdString();
        if (draining) {
            EXPECT_TRUE(got == text) << got.size() << " of " << text.size();
            EXPECT_TRUE(server.err.contains("stopped, everything delivered"));
        } else {
            EXPECT_LT(stop.elapsed(), 20000);
            EXPECT_TRUE(server.err.contains(" bytes not written to the device"))
                << server.err.toStdString();
        }
    }
}

// Missing at start, then there; vanished, then back: what a client sent
// meanwhile reaches the device once it is back, and the device's answers the client.
TEST(Service, TheDeviceComesBackByItself) {
    ServerProcess server;
    server.headless = true;
    server.pty.vanish();
    ASSERT_TRUE(server.start(kPass)) << server.error.toStdString();
    OpensslPeer peer{kPass};
    ASSERT_TRUE(peer.connect(server.port1));
    for (const QByteArray& text : {QByteArray("early\r"), QByteArray("while away\r")}) {
        ASSERT_TRUE(server.waitForErr("com port 3 waiting for " + server.pty.a()));
        ASSERT_TRUE(peer.send(text));
        server.pty.restart();
        RawTty device(server.pty.b());
        EXPECT_EQ(device.read(text.size(), 30000), text);
        ASSERT_TRUE(device.writeAll("answer\r"));
        EXPECT_EQ(peer.receive(7), "answer\r");
        server.err.clear();
        server.pty.vanish();
    }
    EXPECT_TRUE(server.process.state() == QProcess::Running);
}

// No descriptor left for one accept: said, and the waiting client is served
// once there is one. A client that half-closes gets the device's answer. A
// standard error nobody reads any more ends nothing.
TEST(Service, AcceptFailureHalfCloseAndALostLogReader) {
    ServerProcess server;
    server.headless = true;
    ASSERT_TRUE(server.start(kPass)) << server.error.toStdString();
    RawTty device(server.pty.b());
    const pid_t pid = pid_t(server.process.processId());
    int lowestFree = 0;
    while (QFileInfo::exists(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(lowestFree)))
        ++lowestFree;
    rlimit was{}, none{rlim_t(lowestFree), 0};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &was), 0);
    none.rlim_max = was.rlim_max;
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &none, nullptr), 0);
    OpensslPeer first{kPass};
    first.socket.connectToHost(QHostAddress::LocalHost, server.port1);  // the kernel completes it
    EXPECT_TRUE(server.waitForErr("port 1 accept failed, still listening: "));
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &was, nullptr), 0);
    EXPECT_TRUE(server.waitForErr(" connected on port 1"));
    ASSERT_TRUE(first.send("ATI\r"));
    ASSERT_EQ(::shutdown(int(first.socket.socketDescriptor()), SHUT_WR), 0);
    EXPECT_EQ(device.read(4, 30000), "ATI\r");
    QTest::qWait(300);  // the answer comes after the client's end of sending
    ASSERT_TRUE(device.writeAll("OK\r"));
    EXPECT_EQ(first.receive(3), "OK\r");

    // Standard error a pipe nobody reads: every log line raises SIGPIPE,
    // which ends a process that does not ignore it (as when it starts).
    ServerProcess deaf;
    deaf.headless = true;
    deaf.process.setChildProcessModifier([] {
        (void)::signal(SIGPIPE, SIG_DFL);
        int pipe[2];
        if (::pipe(pipe) == 0) ::dup2(pipe[1], 2), ::close(pipe[0]), ::close(pipe[1]);
    });
    ASSERT_TRUE(deaf.start(kPass)) << deaf.error.toStdString();
    RawTty deafDevice(deaf.pty.b());
    OpensslPeer second{kPass};
    ASSERT_TRUE(second.connect(deaf.port2) && second.send("still here\r"));
    EXPECT_EQ(deafDevice.read(11, 30000), "still here\r");
    EXPECT_EQ(deaf.process.state(), QProcess::Running);
}

// Two instances side by side; a second start of one, or one on a port in
// use, ends at once with status 1 and the reason.
TEST(Service, InstancesRunOnceEachAndAStartThatCannotServeEndsWith1) {
    QTemporaryDir runtime;
    ServerProcess a, b, again, clash;
    const std::pair<ServerProcess*, const char*> runs[] = {
        {&a, "a"}, {&b, "b.2"}, {&again, "a"}, {&clash, "c"}};
    for (const auto& [s, name] : runs) s->headless = true, s->instance = name;
    for (const auto& [s, name] : runs) s->runtimeDir = runtime.path();
    ASSERT_TRUE(a.start(kPass) && b.start(kPass)) << (a.error + b.error).toStdString();
    EXPECT_TRUE(a.waitForErr("Z [a] listening on port ") && b.waitForErr("Z [b.2] listening"));
    // The service maps no window library (and looks for no platform plugin).
    QFile maps(QStringLiteral("/proc/%1/maps").arg(a.process.processId()));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    for (const char* library : {"libQt6Widgets", "libQt6Gui", "libX11", "libxcb"})
        EXPECT_FALSE(mapped.contains(library)) << library;
    again.port1 = clash.port1 = a.port1, again.port2 = clash.port2 = a.port2;  // no wait
    for (ServerProcess* s : {&again, &clash}) {
        (void)s->start(kPass);
        ASSERT_TRUE(s->process.waitForFinished(30000));
        EXPECT_EQ(s->process.exitCode(), 1);
    }
    EXPECT_TRUE(again.waitForErr("instance \"a\" is already running as process "));
    EXPECT_TRUE(clash.waitForErr("cannot serve: a listener could not start"));
    EXPECT_TRUE(a.process.state() == QProcess::Running && b.process.state() == QProcess::Running);
}

// Under a unit of Type=notify: READY=1 once, after it says it listens; its
// status lines; WATCHDOG=1 again and again from a running loop; STOPPING=1
// on SIGTERM. Through --headless, which hands its process to the service.
TEST(Service, TellsSystemdItIsReadyHowItIsAndThatItLives) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    const auto closeFd = qScopeGuard([fd] { (void)::close(fd); });
    const QByteArray name = "tandro-zv-notify-" + QByteArray::number(::getpid());
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::memcpy(at.sun_path + 1, name.constData(), size_t(name.size()));  // abstract
    const socklen_t size = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&at), size), 0);
    ServerProcess server;
    server.headless = true;
    ASSERT_TRUE(qputenv("NOTIFY_SOCKET", '@' + name) && qputenv("WATCHDOG_USEC", "200000"));
    const bool started = server.start(kPass);  // the child takes our environment
    ASSERT_TRUE(qunsetenv("NOTIFY_SOCKET") && qunsetenv("WATCHDOG_USEC"));
    ASSERT_TRUE(started) << server.error.toStdString();
    QByteArrayList got;
    const auto count = [&](const QByteArray& message) {
        char buffer[1024];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            got << QByteArray(buffer, n);
        return got.count(message);
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return count("WATCHDOG=1") >= 3; }, 30000));
    const QString listening = "STATUS=listening on port %1 and %2";
    const qsizetype said = got.indexOf(listening.arg(server.port1).arg(server.port2).toUtf8());
    EXPECT_TRUE(said >= 0 && said < got.indexOf("READY=1")) << got.join('|').toStdString();
    EXPECT_EQ(got.count("READY=1"), 1);
    ASSERT_EQ(::kill(pid_t(server.process.processId()), SIGTERM), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return count("STOPPING=1") == 1; }, 30000));
}

}  // namespace
}  // namespace zv::test
