#include "app/settings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cipher/error.h"

namespace zv {

namespace {
const QString kSection = QStringLiteral("settings/");
const QString kApplication = QStringLiteral("Tandro ZV Server");

QString octal(mode_t mode) {
    return QString::number(mode, 8).rightJustified(4, QLatin1Char('0'));
}

[[noreturn]] void raiseAccess(const QString& path, const char* what) {
    throw Error(errc::FileAccess, QStringLiteral("Path/File access error: cannot %1 %2")
                                      .arg(QString::fromLatin1(what), path)
                                      .toStdString());
}
}  // namespace

SettingsStore::SettingsStore(QString path)
    : path_(std::move(path)), settings_(std::make_unique<QSettings>(path_, QSettings::IniFormat)) {}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::defaultPath() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return base + QLatin1Char('/') + kApplication + QLatin1Char('/') + kApplication +
           QStringLiteral(".ini");
}

QString SettingsStore::findKey(const QString& key) const {
    settings_->sync();  // another copy of the program may have written since
    const QString wanted = kSection + key;
    const QStringList keys = settings_->allKeys();
    for (const QString& k : keys) {
        if (k.compare(wanted, Qt::CaseInsensitive) == 0) return k;
    }
    return {};
}

QString SettingsStore::GetSetting(const QString& key, const QString& defaultValue) const {
    const QString stored = findKey(key);
    if (stored.isEmpty()) return defaultValue;
    return settings_->value(stored).toString();
}

QString SettingsStore::readError() const {
    QFile file(path_);
    if (!file.exists()) return {};
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the settings %1: %2").arg(path_, file.errorString());
    settings_->sync();
    if (settings_->status() == QSettings::FormatError)
        return QStringLiteral("the settings %1 are not an INI file").arg(path_);
    return {};
}

QString SettingsStore::makePrivate() {
    QStringList tightened, notices;
    const auto tighten = [&](const QString& path, const QString& what) {
        const QByteArray name = QFile::encodeName(path);
        struct stat st {};
        if (::stat(name.constData(), &st) != 0 || (st.st_mode & 077) == 0) return;
        const mode_t was = st.st_mode & 07777;
        if (::chmod(name.constData(), was & 0700) == 0) {
            tightened << what + QStringLiteral(" was ") + octal(was);
        } else {
            notices << QStringLiteral("settings %1 %2 not made private: %3")
                           .arg(what, octal(was), QString::fromLocal8Bit(std::strerror(errno)));
        }
    };
    tighten(QFileInfo(path_).absolutePath(), QStringLiteral("folder"));
    tighten(path_, QStringLiteral("file"));
    if (!tightened.isEmpty())
        notices.prepend(QStringLiteral("settings made private (%1)").arg(tightened.join(", ")));
    return notices.join(QStringLiteral("; "));
}

// Folder 0700 and file 0600 before QSettings writes its first byte: a file
// created by QSettings would follow the umask and be readable by others for a moment.
void SettingsStore::createPrivately() {
    const QFileInfo info(path_);
    const QByteArray dir = QFile::encodeName(info.absolutePath());
    if (!QFileInfo::exists(info.absolutePath())) {
        if (!QDir().mkpath(QFileInfo(info.absolutePath()).absolutePath()))
            raiseAccess(info.absolutePath(), "create");
        if (::mkdir(dir.constData(), 0700) != 0 && errno != EEXIST)
            raiseAccess(info.absolutePath(), "create");
    }
    if (!info.exists()) {
        const int fd = ::open(QFile::encodeName(path_).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) raiseAccess(path_, "create");
        if (fd >= 0) ::close(fd);
    }
}

void SettingsStore::SaveSetting(const QString& key, const QString& value) {
    createPrivately();
    QString stored = findKey(key);
    if (stored.isEmpty()) stored = kSection + key;
    settings_->setValue(stored, value);
    settings_->sync();
    if (settings_->status() != QSettings::NoError) raiseAccess(path_, "write");
}

}  // namespace zv
