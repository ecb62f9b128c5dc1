// The Com Port menu with real pseudo-terminals mapped as COM3 and COM4.
#include <gtest/gtest.h>
#include <QAction>
#include <QTest>

#include "serial/mscomm.h"
#include "support/pty_pair.h"
#include "support/server_rig.h"

using namespace zv;

namespace {
QList<int> checkedPorts(const frmZVServer& w) {
    QList<int> out;
    for (int n = 1; n <= 16; ++n)
        if (w.mnuPortsCom[n - 1]->isChecked()) out << n;
    return out;
}
}  // namespace

class ComSelection : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(com3.ok() && com4.ok());
        rig.set("com device 3", com3.a());
        rig.set("com device 4", com4.a());
        rig.set("com device 5", rig.dir.path() + "/no-such-device");
        rig.set("com device 7", rig.dir.path() + "/no-such-device");
        rig.set("com device 12", rig.dir.path() + "/absent12");
        rig.open();
    }
    test::PtyPair com3, com4;
    test::ServerRig rig;
};

TEST_F(ComSelection, ChoosingAPortOpensItStoresItAndMovesTheMark) {
    frmZVServer& w = *rig.window;
    w.mnuPortsCom3_Click();
    EXPECT_TRUE(rig.comm->PortOpen());
    EXPECT_EQ(checkedPorts(w), QList<int>{3});
    EXPECT_EQ(rig.get("com port"), "3");
    EXPECT_EQ(w.comport, "3");
    // The device really is COM3: a byte written far away arrives.
    test::RawTty far(com3.b());
    ASSERT_TRUE(far.writeAll("x"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.comm->InBufferCount() > 0; }, 5000));

    w.mnuPortsCom4_Click();
    EXPECT_EQ(checkedPorts(w), QList<int>{4});
    EXPECT_EQ(rig.comm->CommPort(), 4);
    // Choosing the checked item closes and reopens the same port.
    w.mnuPortsCom4_Click();
    EXPECT_TRUE(rig.comm->PortOpen());
    EXPECT_EQ(checkedPorts(w), QList<int>{4});
    EXPECT_TRUE(rig.dialogs.shown.empty());
    // A menu click runs the same routine.
    w.mnuPortsCom[2]->trigger();
    EXPECT_EQ(checkedPorts(w), QList<int>{3});
}

TEST_F(ComSelection, MissingDeviceClosesTheOldPortAndKeepsItsMark) {
    frmZVServer& w = *rig.window;
    w.mnuPortsCom3_Click();
    rig.dialogs.expectBoxes(2);
    w.mnuPortsCom5_Click();
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    const auto& box = rig.dialogs.shown[0];
    EXPECT_TRUE(box.text.startsWith("VB6 runtime error (com5): 8002 - ")) << box.text.toStdString();
    EXPECT_TRUE(box.text.contains("no-such-device")) << "names the device";
    EXPECT_EQ(box.flags, 64);
    EXPECT_EQ(box.title, "Tandro ZV Server");
    EXPECT_FALSE(rig.comm->PortOpen());
    EXPECT_EQ(checkedPorts(w), QList<int>{3});
    EXPECT_EQ(rig.get("com port"), "5");
    // COM7's prefix has no blank before the parenthesis.
    w.mnuPortsCom7_Click();
    EXPECT_TRUE(rig.dialogs.shown[1].text.startsWith("VB6 runtime error(com7): 8002 - "));
}

TEST_F(ComSelection, PortInUseAndHighNumbers) {
    frmZVServer& w = *rig.window;
    // Another program holds COM3's device.
    SerialComm other([&](int) { return com3.a(); });
    other.setCommPort(3);
    other.setPortOpen(true);
    rig.dialogs.expectBoxes(2);
    w.mnuPortsCom3_Click();
    ASSERT_EQ(rig.dialogs.shown.size(), 1u);
    EXPECT_TRUE(rig.dialogs.shown[0].text.startsWith("VB6 runtime error (com3): 8005 - "))
        << rig.dialogs.shown[0].text.toStdString();
    // A failed COM12 still stores the choice.
    w.mnuPortsCom12_Click();
    EXPECT_EQ(rig.get("com port"), "12");
    EXPECT_TRUE(rig.dialogs.shown[1].text.startsWith("VB6 runtime error (com12): "));
    EXPECT_EQ(w.mnuPortsCom[11]->toolTip(), rig.dir.path() + "/absent12");
    EXPECT_EQ(w.mnuPortsCom[15]->toolTip(), "/dev/ttyS15");  // unmapped: the usual device
    EXPECT_EQ(w.mnuPortsCom[2]->toolTip(), com3.a());
}
