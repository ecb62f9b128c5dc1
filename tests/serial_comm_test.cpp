// The serial control against real socat pseudo-terminals: COM3 is end "a",
// the test plays the far machine on end "b". The input cap under a flood is
// checked through the window in bounded_memory_test.
#include "serial/serial_comm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <map>
#include <memory>

#include "cipher/error.h"
#include "support/pty_pair.h"

using zv::SerialComm;
using zv::test::PtyPair;
using zv::test::RawTty;

namespace {

constexpr int kWaitMs = 10000;  // generous: only a broken build waits this long

// The error `f` raises; number 0 when it raises none.
template <class F>
zv::Error errorOf(F&& f) {
    try {
        f();
    } catch (const zv::Error& e) {
        return e;
    }
    return zv::Error(0, "no error raised");
}

class SerialCommTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty_->ok()) << pty_->error().toStdString();
        far_ = std::make_unique<RawTty>(pty_->b());
        ASSERT_TRUE(far_->ok()) << far_->error().toStdString();
        comm_ = makeComm();
    }

    // COM3 is the pty, any other number a missing device; set up as start-up does.
    std::unique_ptr<SerialComm> makeComm() {
        auto c = std::make_unique<SerialComm>(
            [this](int n) { return n == 3 ? pty_->a() : pty_->a() + "-missing"; });
        c->setRThreshold(1);
        c->setRTSEnable(false);
        c->setDTREnable(false);
        c->setInputLen(0);
        return c;
    }

    // What choosing COM3 does.
    void openCom3(SerialComm& c) {
        c.setCommPort(3);
        c.setPortOpen(true);
        c.setSettings("9600,N,8,1");
    }

    std::unique_ptr<PtyPair> pty_ = std::make_unique<PtyPair>();
    std::unique_ptr<RawTty> far_;
    std::unique_ptr<SerialComm> comm_;
};

TEST_F(SerialCommTest, EveryByteValueCrossesUnchangedBothWays) {
    ASSERT_NO_THROW(openCom3(*comm_));
    QByteArray received;
    QObject::connect(comm_.get(), &zv::MSComm::OnComm,
                     [&] { received += comm_->Input().toLatin1(); });
    // The bytes a cooked tty or a careless code page would change, then all 256.
    QByteArray sent("\x00\x0d\x0a\x11\x13\x7f\x80\xff", 8);
    for (int i = 0; i < 256; ++i) sent.append(char(i));
    ASSERT_TRUE(far_->writeAll(sent));
    EXPECT_TRUE(QTest::qWaitFor([&] { return received.size() >= sent.size(); }, kWaitMs));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(comm_->InBufferCount(), 0);

    ASSERT_NO_THROW(comm_->setOutput(QString::fromLatin1(sent)));
    EXPECT_EQ(far_->read(sent.size()), sent);
    // U+20AC has no byte of its own: it goes out as '?', its neighbours intact.
    ASSERT_NO_THROW(comm_->setOutput(QString::fromUtf8("a\u20acb")));
    EXPECT_EQ(far_->read(3), QByteArray("a?b"));
}

TEST_F(SerialCommTest, ThresholdAndInputLenShapeTheReads) {
    comm_->setRThreshold(5);
    comm_->setInputLen(4);
    ASSERT_NO_THROW(openCom3(*comm_));
    QSignalSpy events(comm_.get(), &zv::MSComm::OnComm);
    ASSERT_TRUE(far_->writeAll("abc"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return comm_->InBufferCount() == 3; }, kWaitMs));
    EXPECT_EQ(events.count(), 0);  // 3 of 5 bytes: no event yet
    ASSERT_TRUE(far_->writeAll("defgh"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return events.count() > 0; }, kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return comm_->InBufferCount() == 8; }, kWaitMs));
    EXPECT_EQ(comm_->Input(), "abcd");
    EXPECT_EQ(comm_->Input(), "efgh");
    EXPECT_EQ(comm_->Input(), "");
}

TEST_F(SerialCommTest, SettingsReachTheLineAtOnceAndBadTextIsRefused) {
    // Opened before the control takes the device exclusively, to read its termios.
    const int probe = ::open(pty_->a().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    const auto expectLine = [&](speed_t speed, tcflag_t shape) {
        termios t{};
        ASSERT_EQ(::tcgetattr(probe, &t), 0);
        EXPECT_EQ(::cfgetospeed(&t), speed);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), shape);
    };
    ASSERT_NO_THROW(openCom3(*comm_));
    expectLine(B9600, CS8);
    ASSERT_NO_THROW(comm_->setSettings("19200,n,8,2"));
    expectLine(B19200, CS8 | CSTOPB);

    for (const char* bad : {"", "9600", "9600,N,8", "9600,N,8,1,1", "fast,N,8,1", "0,N,8,1",
                            "9600,X,8,1", "9600,N,4,1", "9600,N,9,1", "9600,N,8,3", "9600,N,8,1.2",
                            "9600,E,7,1"}) {  // well formed, but a pseudo-terminal is always 8N
        const zv::Error e = errorOf([&] { comm_->setSettings(bad); });
        EXPECT_EQ(e.number(), zv::errc::InvalidPropertyValue) << bad;
        EXPECT_NE(e.description().find("Invalid property value"), std::string::npos) << bad;
    }
    expectLine(B19200, CS8 | CSTOPB);  // a refused text leaves the line as it was
    EXPECT_EQ(::close(probe), 0);
}

