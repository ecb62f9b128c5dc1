// Test entry for everything that touches Qt: one QApplication for the whole run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <QApplication>
#include <QFile>

namespace {
// Outside a login session (CI, root) there is no $XDG_RUNTIME_DIR, and Qt
// would warn on every run: a private folder of the tests' own stands in.
void ensureRuntimeDir() {
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) return;
    const QByteArray dir =
        QFile::encodeName(QStringLiteral("/tmp/tandro-zv-tests-%1").arg(::getuid()));
    struct stat st {};
    if (::mkdir(dir.constData(), 0700) != 0 && errno != EEXIST) return;
    if (::lstat(dir.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
        (st.st_mode & 077) == 0)
        qputenv("XDG_RUNTIME_DIR", dir);
}
}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    ensureRuntimeDir();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
