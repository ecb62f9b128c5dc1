#include "serial/serial_line.h"

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

SerialLine::SerialLine(DeviceResolver resolver, qint64 inputCap, QObject* parent)
    : QObject(parent), resolver_(std::move(resolver)), inputCap_(inputCap) {
    if (inputCap_ <= 0) inputCap_ = kDefaultInputCap;
    // Unbounded on purpose: a bound makes Qt stop reading and the kernel then
    // drops bytes unseen; onReadyRead() drops the oldest ones instead, counted.
    port_.setReadBufferSize(0);
    connect(&port_, &QSerialPort::readyRead, this, &SerialLine::onReadyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialLine::onErrorOccurred);
    reopen_.setInterval(kReopenMs);
    connect(&reopen_, &QTimer::timeout, this, &SerialLine::tryReopen);
}

SerialLine::~SerialLine() {
    // Closing can report errors; this object is half gone by then.
    QObject::disconnect(&port_, nullptr, this, nullptr);
    closePort();
}

qint64 SerialLine::closePort() {
    if (port_.isOpen()) emit closing();
    writer_.reset();  // before the descriptor it writes to goes
    // What the owner did not take at closing() goes with the port.
    const qint64 unread = available();
    if (port_.isOpen()) port_.close();
    return unread;
}

QString SerialLine::defaultDevice(int n) {
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
}

QString SerialLine::devicePath(int n) const {
    return resolver_ ? resolver_(n) : defaultDevice(n);
}

QString SerialLine::portName() const {
    return QStringLiteral("COM%1 (%2)")
        .arg(comPort_)
        .arg(port_.isOpen() ? path_ : devicePath(comPort_));
}

void SerialLine::setInputCap(qint64 bytes) {
    if (bytes <= 0)
        raise(errc::InvalidPropertyValue,
              QStringLiteral("Invalid property value: input cap %1").arg(bytes));
    inputCap_ = bytes;
    if (port_.isOpen()) dropOverflow();
}

void SerialLine::setOutputCap(qint64 bytes) {
    if (bytes <= 0)
        raise(errc::InvalidPropertyValue,
              QStringLiteral("Invalid property value: output cap %1").arg(bytes));
    outputCap_ = bytes;
}

bool SerialLine::isOpen() const {
    return port_.isOpen() || away_;
}

void SerialLine::open(int n) {
    if (n < kLowestPort || n > kHighestPort)
        raise(errc::PortNotFound, QStringLiteral("Invalid port number: %1 (COM%2 to COM%3)")
                                      .arg(n)
                                      .arg(kLowestPort)
                                      .arg(kHighestPort));
    close();
    comPort_ = n;
    openDevice();
}

void SerialLine::close() {
    away_ = false;
    reopen_.stop();
    closePort();
}

QString SerialLine::reportedSettings() const {
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
    return s.text();
}

void SerialLine::setSettings(const LineSettings& settings) {
    if (port_.isOpen()) {
        try {
            applySettings(settings);
        } catch (const Error&) {
            try {
                applySettings(settings_);  // best effort: keep the line as it was
            } catch (const Error&) {
            }
            throw;
        }
    }
    settings_ = settings;
}

void SerialLine::applySettings(const LineSettings& s) {
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
    check(port_.setFlowControl(s.flow), QStringLiteral("refuses this flow control"));
    if (s.flow != QSerialPort::SoftwareControl) return;
    // Qt sets IXANY with IXON: any byte from the device would then restart
    // output after its XOFF, and a device whose input is full but that keeps
    // reporting would be overrun. Only XON restarts it.
    const int fd = int(port_.handle());
    termios tio{};
    const QString refused = QStringLiteral("refuses this flow control");
    check(::tcgetattr(fd, &tio) == 0, refused);
    tio.c_iflag &= ~tcflag_t(IXANY);
    check(::tcsetattr(fd, TCSANOW, &tio) == 0, refused);
}

void SerialLine::applyControlLines() {
    // A pseudo-terminal has no modem lines: "unsupported" is not a failure.
    const auto check = [this](bool ok, const char* line) {
        if (ok || port_.error() == QSerialPort::UnsupportedOperationError) return;
        const QString why = port_.errorString();
        port_.clearError();
        raise(errc::SerialIo,
              QStringLiteral("Cannot set %1 on %2: %3").arg(QLatin1String(line), portName(), why));
    };
    check(port_.setRequestToSend(false), "RTS");
    check(port_.setDataTerminalReady(false), "DTR");
    port_.clearError();
}

