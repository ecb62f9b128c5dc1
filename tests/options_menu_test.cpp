// Options and Help menus over a real settings file: what is written, what is
// left alone, and that a new key is in force at once and after a restart.
#include <gtest/gtest.h>
#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTest>

#include "app/data_pane.h"
#include "net/winsock.h"
#include "support/file_writes.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"
#include "support/tcp_client.h"

using namespace zv;

namespace {
const QByteArray kGreeting = "Hello there client, this is server.\r";
const QString kKeyPrompt =
    QStringLiteral("Enter a new encryption key. The same key must be entered in Tandro Zelvane.");
}  // namespace

class OptionsMenu : public ::testing::Test {
  protected:
    void SetUp() override { rig.set("com port", "0"); }
    test::ServerRig rig;
};

TEST_F(OptionsMenu, CheckItemsWriteAtOnceAndActAtTheNextStart) {
    rig.set("WindowState", "1");
    rig.set("autoconnect", "0");
    rig.set("TCP Port", QString::number(test::freePort()));
    frmZVServer& w = rig.load();
    ASSERT_TRUE(w.windowState() & Qt::WindowMinimized);
    test::FileWrites writes(rig.settingsPath);
    ASSERT_TRUE(writes.ok());

    w.mnuMinimized->trigger();
    EXPECT_FALSE(w.mnuMinimized->isChecked());
    EXPECT_EQ(rig.get("WindowState"), "0");
    EXPECT_TRUE(w.windowState() & Qt::WindowMinimized);  // stays as it is for now
    w.mnuMinimized->trigger();
    EXPECT_TRUE(w.mnuMinimized->isChecked());
    EXPECT_EQ(rig.get("WindowState"), "1");

    w.mnuNetAutoconnect->trigger();
    EXPECT_TRUE(w.mnuNetAutoconnect->isChecked());
    EXPECT_EQ(rig.get("autoconnect"), "1");
    EXPECT_EQ(rig.server1->State(), sck::Closed);  // no listening now
    EXPECT_EQ(writes.take(), 3);

    // The next start listens and is not minimised.
    w.mnuMinimized->trigger();
    rig.shut();
    frmZVServer& again = rig.load();
    EXPECT_EQ(rig.server1->State(), sck::Listening);
    EXPECT_FALSE(again.windowState() & Qt::WindowMinimized);
    again.mnuNetAutoconnect->trigger();
    EXPECT_FALSE(again.mnuNetAutoconnect->isChecked());
    EXPECT_EQ(rig.get("autoconnect"), "0");
    EXPECT_EQ(rig.server1->State(), sck::Listening);  // no closing now either
    EXPECT_TRUE(rig.dialogs.shown.empty());
}

TEST_F(OptionsMenu, HandEditedValuesAreLeftAlone) {
    rig.set("WindowState", "2");  // maximised: valid at start-up, not a choice of the item
    rig.set("autoconnect", "yes");
    frmZVServer& w = rig.load();
    test::FileWrites writes(rig.settingsPath);
    ASSERT_TRUE(writes.ok());
    w.mnuMinimized->trigger();
    w.mnuNetAutoconnect->trigger();
    EXPECT_EQ(writes.take(), 0);
    EXPECT_EQ(w.winstate, "2");
    EXPECT_EQ(w.autoconnect, "yes");
    EXPECT_FALSE(w.mnuMinimized->isChecked());
    EXPECT_FALSE(w.mnuNetAutoconnect->isChecked());
    EXPECT_EQ(rig.get("WindowState"), "2");
    EXPECT_EQ(rig.get("autoconnect"), "yes");
    EXPECT_EQ(rig.server1->State(), sck::Closed);
    // The counter does see a write.
    w.autoconnect = "0";
    w.mnuNetAutoconnect->trigger();
    EXPECT_EQ(writes.take(), 1);
    EXPECT_TRUE(rig.dialogs.shown.empty());
}

