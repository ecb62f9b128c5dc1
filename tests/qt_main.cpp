// Test entry for everything that touches Qt: one QApplication for the whole run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>

#include "core/instance.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // Outside a login session (CI, root) there is no $XDG_RUNTIME_DIR, and Qt
    // would warn on every run: a private folder of the tests' own stands in.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        if (const QString dir = zv::privateTmpFolder(QStringLiteral("tandro-zv-tests"));
            !dir.isEmpty())
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
