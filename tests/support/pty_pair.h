#pragma once
// A pair of linked pseudo-terminals made by socat: bytes written to one end come
// out of the other. Stands in for a serial device and the machine on its far end.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace zv::test {

class PtyPair {
  public:
    // Starts socat and waits (up to 5 s) until both ends exist; see ok().
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }  // why the pair did not start
    QString a() const;                        // link to one end
    QString b() const;                        // link to the other end

    // Kills socat at once, as a device that is unplugged: both ends and
    // their links vanish.
    void vanish();

  private:
    QTemporaryDir dir_;
    QProcess socat_;
    QString error_;
};

// One end opened raw and non-blocking by plain system calls, so the far side
// of a test does not go through the code under test. Waits run the Qt event loop.
class RawTty {
  public:
    explicit RawTty(const QString& path);
    ~RawTty();
    RawTty(const RawTty&) = delete;
    RawTty& operator=(const RawTty&) = delete;

    bool ok() const { return fd_ >= 0; }
    QString error() const { return error_; }
    int fd() const { return fd_; }

    // Writes every byte, running events while the tty is full; false on error
    // or when timeoutMs passes first.
    bool writeAll(const QByteArray& bytes, int timeoutMs = 20000);
    // Reads until `count` bytes came or timeoutMs passed; returns what came.
    QByteArray read(qint64 count, int timeoutMs = 5000);

  private:
    int fd_ = -1;
    QString error_;
};

}  // namespace zv::test