TEST_F(OptionsMenu, ChangeKeyCancelKeepsTheKey) {
    frmZVServer& w = rig.load();
    const QString stored = rig.get("Password");
    rig.dialogs.answer("");
    w.mnuChangeKey->trigger();
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_EQ(rig.dialogs.shown[0].text, kKeyPrompt);
    EXPECT_EQ(rig.dialogs.shown[0].title, "Tandro ZV Server");
    EXPECT_EQ(rig.dialogs.shown[0].defaultText, "");
    EXPECT_EQ(rig.dialogs.shown[0].flags, -1);  // an input box, no confirmation after
    EXPECT_EQ(w.Password, "ResetNow");
    EXPECT_EQ(rig.get("Password"), stored);
}

TEST_F(OptionsMenu, NewKeyIsUsedAtOnceAndSurvivesARestartWithItsBlanks) {
    const quint16 p1 = test::freePort();
    rig.set("TCP Port", QString::number(p1));
    frmZVServer& w = rig.load();
    w.cmdListen_Click();
    test::TcpClient client;
    ASSERT_TRUE(client.connect(p1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.server1->State() == sck::Connected; }));

    const QString key = QStringLiteral("  new key \u00e9 ");
    rig.dialogs.answer(key);
    w.mnuChangeKey->trigger();
    EXPECT_EQ(w.Password, key);
    EXPECT_EQ(test::opensslDecrypt(rig.get("Password").toLatin1(), "QJ7X KD Wander"), key.toUtf8());
    EXPECT_EQ(rig.dialogs.shown.size(), 1u);  // the input box alone

    // The connected client was not told: under the old key it reads noise.
    w.cmdSend_Click();
    const QByteArray envelope = client.read(72);
    EXPECT_NE(test::opensslDecrypt(envelope, "ResetNow"), kGreeting);
    EXPECT_EQ(test::opensslDecrypt(envelope, key), kGreeting);

    // What a client sends is opened with the new key too ("Rx from Net:").
    ASSERT_TRUE(client.send(test::opensslEncrypt("hi", key)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.txtRxData->model().Text().contains("hi"); }));

    rig.shut();
    frmZVServer& again = rig.load();
    EXPECT_EQ(again.Password, key);
}

TEST_F(OptionsMenu, AboutNamesTheProgramItsVersionAndItsSettingsFile) {
    frmZVServer& w = rig.load();
    rig.dialogs.expectBoxes(1);
    w.mnuHelpAbout->trigger();
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    const QString text = rig.dialogs.shown[0].text;
    EXPECT_TRUE(text.contains("Tandro ZV Server")) << text.toStdString();
    EXPECT_TRUE(text.contains(ZV_VERSION)) << text.toStdString();
    EXPECT_TRUE(text.contains("serial port")) << text.toStdString();
    EXPECT_TRUE(text.contains(rig.settingsPath)) << text.toStdString();
    EXPECT_EQ(rig.dialogs.shown[0].flags, 64);
}

// A store that cannot be written: the folder of the settings file is
// replaced by a plain file (permissions would not stop root).
TEST_F(OptionsMenu, UnwritableStoreIsReportedNotFatal) {
    frmZVServer& w = rig.load();
    const QString folder = QFileInfo(rig.settingsPath).absolutePath();
    ASSERT_TRUE(QDir(folder).removeRecursively());
    QFile blocker(folder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    rig.dialogs.expectBoxes(3);
    rig.dialogs.answer("other key");
    w.mnuMinimized->trigger();
    w.mnuNetAutoconnect->trigger();
    w.mnuChangeKey->trigger();
    const QStringList texts = rig.dialogs.texts();
    ASSERT_EQ(texts.size(), 4);  // three boxes and the input box
    EXPECT_TRUE(texts[0].startsWith("VB6 runtime error (mnuMinimized_Click): 75 - "))
        << texts[0].toStdString();
    EXPECT_TRUE(texts[1].startsWith("VB6 runtime error (mnuAutoconnect_Click): 75 - "))
        << texts[1].toStdString();
    EXPECT_EQ(texts[2], kKeyPrompt);
    EXPECT_TRUE(texts[3].startsWith("VB6 runtime error (mnuChangeKey_Click): 75 - "))
        << texts[3].toStdString();
    // Steps before the failed write stay done: the new key is in force.
    EXPECT_EQ(w.Password, "other key");
    EXPECT_EQ(w.winstate, "1");
}
