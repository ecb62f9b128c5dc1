// The settings file: case-insensitive keys, private modes, values kept exactly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "app/settings_store.h"
#include "cipher/error.h"

using zv::SettingsStore;

namespace {
QString storePath(const QTemporaryDir& dir) {
    return dir.path() + QStringLiteral("/cfg/Tandro ZV Server/Tandro ZV Server.ini");
}
mode_t modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return 0;
    return st.st_mode & 0777;
}
}  // namespace

TEST(SettingsStore, KeysIgnoreCaseAndKeepTheFirstSpelling) {
    QTemporaryDir dir;
    SettingsStore s(storePath(dir));
    s.SaveSetting("TCP Port", "9875");
    EXPECT_EQ(s.GetSetting("TCP port", "9876"), "9875");
    s.SaveSetting("tcp PORT", "1234");  // replaces, does not add a second entry
    EXPECT_EQ(s.GetSetting("TCP Port", "9876"), "1234");
    QFile f(s.path());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(f.readAll());
    EXPECT_EQ(text.count(QStringLiteral("Port"), Qt::CaseInsensitive), 1) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("TCP%20Port=1234"))) << text.toStdString();
}

TEST(SettingsStore, DefaultsOnlyForMissingKeys) {
    QTemporaryDir dir;
    SettingsStore s(storePath(dir));
    EXPECT_EQ(s.GetSetting("never written", "fallback"), "fallback");
    s.SaveSetting("com port", "");
    EXPECT_EQ(s.GetSetting("com port", "fallback"), "");
    EXPECT_FALSE(QFileInfo::exists(storePath(dir) + "x"));
}

TEST(SettingsStore, ValuesSurviveARestartUnchanged) {
    QTemporaryDir dir;
    const QStringList values{"U2FsdGVkX18BAgMEBQYHCM87LPii0eM=",
                             "a/b+c==",
                             " blanks  ",
                             "semi;colon, comma",
                             "\u00e9t\u00e9",
                             "#hash",
                             "x=y"};
    {
        SettingsStore s(storePath(dir));
        for (int i = 0; i < values.size(); ++i)
            s.SaveSetting(QStringLiteral("k%1").arg(i), values[i]);
    }
    SettingsStore again(storePath(dir));
    for (int i = 0; i < values.size(); ++i)
        EXPECT_EQ(again.GetSetting(QStringLiteral("K%1").arg(i), "?"), values[i]);
}

TEST(SettingsStore, FileAndFolderArePrivateFromCreation) {
    QTemporaryDir dir;
    const mode_t old = ::umask(022);
    SettingsStore s(storePath(dir));
    s.SaveSetting("Password", "secret envelope");
    ::umask(old);
    EXPECT_EQ(modeOf(s.path()), 0600u);
    EXPECT_EQ(modeOf(QFileInfo(s.path()).absolutePath()), 0700u);
}

TEST(SettingsStore, ReadsWhatAnotherCopyWrote) {
    QTemporaryDir dir;
    SettingsStore first(storePath(dir));
    SettingsStore second(storePath(dir));
    first.SaveSetting("netport", "1");
    EXPECT_EQ(second.GetSetting("netport", "?"), "1");
    second.SaveSetting("netport", "3");
    EXPECT_EQ(first.GetSetting("NETPORT", "?"), "3");
}

TEST(SettingsStore, UnwritableStoreRaisesAnError) {
    QTemporaryDir dir;
    QFile blocker(dir.path() + "/cfg");  // a file where the folder should go
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    SettingsStore s(storePath(dir));
    try {
        s.SaveSetting("a", "2");
        ADD_FAILURE() << "no error";
    } catch (const zv::Error& e) {
        EXPECT_EQ(e.number(), zv::errc::FileAccess);
        EXPECT_NE(e.description().find("Tandro ZV Server"), std::string::npos) << e.description();
    }
}
