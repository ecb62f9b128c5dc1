#include "core/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>

#include "core/settings_store.h"

namespace zv {

bool validInstanceName(const QString& name) {
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    return allowed.match(name).hasMatch() && name != u"." && name != u"..";
}

QString instanceSettingsPath(const QString& name) {
    const QString path = SettingsStore::defaultPath();
    return name.isEmpty()
               ? path
               : QFileInfo(path).absolutePath() + QLatin1Char('/') + name + QStringLiteral(".ini");
}

QString privateTmpFolder(const QString& name) {
    const QString own = QStringLiteral("/tmp/%1-%2").arg(name).arg(::getuid());
    if (::mkdir(QFile::encodeName(own).constData(), 0700) != 0 && errno != EEXIST) return {};
    struct stat st {};
    // Somebody else's folder at that name is not ours to put anything in.
    if (::lstat(QFile::encodeName(own).constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
        return {};
    return own;
}

namespace {
// $XDG_RUNTIME_DIR; outside a login session (a system service, root, cron)
// there is none, and a folder of our own in /tmp takes its place. Asked
// directly: Qt would warn about the missing variable on every start.
QString runtimeFolder() {
    const QString set = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return set.isEmpty() ? privateTmpFolder(QStringLiteral("tandro-zv-server")) : set;
}
}  // namespace

InstanceLock::InstanceLock(const QString& name) {
    const QString dir = runtimeFolder();
    path_ = dir + QStringLiteral("/tandro-zv-server") +
            (name.isEmpty() ? QString() : QLatin1Char('@') + name) + QStringLiteral(".lock");
    const QByteArray file = QFile::encodeName(path_);
    const auto fail = [&](const char* what) {
        error_ = QStringLiteral("cannot %1 the lock file %2: %3")
                     .arg(QLatin1String(what), path_, QString::fromLocal8Bit(std::strerror(errno)));
    };
    if (dir.isEmpty() || !QDir().mkpath(dir)) {
        fail("create the folder of");
        return;
    }
    fd_ = ::open(file.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        fail("open");
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            fail("lock");
            return;
        }
        char pid[32] = {};
        const ssize_t n = ::pread(fd_, pid, sizeof pid - 1, 0);
        const QString owner = QString::fromLatin1(pid, n > 0 ? int(n) : 0).trimmed();
        error_ =
            QStringLiteral("%1 is already running%2 (lock %3)")
                .arg(name.isEmpty() ? QStringLiteral("the default instance")
                                    : QStringLiteral("instance \"%1\"").arg(name),
                     owner.isEmpty() ? QString() : QStringLiteral(" as process ") + owner, path_);
        return;
    }
    // Only for the message a second start gives: a failure here is no reason
    // to refuse the lock we hold.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd_, 0) == 0) (void)!::pwrite(fd_, pid.constData(), size_t(pid.size()), 0);
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) (void)::close(fd_);
}

}  // namespace zv
