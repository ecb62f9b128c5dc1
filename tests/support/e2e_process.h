#pragma once
// The built programs and an `openssl enc` peer, for end-to-end tests. Every
// wait runs the Qt event loop (a server in the same process keeps working)
// and gives up after its timeout.
#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTcpSocket>

#include "support/pty_pair.h"

namespace zv::test {

// A program of the build: the tests are built in its folder tests/.
inline QString builtProgram(const QString& name) {
    return QCoreApplication::applicationDirPath() + "/../" + name;
}

// A Latin-1 byte string as the UTF-8 text the cipher carries.
inline QByteArray latin1AsUtf8(const QByteArray& bytes) {
    return QString::fromLatin1(bytes).toUtf8();
}

// Bytes of every value but those in `except`, from a fixed seed.
inline QByteArray mixedBytes(qsizetype size, const QByteArray& except = {},
                             quint32 seed = 20240601) {
    QRandomGenerator rng(seed);
    QByteArray out;
    while (out.size() < size)
        if (const char c = char(rng.bounded(256)); !except.contains(c)) out.append(c);
    return out;
}

// True when some socket listens on TCP `port` (read from /proc/net/tcp*), so
// tests need not connect to find out.
bool isListening(quint16 port);
// Bytes the kernel holds in both queues of connected sockets to or from `port`.
qint64 kernelQueued(quint16 port);

// The client program with standard input, output and error as pipes.
struct ClientProcess {
    ~ClientProcess() { process.kill(), process.waitForFinished(5000); }
    // Starts tandro-zv-client with `args`; false when it did not start.
    bool start(const QStringList& args, const QByteArray& input = {}, bool closeInput = false) {
        process.start(builtProgram("tandro-zv-client"), args);
        const bool ok = process.waitForStarted(10000) && (input.isEmpty() || write(input));
        if (closeInput) process.closeWriteChannel();
        return ok;
    }
    bool write(const QByteArray& bytes) { return process.write(bytes) == bytes.size(); }
    void closeInput() { process.closeWriteChannel(); }
    // Waits until standard output holds at least `count` bytes.
    bool waitForOutput(qsizetype count, int timeoutMs = 20000) {
        return QTest::qWaitFor([&] { return collect(), out.size() >= count; }, timeoutMs);
    }
    bool waitForExit(int timeoutMs = 20000) {
        const bool ended = process.waitForFinished(timeoutMs);  // the client needs nothing of ours
        return collect(), ended;
    }
    void collect() {
        out += process.readAllStandardOutput(), err += process.readAllStandardError();
    }
    QByteArray out;  // all standard output so far
    QByteArray err;  // all standard error so far
    QProcess process;
};

// A TCP client that speaks envelopes through the real `openssl enc`.
struct OpensslPeer {
    explicit OpensslPeer(QString passPhrase) : passPhrase_(std::move(passPhrase)) {}
    // Connects to 127.0.0.1:port once it listens and waits until the server
    // took this client (it stops listening).
    bool connect(quint16 port, int timeoutMs = 10000);
    // Encrypts `text` with openssl and sends the envelope in one write.
    bool send(const QByteArray& text);
    // Decrypted text received, waiting until it holds at least `count` bytes.
    QByteArray receive(qsizetype count, int timeoutMs = 30000);
    QTcpSocket socket;

  private:
    QString passPhrase_;
    QByteArray wire_;  // envelope text not yet decrypted
};

// The server program headless over a fresh settings store: COM3 is one end
// of a socat pseudo-terminal pair, both listeners, automatic listening.
struct ServerProcess {
    ~ServerProcess() { process.kill(), process.waitForFinished(5000); }
    // Starts the server with `passPhrase` as its key and waits until both
    // ports accept connections. Ports set before are kept.
    bool start(const QString& passPhrase);
    // Waits until standard error holds `text`; `err` keeps all of it.
    bool waitForErr(const QString& text, int timeoutMs = 30000) {
        return QTest::qWaitFor(
            [&] { return err += process.readAllStandardError(), err.contains(text.toUtf8()); },
            timeoutMs);
    }
    QByteArray err;
    QString error;
    QString instance;    // --instance, and its settings file NAME.ini
    QString runtimeDir;  // $XDG_RUNTIME_DIR; default: `config`
    PtyPair pty;
    QTemporaryDir config;
    quint16 port1 = 0, port2 = 0;
    QProcess process;
    // With --headless and no display in its environment; standard error
    // stays readable on `process`.
    bool headless = false;
    bool transparent = false;  // client messages reach the device unedited
};

}  // namespace zv::test
