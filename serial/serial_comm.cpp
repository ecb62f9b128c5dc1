#include "serial/serial_comm.h"

#include <termios.h>
#include <unistd.h>

#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "cipher/error.h"

namespace zv {

namespace {

[[noreturn]] void raise(std::int32_t number, const QString& text) {
    throw Error(number, text.toStdString());
}

bool isIoFailure(QSerialPort::SerialPortError e) {
    return e == QSerialPort::ReadError || e == QSerialPort::WriteError ||
           e == QSerialPort::ResourceError;
}

constexpr int kLowestPort = 1;
constexpr int kHighestPort = 16;

}  // namespace

SerialComm::SerialComm(DeviceResolver resolver, qint64 inputCap, QObject* parent)
    : MSComm(parent), resolver_(std::move(resolver)), inputCap_(inputCap) {
    if (inputCap_ <= 0) inputCap_ = kDefaultInputCap;
    // Unbounded on purpose: a bound makes Qt stop reading and the kernel then
    // drops bytes unseen; onReadyRead() drops the oldest ones instead, counted.
    port_.setReadBufferSize(0);
    connect(&port_, &QSerialPort::readyRead, this, &SerialComm::onReadyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialComm::onErrorOccurred);
    reopen_.setInterval(kReopenMs);
    connect(&reopen_, &QTimer::timeout, this, &SerialComm::tryReopen);
}

SerialComm::~SerialComm() {
    // Closing can report errors; this object is half gone by then.
    QObject::disconnect(&port_, nullptr, this, nullptr);
    closePort();
}

void SerialComm::closePort() {
    writer_.reset();  // before the descriptor it writes to goes
    if (port_.isOpen()) port_.close();
}

QString SerialComm::defaultDevice(int n) {
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
}

QString SerialComm::devicePath(int n) const {
    return resolver_ ? resolver_(n) : defaultDevice(n);
}

QString SerialComm::portName() const {
    return QStringLiteral("COM%1 (%2)")
        .arg(commPort_)
        .arg(port_.isOpen() ? path_ : devicePath(commPort_));
}

void SerialComm::setInputCap(qint64 bytes) {
    if (bytes <= 0)
        raise(errc::InvalidPropertyValue,
              QStringLiteral("Invalid property value: input cap %1").arg(bytes));
    inputCap_ = bytes;
    if (port_.isOpen()) dropOverflow();
}

void SerialComm::setOutputCap(qint64 bytes) {
    if (bytes <= 0)
        raise(errc::InvalidPropertyValue,
              QStringLiteral("Invalid property value: output cap %1").arg(bytes));
    outputCap_ = bytes;
}

void SerialComm::setRThreshold(std::int16_t bytes) {
    if (bytes < 0)
        raise(errc::InvalidPropertyValue,
              QStringLiteral("Invalid property value: RThreshold %1").arg(bytes));
    rThreshold_ = bytes;
}

void SerialComm::setInputLen(std::int16_t bytes) {
    if (bytes < 0)
        raise(errc::InvalidPropertyValue,
              QStringLiteral("Invalid property value: InputLen %1").arg(bytes));
    inputLen_ = bytes;
}

void SerialComm::setRTSEnable(bool on) {
    rts_ = on;
    if (port_.isOpen()) applyControlLines();
}

void SerialComm::setDTREnable(bool on) {
    dtr_ = on;
    if (port_.isOpen()) applyControlLines();
}

bool SerialComm::PortOpen() const {
    return port_.isOpen() || away_;
}

void SerialComm::setPortOpen(bool open) {
    away_ = false;
    reopen_.stop();
    closePort();  // true while open: reopen from scratch
    if (open) this->open();
}

void SerialComm::setCommPort(std::int16_t n) {
    if (port_.isOpen())
        raise(errc::PortInUse, QStringLiteral("Port already open: close %1 before choosing COM%2")
                                   .arg(portName())
                                   .arg(n));
    if (n < kLowestPort || n > kHighestPort)
        raise(errc::PortNotFound, QStringLiteral("Invalid port number: %1 (COM%2 to COM%3)")
                                      .arg(n)
                                      .arg(kLowestPort)
                                      .arg(kHighestPort));
    commPort_ = n;
}

SerialComm::LineSettings SerialComm::parseSettings(const QString& text) {
    const auto invalid = [&text](const QString& why) {
        raise(errc::InvalidPropertyValue,
              QStringLiteral(
                  "Invalid property value: Settings \"%1\": %2 (expected baud,parity,data,stop "
                  "such as 9600,N,8,1)")
                  .arg(text, why));
    };
    const QStringList f = text.split(QLatin1Char(','));
    if (f.size() != 4) invalid(QStringLiteral("%1 fields").arg(f.size()));
    LineSettings s;
    bool ok = false;
    s.baud = f[0].trimmed().toInt(&ok);
    if (!ok || s.baud <= 0) invalid(QStringLiteral("bad baud rate"));

    const QString parity = f[1].trimmed().toUpper();
    if (parity == u"N")
        s.parity = QSerialPort::NoParity;
    else if (parity == u"E")
        s.parity = QSerialPort::EvenParity;
    else if (parity == u"O")
        s.parity = QSerialPort::OddParity;
    else if (parity == u"M")
        s.parity = QSerialPort::MarkParity;
    else if (parity == u"S")
        s.parity = QSerialPort::SpaceParity;
    else
        invalid(QStringLiteral("parity must be N, E, O, M or S"));

    const int data = f[2].trimmed().toInt(&ok);
    if (!ok || data < 5 || data > 8) invalid(QStringLiteral("data bits must be 5 to 8"));
    s.data = static_cast<QSerialPort::DataBits>(data);

    const QString stop = f[3].trimmed();
    if (stop == u"1")
        s.stop = QSerialPort::OneStop;
    else if (stop == u"1.5")
        s.stop = QSerialPort::OneAndHalfStop;
    else if (stop == u"2")
        s.stop = QSerialPort::TwoStop;
    else
        invalid(QStringLiteral("stop bits must be 1, 1.5 or 2"));
    return s;
}

bool SerialComm::validSettings(const QString& text) {
    try {
        checkSettings(text);
        return true;
    } catch (const Error&) {
        return false;
    }
}

QString SerialComm::Settings() const {
    LineSettings s = settings_;
    termios tio{};
    if (port_.isOpen() && ::tcgetattr(int(port_.handle()), &tio) == 0) {
        static const std::pair<speed_t, qint32> speeds[] = {
            {B300, 300},      {B600, 600},       {B1200, 1200},     {B2400, 2400},
            {B4800, 4800},    {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
            {B57600, 57600},  {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
            {B921600, 921600}};
        s.baud = 0;
        for (const auto& [code, baud] : speeds)
            if (::cfgetospeed(&tio) == code) s.baud = baud;
        const bool odd = tio.c_cflag & PARODD;
        if (!(tio.c_cflag & PARENB))
            s.parity = QSerialPort::NoParity;
        else if (tio.c_cflag & CMSPAR)
            s.parity = odd ? QSerialPort::MarkParity : QSerialPort::SpaceParity;
        else
            s.parity = odd ? QSerialPort::OddParity : QSerialPort::EvenParity;
        const tcflag_t size = tio.c_cflag & CSIZE;
        s.data = size == CS5   ? QSerialPort::Data5
                 : size == CS6 ? QSerialPort::Data6
                 : size == CS7 ? QSerialPort::Data7
                               : QSerialPort::Data8;
        s.stop = (tio.c_cflag & CSTOPB) ? QSerialPort::TwoStop : QSerialPort::OneStop;
    }
    const char* parity = "NNEOSM";  // indexed by QSerialPort::Parity
    const QString stop = s.stop == QSerialPort::OneAndHalfStop ? QStringLiteral("1.5")
                                                               : QString::number(int(s.stop));
    return QStringLiteral("%1,%2,%3,%4")
        .arg(s.baud)
        .arg(QLatin1Char(parity[int(s.parity)]))
        .arg(int(s.data))
        .arg(stop);
}

void SerialComm::setSettings(const QString& settings) {
    const LineSettings s = parseSettings(settings);
    if (port_.isOpen()) {
        try {
            applyLineSettings(s);
        } catch (const Error&) {
            try {
                applyLineSettings(settings_);  // best effort: keep the line as it was
            } catch (const Error&) {
            }
            throw;
        }
    }
    settings_ = s;
}

QSerialPort::FlowControl SerialComm::parseFlowControl(const QString& mode) {
    if (mode == u"none") return QSerialPort::NoFlowControl;
    if (mode == u"rtscts") return QSerialPort::HardwareControl;
    if (mode == u"xonxoff") return QSerialPort::SoftwareControl;
    raise(errc::InvalidPropertyValue,
          QStringLiteral("Invalid property value: flow control \"%1\" (none, rtscts or xonxoff)")
              .arg(mode));
}

bool SerialComm::validFlowControl(const QString& mode) {
    try {
        return (void)parseFlowControl(mode), true;
    } catch (const Error&) {
        return false;
    }
}

void SerialComm::setFlowControl(const QString& mode) {
    const QSerialPort::FlowControl flow = parseFlowControl(mode);
    if (port_.isOpen()) applyFlowControl(flow);
    flow_ = flow;
}

void SerialComm::applyFlowControl(QSerialPort::FlowControl flow) {
    const auto refuse = [this](const QString& why) {
        raise(errc::InvalidPropertyValue,
              QStringLiteral("Invalid property value: %1 refuses this flow control (%2)")
                  .arg(portName(), why));
    };
    if (!port_.setFlowControl(flow)) {
        const QString why = port_.errorString();
        port_.clearError();
        refuse(why);
    }
    if (flow != QSerialPort::SoftwareControl) return;
    // Qt sets IXANY with IXON: any byte from the device would then restart
    // output after its XOFF, and a device whose input is full but that keeps
    // reporting would be overrun. Only XON restarts it.
    const int fd = int(port_.handle());
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) refuse(QString::fromLocal8Bit(std::strerror(errno)));
    tio.c_iflag &= ~tcflag_t(IXANY);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) refuse(QString::fromLocal8Bit(std::strerror(errno)));
}

void SerialComm::applyLineSettings(const LineSettings& s) {
    const auto check = [this](bool ok, const QString& what) {
        if (ok) return;
        const QString why = port_.errorString();
        port_.clearError();
        raise(errc::InvalidPropertyValue,
              QStringLiteral("Invalid property value: %1 %2 (%3)").arg(portName(), what, why));
    };
    // Qt on Unix quietly sets one stop bit for 1.5; termios has no 1.5.
    if (s.stop == QSerialPort::OneAndHalfStop)
        raise(errc::InvalidPropertyValue,
              QStringLiteral("Invalid property value: %1 refuses 1.5 stop bits (1 or 2 here)")
                  .arg(portName()));
    check(port_.setBaudRate(s.baud), QStringLiteral("refuses %1 baud").arg(s.baud));
    check(port_.setParity(s.parity), QStringLiteral("refuses this parity"));
    check(port_.setDataBits(s.data), QStringLiteral("refuses %1 data bits").arg(int(s.data)));
    check(port_.setStopBits(s.stop), QStringLiteral("refuses these stop bits"));
}

void SerialComm::applyControlLines() {
    // A pseudo-terminal has no modem lines: "unsupported" is not a failure.
    const auto check = [this](bool ok, const char* line) {
        if (ok || port_.error() == QSerialPort::UnsupportedOperationError) return;
        const QString why = port_.errorString();
        port_.clearError();
        raise(errc::SerialIo,
              QStringLiteral("Cannot set %1 on %2: %3").arg(QLatin1String(line), portName(), why));
    };
    check(port_.setRequestToSend(rts_), "RTS");
    check(port_.setDataTerminalReady(dtr_), "DTR");
    port_.clearError();
}

void SerialComm::open() {
    const QString path = devicePath(commPort_);
    const QString name = QStringLiteral("COM%1 (%2)").arg(commPort_).arg(path);
    port_.setPortName(path);
    if (!port_.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError e = port_.error();
        const QString why = port_.errorString();
        port_.clearError();
        if (e == QSerialPort::DeviceNotFoundError || !QFileInfo::exists(path))
            return waitForDevice(path);  // an adapter not plugged in yet
        if (e == QSerialPort::PermissionError) {
            // Qt reports both a refused open (EACCES) and a lock held by
            // another program (lock file, TIOCEXCL) as PermissionError.
            errno = 0;
            if (::access(path.toLocal8Bit().constData(), R_OK | W_OK) != 0 && errno == EACCES)
                raise(kPermissionDenied,
                      QStringLiteral("Permission denied: %1: add your user to the dialout group "
                                     "(sudo usermod -aG dialout $USER, then log in again)")
                          .arg(name));
            raise(errc::PortInUse,
                  QStringLiteral("Port already open: %1 is in use by another program (%2)")
                      .arg(name, why));
        }
        raise(errc::PortNotFound, QStringLiteral("Cannot open %1: %2").arg(name, why));
    }
    finishOpen(path);
}

void SerialComm::finishOpen(const QString& path) {
    path_ = path;
    try {
        applyLineSettings(settings_);
        applyFlowControl(flow_);
        applyControlLines();
    } catch (const Error&) {
        port_.close();
        throw;
    }
    startWriter();  // it writes what waited through a close or the device's absence
}

void SerialComm::startWriter() {
    const quint64 run = ++writerRun_;
    // Both callbacks run on the writer's thread; what they report is handled
    // here, on this object's thread. A burst of writes is reported once.
    // Reported once the queue has room for more again (half of it free), not
    // after every write: each report wakes this thread.
    auto written = [this](qint64 bytes, qint64 left) {
        writtenSince_ += bytes;
        if (left > outputCap_ / 2 || writtenPosted_.exchange(true)) return;
        QMetaObject::invokeMethod(
            this,
            [this] {
                writtenPosted_ = false;
                if (const qint64 n = writtenSince_.exchange(0); n > 0) emit outputWritten(n);
            },
            Qt::QueuedConnection);
    };
    auto failed = [this, run](int error) {
        QMetaObject::invokeMethod(
            this,
            [this, run, error] {
                if (run == writerRun_ && port_.isOpen())
                    fail(QString::fromLocal8Bit(std::strerror(error)));
            },
            Qt::QueuedConnection);
    };
    try {
        writer_ = std::make_unique<SerialWriter>(int(port_.handle()), out_, written, failed);
    } catch (const std::system_error& e) {
        port_.close();
        raise(errc::SerialIo, QStringLiteral("Cannot write to %1: %2")
                                  .arg(portName(), QString::fromLocal8Bit(e.what())));
    }
}

void SerialComm::waitForDevice(const QString& path) {
    away_ = true;
    reopen_.start();
    emit portWaiting(commPort_, path);
}

// Quiet: a device that has just appeared may refuse for a moment (udev sets
// its group after creating it); the next tick tries again.
void SerialComm::tryReopen() {
    const QString path = devicePath(commPort_);
    if (!QFileInfo::exists(path)) return;
    port_.setPortName(path);
    if (!port_.open(QIODevice::ReadWrite)) {
        port_.clearError();
        return;
    }
    const qint64 before = OutBufferCount();
    try {
        finishOpen(path);
    } catch (const Error&) {
        return;
    }
    if (!port_.isOpen()) return;  // failed at once: fail() waits again
    away_ = false;
    reopen_.stop();
    emit portReopened(commPort_, path);
    emit outputWritten(before - OutBufferCount());  // senders waiting for room go on
}

QString SerialComm::Input() {
    if (away_) return {};
    if (!port_.isOpen())
        raise(errc::PortClosed, QStringLiteral("Port not open: %1").arg(portName()));
    const QByteArray bytes = inputLen_ > 0 ? port_.read(inputLen_) : port_.readAll();
    return QString::fromLatin1(bytes);
}

void SerialComm::setOutput(const QString& text) {
    if (!PortOpen()) raise(errc::PortClosed, QStringLiteral("Port not open: %1").arg(portName()));
    // One byte per UTF-16 unit; a unit above U+00FF has no byte and goes out as '?'.
    const QByteArray bytes = text.toLatin1();
    if (bytes.isEmpty()) return;
    if (OutBufferCount() + bytes.size() > outputCap_)
        raise(errc::SerialIo,
              QStringLiteral("Output buffer full: %1 bytes still wait to be written to %2; %3 "
                             "bytes refused (at most %4 may wait)")
                  .arg(OutBufferCount())
                  .arg(portName())
                  .arg(bytes.size())
                  .arg(outputCap_));
    out_.append(bytes);  // the writer takes it from here
}

qint64 SerialComm::InBufferCount() const {
    return port_.isOpen() ? port_.bytesAvailable() : 0;
}

void SerialComm::dropOverflow() {
    const qint64 excess = port_.bytesAvailable() - inputCap_;
    if (excess <= 0) return;
    // The port buffer is first in, first out: skipping drops the oldest bytes.
    const qint64 dropped = port_.skip(excess);
    if (dropped > 0) emit inputOverflow(dropped);
}

void SerialComm::onReadyRead() {
    dropOverflow();
    if (rThreshold_ > 0 && port_.isOpen() && port_.bytesAvailable() >= rThreshold_) emit OnComm();
}

void SerialComm::onErrorOccurred(QSerialPort::SerialPortError error) {
    // NoError arrives on open and clearError(); open and setting failures are
    // raised by the call that caused them.
    if (!isIoFailure(error) || failing_ || !port_.isOpen()) return;
    // Qt 6.4 repeats ReadError in a tight loop on a vanished device until closed.
    fail(lineError());
}

// Qt's text for a failed read is errno after the read, but a read that got
// nothing set none: a tty that hung up (its device gone) reads end of file,
// and errno still names whatever call failed before, anywhere in the program.
// A write of no bytes sends nothing and fails with the tty's own error (EIO
// once it has hung up).
QString SerialComm::lineError() const {
    if (::write(int(port_.handle()), "", 0) < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QStringLiteral("end of file");
}

void SerialComm::fail(const QString& why) {
    if (failing_) return;
    failing_ = true;
    const QString name = portName();
    const qint64 unread = port_.bytesAvailable();
    closePort();
    port_.clearError();
    failing_ = false;
    QString text = QStringLiteral("%1 failed and was closed: %2").arg(name, why);
    if (unread > 0)
        text += QStringLiteral("; %1 received bytes not yet read were discarded").arg(unread);
    if (OutBufferCount() > 0)
        text += QStringLiteral("; %1 bytes wait for it to come back").arg(OutBufferCount());
    away_ = true;  // before the report: its handlers may queue more for the line
    emit portFailed(commPort_, text);
    waitForDevice(path_);
}

}  // namespace zv
