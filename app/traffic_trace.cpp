#include "app/traffic_trace.h"

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
    fd_ = ::open(QFile::encodeName(path_).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                 0600);
    if (fd_ >= 0) return true;
    fail(QStringLiteral("cannot open"));
    return false;
}

void TrafficTrace::fail(const QString& what) {
    if (!failed_)
        report_(QStringLiteral("trace file %1: %2 (%3)")
                    .arg(path_, what, QString::fromLocal8Bit(std::strerror(errno))));
    failed_ = true;
}

QByteArray TrafficTrace::line(const QDateTime& when, const QString& direction,
                              const QString& bytes) {
    const QByteArray data = bytes.toLatin1();
    return when.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ")).toLatin1() + ' ' +
           direction.toLatin1() + ' ' + QByteArray::number(data.size()) +
           " bytes:" + (data.isEmpty() ? QByteArray() : ' ' + data.toHex(' '));
}

void TrafficTrace::add(const QString& direction, const QString& bytes) {
    if (!on() || bytes.isEmpty() || (fd_ < 0 && !open())) return;  // a line event read nothing
    const QByteArray text = line(QDateTime::currentDateTimeUtc(), direction, bytes) + '\n';
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        st.st_size + text.size() > maxBytes_) {
        close();
        const QString older = path_ + QStringLiteral(".1");
        if (::rename(QFile::encodeName(path_).constData(), QFile::encodeName(older).constData()))
            fail(QStringLiteral("cannot rotate"));
        if (!open()) return;
    }
    // One write per line: a crash loses no line already traced.
    qsizetype done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.constData() + done, size_t(text.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            fail(QStringLiteral("cannot write"));
            close();  // opened again for the next block: the disk may have room by then
            return;
        }
        done += n;
    }
    failed_ = false;
}

}  // namespace zv
