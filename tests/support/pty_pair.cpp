#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <cerrno>
#include <cstring>

namespace zv::test {

namespace {

// Lets the other end's reader or writer run, then waits up to 1 ms for
// `events` on fd so the loops below do not spin (a timeout or an error both
// just mean "try again").
void letTheOtherEndRun(int fd, short events) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    pollfd p{fd, events, 0};
    (void)::poll(&p, 1, 1);
}

}  // namespace

PtyPair::PtyPair() {
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary folder: ") + dir_.errorString();
        return;
    }
    socat_.setProgram(QStringLiteral("socat"));
    socat_.setArguments({QStringLiteral("-d"), QStringLiteral("-d"),
                         QStringLiteral("pty,raw,echo=0,link=") + a(),
                         QStringLiteral("pty,raw,echo=0,link=") + b()});
    socat_.setStandardOutputFile(QProcess::nullDevice());
    socat_.setStandardErrorFile(dir_.filePath(QStringLiteral("socat.log")));
    socat_.start();
    if (!socat_.waitForStarted(5000)) {
        error_ = QStringLiteral("socat did not start: ") + socat_.errorString();
        return;
    }
    const QDeadlineTimer deadline(5000);
    while (!(QFileInfo::exists(a()) && QFileInfo::exists(b()))) {
        if (deadline.hasExpired() || socat_.state() != QProcess::Running) {
            error_ = QStringLiteral("socat made no pseudo-terminals in %1").arg(dir_.path());
            return;
        }
        QThread::msleep(10);
    }
}

PtyPair::~PtyPair() {
    vanish();
}

QString PtyPair::a() const {
    return dir_.filePath(QStringLiteral("a"));
}
QString PtyPair::b() const {
    return dir_.filePath(QStringLiteral("b"));
}

void PtyPair::vanish() {
    if (socat_.state() == QProcess::NotRunning) return;
    socat_.kill();
    if (!socat_.waitForFinished(5000)) qWarning("socat (pid %lld) did not end", socat_.processId());
    // The links now name freed /dev/pts numbers, which the next pseudo-terminal
    // on this machine may take; point them where nothing ever is.
    for (const QString& link : {a(), b()})
        if (QFile::remove(link)) QFile::link(dir_.filePath(QStringLiteral("gone")), link);
}

RawTty::RawTty(const QString& path) {
    fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // No line discipline: CR, LF, 0x00 and 0x7F pass unchanged, nothing echoes.
    termios tio{};
    const char* failed = nullptr;
    if (fd_ < 0)
        failed = "open";
    else if (::tcgetattr(fd_, &tio) != 0)
        failed = "tcgetattr";
    else if (::cfmakeraw(&tio); ::tcsetattr(fd_, TCSANOW, &tio) != 0)
        failed = "tcsetattr";
    if (!failed) return;
    error_ = QStringLiteral("%1 %2: %3")
                 .arg(QLatin1String(failed), path, QString::fromLocal8Bit(strerror(errno)));
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

RawTty::~RawTty() {
    if (fd_ >= 0) (void)::close(fd_);  // nothing to do about a failed close here
}

bool RawTty::writeAll(const QByteArray& bytes, int timeoutMs) {
    if (fd_ < 0) return false;
    const QDeadlineTimer deadline(timeoutMs);
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (deadline.hasExpired()) return false;
        letTheOtherEndRun(fd_, POLLOUT);  // the reader drains the tty
    }
    return true;
}

QByteArray RawTty::read(qint64 count, int timeoutMs) {
    QByteArray got;
    if (fd_ < 0) return got;
    const QDeadlineTimer deadline(timeoutMs);
    char chunk[4096];
    while (got.size() < count && !deadline.hasExpired()) {
        const ssize_t n =
            ::read(fd_, chunk, size_t(qMin<qint64>(sizeof chunk, count - got.size())));
        if (n > 0) {
            got.append(chunk, n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        letTheOtherEndRun(fd_, POLLIN);
    }
    return got;
}

}  // namespace zv::test
