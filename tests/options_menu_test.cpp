// Options and Help menus over a real settings file: what is written, what is
// left alone, and that a new key is in force at once and after a restart.
#include <gtest/gtest.h>
#include <QAction>
#include <QDir>
#include <QFile>
#include <QTest>

#include "app/data_pane.h"
#include "net/winsock.h"
#include "support/file_writes.h"
#include "support/openssl_cli.h"
#include "support/server_rig.h"
#include "support/tcp_client.h"

using namespace zv;

namespace {
const QString kKeyPrompt =
    QStringLiteral("Enter a new encryption key. The same key must be entered in Tandro Zelvane.");
}  // namespace

class OptionsMenu : public ::testing::Test {
  protected:
    void SetUp() override { rig.set("com port", "0"); }
    test::ServerRig rig;
};

// Each start reads what the one before wrote, or values edited by hand.
TEST_F(OptionsMenu, CheckItemsWriteAtOnceAndActAtTheNextStart) {
    rig.set("TCP Port", QString::number(test::freePort()));
    const struct {
        const char *state, *autoconnect;  // stored by hand; nullptr: as the toggles left them
        bool minimised, listening;        // at this start, and after the toggles too
        const char* stored;               // WindowState and autoconnect after the toggles
        int writes;
    } starts[] = {{"1", "0", true, false, "01", 2},
                  {nullptr, nullptr, false, true, "10", 2},
                  {"2", "yes", false, false, "2yes", 0}};  // maximised: not the item's choice
    for (const auto& row : starts) {
        SCOPED_TRACE(row.stored);
        if (row.state) {
            rig.set("WindowState", row.state);
            rig.set("autoconnect", row.autoconnect);
        }
        frmZVServer& w = rig.load();
        test::FileWrites writes(rig.settingsPath);
        ASSERT_TRUE(writes.ok());
        w.mnuMinimized->trigger();
        w.mnuNetAutoconnect->trigger();
        EXPECT_EQ(writes.take(), row.writes);
        const QString stored = rig.get("WindowState") + rig.get("autoconnect");
        EXPECT_EQ(stored, row.stored);
        EXPECT_EQ(w.mnuMinimized->isChecked(), stored.startsWith('1'));
        EXPECT_EQ(w.mnuNetAutoconnect->isChecked(), stored.endsWith('1'));
        EXPECT_EQ(bool(w.windowState() & Qt::WindowMinimized), row.minimised);
        EXPECT_EQ(rig.server1->State() == sck::Listening, row.listening);
        rig.shut();
    }
    EXPECT_TRUE(rig.dialogs.shown.empty());
}

TEST_F(OptionsMenu, NewKeyIsUsedAtOnceAndSurvivesARestartWithItsBlanks) {
    const quint16 p1 = test::freePort();
    rig.set("TCP Port", QString::number(p1));
    frmZVServer& w = rig.load();
    const QString stored = rig.get("Password");
    rig.dialogs.answer("");  // Cancel changes nothing
    w.mnuChangeKey->trigger();
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);  // the input box alone
    EXPECT_EQ(rig.dialogs.shown[0].text, kKeyPrompt);
    EXPECT_EQ(rig.dialogs.shown[0].title, "Tandro ZV Server");
    EXPECT_EQ(rig.dialogs.shown[0].defaultText, "");
    EXPECT_EQ(w.Password, "ResetNow");
    EXPECT_EQ(rig.get("Password"), stored);

    w.cmdListen_Click();
    test::TcpClient client;
    ASSERT_TRUE(client.connect(p1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.server1->State() == sck::Connected; }));
    const QString key = QStringLiteral("  new key \u00e9 ");
    rig.dialogs.answer(key);
    w.mnuChangeKey->trigger();
    EXPECT_EQ(w.Password, key);
    EXPECT_EQ(test::opensslDecrypt(rig.get("Password").toLatin1(), "QJ7X KD Wander"), key.toUtf8());
    EXPECT_EQ(rig.dialogs.shown.size(), 2u);  // no confirmation box

    // The connected client was not told: under the old key it reads noise.
    w.cmdSend_Click();
    const QByteArray envelope = client.read(72);
    const QByteArray greeting = "Hello there client, this is server.\r";
    EXPECT_NE(test::opensslDecrypt(envelope, "ResetNow"), greeting);
    EXPECT_EQ(test::opensslDecrypt(envelope, key), greeting);
    // What a client sends is opened with the new key too ("Rx from Net:").
    ASSERT_TRUE(client.send(test::opensslEncrypt("hi", key)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.txtRxData->model().Text().contains("hi"); }));

    rig.shut();
    EXPECT_EQ(rig.load().Password, key);
}

TEST_F(OptionsMenu, AboutNamesTheProgramItsVersionAndItsSettingsFile) {
    frmZVServer& w = rig.load();
    rig.dialogs.expectBoxes(1);
    w.mnuHelpAbout->trigger();
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_EQ(rig.dialogs.shown[0].flags, 64);
    for (const QString& part : {QString("Tandro ZV Server"), QString(ZV_VERSION),
                                QString("serial port"), rig.settingsPath})
        EXPECT_TRUE(rig.dialogs.shown[0].text.contains(part)) << part.toStdString();
}

// A store that cannot be written (its folder replaced by a plain file, as
// permissions would not stop root): each handler reports, none is fatal.
TEST_F(OptionsMenu, UnwritableStoreIsReportedNotFatal) {
    frmZVServer& w = rig.load();
    w.show();
    const QString folder = QFileInfo(rig.settingsPath).absolutePath();
    ASSERT_TRUE(QDir(folder).removeRecursively());
    ASSERT_TRUE(QFile(folder).open(QIODevice::WriteOnly));

    rig.dialogs.expectBoxes(5);
    rig.dialogs.answer("other key");
    w.mnuMinimized->trigger();
    w.mnuNetAutoconnect->trigger();
    w.mnuChangeKey->trigger();
    w.cmdExit_Click();
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.close());  // closing unloads all the same after its own report
    EXPECT_FALSE(w.isVisible());
    QStringList heads;  // the texts without the error's description
    for (const QString& text : rig.dialogs.texts()) heads << text.section(" - ", 0, 0);
    EXPECT_EQ(heads,
              QStringList({"VB6 runtime error (mnuMinimized_Click): 75",
                           "VB6 runtime error (mnuAutoconnect_Click): 75", kKeyPrompt,
                           "VB6 runtime error (mnuChangeKey_Click): 75",
                           "VB6 runtime error (exit): 75", "VB6 runtime error (unload): 75"}));
    // Steps before the failed write stay done: the new key is in force.
    EXPECT_EQ(w.Password, "other key");
    EXPECT_EQ(w.winstate, "1");
}