TEST_F(SerialCommTest, OpenFailuresNameTheDeviceAndTheCause) {
    comm_->setCommPort(5);
    zv::Error e = errorOf([&] { comm_->setPortOpen(true); });
    EXPECT_EQ(e.number(), zv::errc::PortNotFound);
    EXPECT_NE(e.description().find((pty_->a() + "-missing").toStdString()), std::string::npos)
        << e.what();
    EXPECT_FALSE(comm_->PortOpen());
    EXPECT_EQ(errorOf([&] { comm_->setCommPort(17); }).number(), zv::errc::PortNotFound);

    ASSERT_NO_THROW(openCom3(*comm_));
    auto other = makeComm();
    e = errorOf([&] { openCom3(*other); });
    EXPECT_EQ(e.number(), zv::errc::PortInUse);
    EXPECT_NE(e.description().find(pty_->a().toStdString()), std::string::npos) << e.what();
    // Choosing another port while open is refused.
    EXPECT_EQ(errorOf([&] { comm_->setCommPort(4); }).number(), zv::errc::PortInUse);
    EXPECT_EQ(comm_->CommPort(), 3);

    comm_->setPortOpen(false);
    comm_->setPortOpen(false);  // closing a closed port does nothing
    e = errorOf([&] { comm_->setOutput("x"); });
    EXPECT_EQ(e.number(), zv::errc::PortClosed);
    EXPECT_NE(e.description().find("COM3"), std::string::npos) << e.what();
    EXPECT_NO_THROW(openCom3(*other));  // free again once closed
}

TEST_F(SerialCommTest, UnreadableDeviceAsksForTheDialoutGroup) {
    if (::geteuid() == 0) GTEST_SKIP() << "root opens any device";
    ASSERT_EQ(::chmod(QFileInfo(pty_->a()).symLinkTarget().toLocal8Bit().constData(), 0), 0);
    const zv::Error e = errorOf([&] { openCom3(*comm_); });
    EXPECT_EQ(e.number(), SerialComm::kPermissionDenied);
    EXPECT_NE(e.description().find("dialout"), std::string::npos) << e.what();
}

TEST_F(SerialCommTest, VanishedDeviceIsReportedOnceThenReopens) {
    ASSERT_NO_THROW(openCom3(*comm_));
    QSignalSpy failed(comm_.get(), &zv::MSComm::portFailed);
    pty_->vanish();
    ASSERT_TRUE(QTest::qWaitFor([&] { return failed.count() > 0; }, kWaitMs));
    QTest::qWait(300);  // Qt would repeat the read error thousands of times here
    ASSERT_EQ(failed.count(), 1);
    EXPECT_EQ(failed[0][0].toInt(), 3);
    EXPECT_TRUE(failed[0][1].toString().contains(pty_->a()))
        << failed[0][1].toString().toStdString();
    EXPECT_FALSE(comm_->PortOpen());
    EXPECT_EQ(errorOf([&] { comm_->setPortOpen(true); }).number(), zv::errc::PortNotFound);

    far_.reset();
    pty_ = std::make_unique<PtyPair>();
    ASSERT_TRUE(pty_->ok());
    far_ = std::make_unique<RawTty>(pty_->b());
    ASSERT_NO_THROW(comm_->setPortOpen(true));
    ASSERT_TRUE(far_->writeAll("back"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return comm_->InBufferCount() == 4; }, kWaitMs));
    EXPECT_EQ(comm_->Input(), "back");
    EXPECT_EQ(failed.count(), 1);
}

TEST_F(SerialCommTest, OutputTheLineCannotTakeIsRefusedNotLost) {
    ASSERT_NO_THROW(openCom3(*comm_));
    comm_->setOutputCap(64 * 1024);
    const QString chunk(16 * 1024, QLatin1Char('w'));
    qint64 accepted = 0;
    zv::Error refused(0, "");
    // The far end reads nothing, so the ttys and socat fill and the rest waits here.
    for (int i = 0; i < 1024 && refused.number() == 0; ++i) {
        refused = errorOf([&] { comm_->setOutput(chunk); });
        if (refused.number() == 0) accepted += chunk.size();
        QTest::qWait(1);
    }
    EXPECT_EQ(refused.number(), zv::errc::SerialIo);
    EXPECT_NE(refused.description().find("Output buffer full"), std::string::npos);
    EXPECT_EQ(far_->read(accepted, kWaitMs).size(), accepted);
}

}  // namespace
