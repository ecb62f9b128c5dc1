#include "core/traffic_trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

namespace zv {

TrafficTrace::TrafficTrace(std::function<void(const QString&)> report)
    : report_(std::move(report)) {}

void TrafficTrace::setPath(const QString& path) {
    close();
    path_ = path;
    failed_ = false;
    if (on()) (void)open();
}

void TrafficTrace::reopen() {
    setPath(path_);
}

void TrafficTrace::close() {
    if (fd_ >= 0) (void)::close(fd_);
    fd_ = -1;
}

bool TrafficTrace::open() {
    const QByteArray name = QFile::encodeName(path_);
    // O_NONBLOCK: a named pipe without a reader fails at once (ENXIO) instead
    // of holding the relay in open(), and a full one fails the write.
    fd_ = ::open(name.constData(),
                 O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        const int error = errno;
        struct stat at {};
        const bool known = ::lstat(name.constData(), &at) == 0;
        if (known && S_ISLNK(at.st_mode))
            fail(QStringLiteral("refused"), QStringLiteral("a symbolic link, not followed"));
        else if (known && S_ISFIFO(at.st_mode) && error == ENXIO)
            fail(QStringLiteral("cannot open"), QStringLiteral("a named pipe with no reader"));
        else
            fail(QStringLiteral("cannot open"), QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    struct stat st {};
    QString refused;
    if (::fstat(fd_, &st) != 0)
        refused = QString::fromLocal8Bit(std::strerror(errno));
    else if (S_ISREG(st.st_mode) && st.st_uid != ::geteuid())
        refused = QStringLiteral("owned by another user");
    else if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
        refused = QStringLiteral("mode %1: others may read it")
                      .arg(QString::number(st.st_mode & 07777, 8).rightJustified(4, u'0'));
    if (refused.isEmpty()) return true;
    close();  // nothing was written to it
    fail(QStringLiteral("refused"), refused);
    return false;
}

void TrafficTrace::fail(const QString& what) {
    fail(what, QString::fromLocal8Bit(std::strerror(errno)));
}

void TrafficTrace::fail(const QString& what, const QString& why) {
    if (!failed_) report_(QStringLiteral("trace file %1: %2 (%3)").arg(path_, what, why));
    failed_ = true;
}

QByteArray TrafficTrace::line(const QDateTime& when, QByteArrayView direction,
                              const QByteArray& bytes) {
    return when.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ")).toLatin1() + ' ' +
           direction.toByteArray() + ' ' + QByteArray::number(bytes.size()) +
           " bytes:" + (bytes.isEmpty() ? QByteArray() : ' ' + bytes.toHex(' '));
}

void TrafficTrace::add(QByteArrayView direction, const QByteArray& bytes) {
    if (!on() || bytes.isEmpty() || (fd_ < 0 && !open())) return;  // a line event read nothing
    QByteArray text = line(QDateTime::currentDateTimeUtc(), direction, bytes) + '\n';
    struct stat st {};
    bool known = ::fstat(fd_, &st) == 0;
    if (known && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size + text.size() > maxBytes_) {
        close();
        const QString older = path_ + QStringLiteral(".1");
        if (::rename(QFile::encodeName(path_).constData(), QFile::encodeName(older).constData()))
            fail(QStringLiteral("cannot rotate"));
        if (!open()) return;
        known = ::fstat(fd_, &st) == 0;
    }
    const auto file = std::pair(st.st_dev, st.st_ino);
    if (known && torn_ == file) text.prepend('\n');  // ends the line cut short, not this one
    // One write per line: a crash loses no line already traced.
    qsizetype done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.constData() + done, size_t(text.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const QString why = QString::fromLocal8Bit(std::strerror(errno));
            if (done > 0 && known) torn_ = file;
            fail(QStringLiteral("cannot write"), why);
            close();  // opened again for the next block: the disk may have room by then
            return;
        }
        done += n;
    }
    torn_.reset();
    failed_ = false;
}

}  // namespace zv
