#pragma once
// The built programs and an `openssl enc` peer, for end-to-end tests. Every
// wait runs the Qt event loop (a server in the same process keeps working)
// and gives up after its timeout.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "support/held_envelope_framer.h"
#include "support/pty_pair.h"

namespace zv::test {

// $ZV_BUILD_DIR/name: a program built beside the tests.
QString builtProgram(const QString& name);

// A Latin-1 byte string as the UTF-8 text the cipher carries.
QByteArray latin1AsUtf8(const QByteArray& bytes);

// The client program with standard input, output and error as pipes.
class ClientProcess {
  public:
    ~ClientProcess();
    // Starts tandro-zv-client with `args`; false when it did not start.
    bool start(const QStringList& args, const QByteArray& input = {}, bool closeInput = false);
    bool write(const QByteArray& bytes);
    void closeInput() { process.closeWriteChannel(); }
    // Waits until standard output holds at least `count` bytes.
    bool waitForOutput(qsizetype count, int timeoutMs = 20000);
    bool waitForExit(int timeoutMs = 20000);
    QByteArray out;  // all standard output so far
    QByteArray err;  // all standard error so far
    QProcess process;

  private:
    void collect();
};

// A TCP client that speaks envelopes through the real `openssl enc`.
class OpensslPeer {
  public:
    explicit OpensslPeer(QString passPhrase) : passPhrase_(std::move(passPhrase)) {}
    // Connects to 127.0.0.1:port and waits until the server took this client,
    // retrying while refused or reset (a listener may be re-arming).
    bool connect(quint16 port, int timeoutMs = 10000);
    // Encrypts `text` with openssl and sends the envelope in one write.
    bool send(const QByteArray& text);
    // Decrypted text received, waiting until it holds at least `count` bytes.
    QByteArray receive(qsizetype count, int timeoutMs = 30000);
    QTcpSocket socket;

  private:
    QString passPhrase_;
    test::HeldEnvelopeFramer framer_;
    QByteArray text_;
};

// True when some socket listens on TCP `port` (read from /proc/net/tcp*), so
// tests need not connect to find out.
bool isListening(quint16 port);

// The server program offscreen over a fresh settings store: COM3 is one end
// of a socat pseudo-terminal pair, both listeners, automatic listening.
class ServerProcess {
  public:
    ~ServerProcess();
    // Starts the server with `passPhrase` as its key and waits until both
    // ports accept connections.
    bool start(const QString& passPhrase);
    // Runs with --headless, no display in its environment and standard
    // error kept in process (read it with readAllStandardError).
    bool headless = false;
    QString error;
    PtyPair pty;
    QTemporaryDir config;
    quint16 port1 = 0;
    quint16 port2 = 0;
    QProcess process;
};

}  // namespace zv::test
