#pragma once
// A pair of linked pseudo-terminals made by socat: bytes written to one end come
// out of the other. Stands in for a serial device and the machine on its far end.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <cstring>
#include <ostream>

// Texts and bytes in failure messages as text, not as lists of bytes.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QByteArray& bytes, std::ostream* out) {
    *out << '"' << bytes.toPercentEncoding(" !\"#$&'()*+,/:;<=>?@[]^`{|}~").toStdString() << '"';
}

namespace zv::test {

class PtyPair {
  public:
    // Starts socat and waits (up to 5 s) until both ends exist; see ok().
    PtyPair() { restart(); }
    // After vanish(): the device is back under the same names.
    void restart() {
        for (const QString& link : {a(), b()}) QFile::remove(link);
        socat_.setStandardOutputFile(QProcess::nullDevice());
        socat_.setStandardErrorFile(QProcess::nullDevice());
        socat_.start("socat", {"pty,raw,echo=0,link=" + a(), "pty,raw,echo=0,link=" + b()});
        const auto up = [&] { return QFileInfo::exists(a()) && QFileInfo::exists(b()); };
        if (!QTest::qWaitFor(up, 5000))
            error_ = "socat made no pseudo-terminals: " + socat_.errorString();
    }
    ~PtyPair() { vanish(); }
    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }          // why the pair did not start
    QString a() const { return dir_.filePath("a"); }  // link to one end
    QString b() const { return dir_.filePath("b"); }  // link to the other end
    // Kills socat at once, as a device that is unplugged: both ends vanish.
    // The links then point where nothing ever is: the freed /dev/pts numbers
    // may go to the next pseudo-terminal on this machine.
    void vanish() {
        if (socat_.state() == QProcess::NotRunning) return;
        socat_.kill(), socat_.waitForFinished(5000);
        for (const QString& link : {a(), b()})
            if (QFile::remove(link)) QFile::link(dir_.filePath("gone"), link);
    }

  private:
    QTemporaryDir dir_;
    QProcess socat_;
    QString error_;
};

// One end opened raw and non-blocking by plain system calls, so the far side
// of a test does not go through the code under test. Waits run the Qt event
// loop and give up after their timeout.
class RawTty {
  public:
    explicit RawTty(const QString& path)
        : fd_(::open(QFile::encodeName(path), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        termios tio{};  // no line discipline: CR, LF, 0x00 and 0x7F pass unchanged, nothing echoes
        if (fd_ < 0 || ::tcgetattr(fd_, &tio) ||
            (::cfmakeraw(&tio), ::tcsetattr(fd_, TCSANOW, &tio)))
            error_ = path + ": " + std::strerror(errno);
    }
    ~RawTty() { (void)::close(fd_); }
    RawTty(const RawTty&) = delete;
    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }
    int fd() const { return fd_; }
    // Writes every byte; false when timeoutMs passes first.
    bool writeAll(const QByteArray& bytes, int timeoutMs = 20000) {
        qsizetype done = 0;
        return until(POLLOUT, timeoutMs, [&] {
            done +=
                qMax<ssize_t>(0, ::write(fd_, bytes.data() + done, size_t(bytes.size() - done)));
            return done == bytes.size();
        });
    }
    // Bytes waiting to be read now.
    qint64 available() const {
        int n = 0;
        return ::ioctl(fd_, FIONREAD, &n) == 0 ? n : 0;
    }
    // Reads until `count` bytes came or timeoutMs passed; returns what came.
    QByteArray read(qint64 count, int timeoutMs = 5000) {
        QByteArray got(count, 0);
        qint64 done = 0;
        (void)until(POLLIN, timeoutMs, [&] {
            done += qMax<ssize_t>(0, ::read(fd_, got.data() + done, size_t(count - done)));
            return done == count;
        });
        return got.left(done);
    }

  private:
    // Tries `done` until it says so or timeoutMs passed, letting the window
    // run and waiting up to 1 ms for `events` between tries.
    template <class Done>
    bool until(short events, int timeoutMs, Done done) {
        const QDeadlineTimer deadline(timeoutMs);
        const auto pause = [&] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); };
        for (pollfd p{fd_, events, 0}; !done(); pause(), (void)::poll(&p, 1, 1))
            if (deadline.hasExpired()) return false;
        return true;
    }
    int fd_;
    QString error_;
};

}  // namespace zv::test
