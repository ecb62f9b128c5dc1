#include "core/settings_store.h"

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

// A key or section name of the file as QSettings decodes it: "%XX" and
// "%UXXXX" are characters (a blank is stored as "%20"), "\\" separates groups.
QString decodedName(QByteArrayView raw) {
    const QString text = QString::fromUtf8(raw);
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype digits = text.mid(i + 1, 1) == u"U" ? 4 : 2;
        const qsizetype from = i + (digits == 4 ? 2 : 1);
        bool ok = false;
        const ushort code = text.mid(from, digits).toUShort(&ok, 16);
        if (text[i] == u'%' && from + digits <= text.size() && ok) {
            out += QChar(code);
            i = from + digits - 1;
        } else {
            out += text[i] == u'\\' ? QChar(u'/') : text[i];
        }
    }
    return out;
}

// The text after "=" of the last line of `data` that defines `key`
// ("settings/com port"), as written: not unquoted, unescaped or split at
// commas. Lines end where QSettings ends them: at a line break outside double
// quotes (a backslash takes the next character with it) or at a ";" outside
// quotes, which starts a comment.
std::optional<QString> entryText(QByteArrayView data, const QString& key) {
    if (data.startsWith("\xef\xbb\xbf")) data = data.sliced(3);  // a UTF-8 byte order mark
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::optional<QString> found;
    QString section;  // "settings/"; empty before the first header and in [General]
    qsizetype pos = 0;
    while (pos < data.size()) {
        while (pos < data.size() && isSpace(data[pos])) ++pos;
        const qsizetype start = pos;
        qsizetype equals = -1;
        bool quoted = false;
        for (; pos < data.size(); ++pos) {
            const char c = data[pos];
            if (c == '\\') {
                const QByteArrayView next = data.sliced(++pos);                 // taken as it is
                if (next.startsWith("\r\n") || next.startsWith("\n\r")) ++pos;  // one line break
            } else if (c == '"') {
                quoted = !quoted;
            } else if (c == ';' && pos == start) {
                while (pos < data.size() && data[pos] != '\n' && data[pos] != '\r') ++pos;
                break;
            } else if (!quoted && (c == '\n' || c == '\r' || c == ';')) {
                break;
            } else if (c == '=' && !quoted && equals < 0) {
                equals = pos;
            }
        }
        const QByteArrayView line = data.sliced(start, std::min(pos, data.size()) - start);
        if (line.startsWith('[')) {
            const qsizetype end = line.indexOf(']');
            const QByteArrayView name = line.sliced(1, (end < 0 ? line.size() : end) - 1).trimmed();
            section = name.compare("general", Qt::CaseInsensitive) == 0 ? QString()
                      : name.compare("%general", Qt::CaseInsensitive) == 0
                          ? QString::fromLatin1(name.sliced(1)) + u'/'
                          : decodedName(name) + u'/';
        } else if (equals >= 0 &&
                   section + decodedName(line.first(equals - start).trimmed()) == key) {
            QByteArrayView value = line.sliced(equals - start + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                value = value.sliced(1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.chop(1);
            found = QString::fromUtf8(value);
        }
    }
    return found;
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

// QSettings reads a value written by hand without quotes as a list when it
// holds commas ("19200,E,7,1", "10.0.0.0/8, fd00::/8") and as a typed value
// when it starts with "@": its text then comes from the file itself.
std::optional<QString> SettingsStore::readInFull(const QString& key,
                                                 const QString& defaultValue) const {
    const QString stored = findKey(key);
    if (stored.isEmpty()) return defaultValue;
    const QVariant value = settings_->value(stored);
    if (value.typeId() == QMetaType::QString) return value.toString();
    return textAsWritten(stored);
}

QString SettingsStore::read(const QString& key, const QString& defaultValue) const {
    return readInFull(key, defaultValue).value_or(QString());
}

std::optional<QString> SettingsStore::textAsWritten(const QString& stored) const {
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    return entryText(file.readAll(), stored);
}

// QSettings writes the whole file again on every write, each value as it read
// it: "/dev/serial/by-id/usb-X,Y" written by hand would come back as the list
// "/dev/serial/by-id/usb-X, Y". Such values are set to their text as written
// first, which QSettings then writes quoted and reads back unchanged.
void SettingsStore::keepAsWritten() {
    const QStringList keys = settings_->allKeys();
    for (const QString& k : keys) {
        if (settings_->value(k).typeId() == QMetaType::QString) continue;
        if (const std::optional<QString> text = textAsWritten(k)) settings_->setValue(k, *text);
    }
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

void SettingsStore::write(const QString& key, const QString& value) {
    createPrivately();
    QString stored = findKey(key);
    if (stored.isEmpty()) stored = kSection + key;
    keepAsWritten();
    settings_->setValue(stored, value);
    settings_->sync();
    if (settings_->status() != QSettings::NoError) raiseAccess(path_, "write");
}

}  // namespace zv
