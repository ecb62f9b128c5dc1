#include "support/file_writes.h"

#include <QFileInfo>

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace zv::test {

FileWrites::FileWrites(const QString& path) : name_(QFileInfo(path).fileName()) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return;
    const QByteArray dir = QFileInfo(path).absolutePath().toLocal8Bit();
    // The close events are watched only so that the kernel, which merges equal
    // events in a row, keeps the renames apart.
    if (::inotify_add_watch(fd_, dir.constData(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        (void)::close(fd_);
        fd_ = -1;
    }
}

FileWrites::~FileWrites() {
    if (fd_ >= 0) (void)::close(fd_);
}

int FileWrites::take() {
    int count = 0;
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) break;  // EAGAIN: the kernel queued every event of finished calls
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            if ((e->mask & IN_MOVED_TO) && e->len > 0 && QString::fromLocal8Bit(e->name) == name_)
                ++count;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    return count;
}

}  // namespace zv::test