void SerialLine::openDevice() {
    const QString path = devicePath(comPort_);
    const QString name = QStringLiteral("COM%1 (%2)").arg(comPort_).arg(path);
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

void SerialLine::finishOpen(const QString& path) {
    path_ = path;
    try {
        applySettings(settings_);
        applyControlLines();
    } catch (const Error&) {
        port_.close();
        throw;
    }
    startWriter();  // it writes what waited through a close or the device's absence
}

void SerialLine::startWriter() {
    const quint64 run = ++writerRun_;
    // Both callbacks run on the writer's thread; what they report is handled
    // here, on this object's thread. A burst of writes is reported once.
    // Reported once the queue has room for more again (half of it free), not
    // after every write: each report wakes this thread.
    auto wrote = [this](qint64 bytes, qint64 left) {
        writtenSince_ += bytes;
        if (left > outputCap_ / 2 || writtenPosted_.exchange(true)) return;
        QMetaObject::invokeMethod(
            this,
            [this] {
                writtenPosted_ = false;
                if (const qint64 n = writtenSince_.exchange(0); n > 0) emit written(n);
            },
            Qt::QueuedConnection);
    };
    auto broke = [this, run](int error) {
        QMetaObject::invokeMethod(
            this,
            [this, run, error] {
                if (run == writerRun_ && port_.isOpen())
                    fail(QString::fromLocal8Bit(std::strerror(error)));
            },
            Qt::QueuedConnection);
    };
    try {
        writer_ = std::make_unique<SerialWriter>(int(port_.handle()), out_, wrote, broke);
    } catch (const std::system_error& e) {
        port_.close();
        raise(errc::SerialIo, QStringLiteral("Cannot write to %1: %2")
                                  .arg(portName(), QString::fromLocal8Bit(e.what())));
    }
}

void SerialLine::waitForDevice(const QString& path) {
    away_ = true;
    reopen_.start();
    emit waiting(comPort_, path);
}

// Quiet: a device that has just appeared may refuse for a moment (udev sets
// its group after creating it); the next tick tries again.
void SerialLine::tryReopen() {
    const QString path = devicePath(comPort_);
    if (!QFileInfo::exists(path)) return;
    port_.setPortName(path);
    if (!port_.open(QIODevice::ReadWrite)) {
        port_.clearError();
        return;
    }
    const qint64 before = queued();
    try {
        finishOpen(path);
    } catch (const Error&) {
        return;
    }
    if (!port_.isOpen()) return;  // failed at once: fail() waits again
    away_ = false;
    reopen_.stop();
    emit reopened(comPort_, path);
    emit written(before - queued());  // senders waiting for room go on
}

QByteArray SerialLine::read(qint64 most) {
    if (away_) return {};
    if (!port_.isOpen())
        raise(errc::PortClosed, QStringLiteral("Port not open: %1").arg(portName()));
    return port_.read(most);
}

void SerialLine::write(const QByteArray& bytes) {
    if (!isOpen()) raise(errc::PortClosed, QStringLiteral("Port not open: %1").arg(portName()));
    if (bytes.isEmpty()) return;
    if (queued() + bytes.size() > outputCap_)
        raise(errc::SerialIo,
              QStringLiteral("Output buffer full: %1 bytes still wait to be written to %2; %3 "
                             "bytes refused (at most %4 may wait)")
                  .arg(queued())
                  .arg(portName())
                  .arg(bytes.size())
                  .arg(outputCap_));
    out_.append(bytes);  // the writer takes it from here
}

qint64 SerialLine::available() const {
    return port_.isOpen() ? port_.bytesAvailable() : 0;
}

void SerialLine::dropOverflow() {
    const qint64 excess = port_.bytesAvailable() - inputCap_;
    if (excess <= 0) return;
    // The port buffer is first in, first out: skipping drops the oldest bytes.
    const qint64 dropped = port_.skip(excess);
    if (dropped > 0) emit overflow(dropped);
}

void SerialLine::onReadyRead() {
    dropOverflow();
    if (port_.isOpen() && port_.bytesAvailable() > 0) emit received();
}

void SerialLine::onErrorOccurred(QSerialPort::SerialPortError error) {
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
QString SerialLine::lineError() const {
    if (::write(int(port_.handle()), "", 0) < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QStringLiteral("end of file");
}

void SerialLine::fail(const QString& why) {
    if (failing_) return;
    failing_ = true;
    const QString name = portName();
    const qint64 unread = closePort();
    port_.clearError();
    failing_ = false;
    QString text = QStringLiteral("%1 failed and was closed: %2").arg(name, why);
    if (unread > 0)
        text += QStringLiteral("; %1 received bytes not yet read were discarded").arg(unread);
    if (queued() > 0) text += QStringLiteral("; %1 bytes wait for it to come back").arg(queued());
    away_ = true;  // before the report: its handlers may queue more for the line
    emit failed(comPort_, text);
    waitForDevice(path_);
}

}  // namespace zv
