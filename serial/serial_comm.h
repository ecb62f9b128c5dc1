#pragma once
// The real serial port control: QSerialPort on the GUI thread, driven by its
// signals. COM n opens the device the resolver names for n. QSerialPort opens,
// configures and reads the device; writes are our own, on a SerialWriter
// thread: Qt reports a tty that is momentarily full (EAGAIN) as a resource
// error, the same as a device that is gone, so its write path cannot tell a
// slow device from a vanished one.
#include <QSerialPort>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>

#include "serial/mscomm.h"
#include "serial/serial_writer.h"

namespace zv {

class SerialComm : public MSComm {
    Q_OBJECT

  public:
    using DeviceResolver = std::function<QString(int n)>;

    // Received bytes kept while nobody reads them; beyond this the oldest go.
    static constexpr qint64 kDefaultInputCap = 4 * 1024 * 1024;
    // Bytes allowed to wait for the line (9600 baud drains ~960 bytes/s).
    static constexpr qint64 kDefaultOutputCap = 1024 * 1024;
    // "Permission denied": the device exists but this user may not open it.
    static constexpr std::int32_t kPermissionDenied = 70;
    // How often a missing or vanished device is tried again (milliseconds).
    static constexpr int kReopenMs = 1000;

    explicit SerialComm(DeviceResolver resolver = &SerialComm::defaultDevice,
                        qint64 inputCap = kDefaultInputCap, QObject* parent = nullptr);
    ~SerialComm() override;

    // COM n is /dev/ttyS<n-1>.
    static QString defaultDevice(int n);
    // The line settings every port starts with.
    static inline const QString kDefaultSettings = QStringLiteral("9600,N,8,1");
    // Raises 380 with the reason unless `text` is "baud,parity,data,stop".
    static void checkSettings(const QString& text) { (void)parseSettings(text); }
    static bool validSettings(const QString& text);
    // Raises 380 unless `mode` is "none", "rtscts" or "xonxoff".
    static void checkFlowControl(const QString& mode) { (void)parseFlowControl(mode); }
    static bool validFlowControl(const QString& mode);

    void setInputCap(qint64 bytes);
    qint64 inputCap() const { return inputCap_; }
    void setOutputCap(qint64 bytes);
    qint64 outputCap() const { return outputCap_; }

    void setRThreshold(std::int16_t bytes) override;
    void setRTSEnable(bool on) override;
    void setDTREnable(bool on) override;
    void setInputLen(std::int16_t bytes) override;

    bool PortOpen() const override;
    void setPortOpen(bool open) override;
    std::int16_t CommPort() const override { return commPort_; }
    void setCommPort(std::int16_t n) override;
    void setSettings(const QString& settings) override;
    void setFlowControl(const QString& mode) override;
    // The line as the open device reports it ("19200,E,7,2"), else as set.
    QString Settings() const;
    QString devicePath(int n) const override;

    QString Input() override;
    void setOutput(const QString& text) override;
    qint64 InBufferCount() const override;
    qint64 OutBufferCount() const override { return out_.size(); }
    qint64 OutBufferSize() const override { return outputCap_; }

  private:
    struct LineSettings {
        qint32 baud = 9600;
        QSerialPort::Parity parity = QSerialPort::NoParity;
        QSerialPort::DataBits data = QSerialPort::Data8;
        QSerialPort::StopBits stop = QSerialPort::OneStop;
    };

    static LineSettings parseSettings(const QString& text);
    static QSerialPort::FlowControl parseFlowControl(const QString& mode);
    void open();
    void finishOpen(const QString& path);  // line settings, control lines, writer
    void waitForDevice(const QString& path);
    void tryReopen();
    void applyLineSettings(const LineSettings& s);
    void applyControlLines();
    void dropOverflow();
    void onReadyRead();
    void onErrorOccurred(QSerialPort::SerialPortError error);
    QString lineError() const;  // why the open line failed, from the line itself
    void startWriter();
    void fail(const QString& why);  // closes the port after an I/O error, reports once
    void closePort();               // closes; what is queued for the line stays
    QString portName() const;       // "COM3 (/dev/ttyS2)"

    DeviceResolver resolver_;
    QSerialPort port_;
    QString path_;                                       // device of the open port
    qint64 inputCap_;                                    // bytes
    std::atomic<qint64> outputCap_ = kDefaultOutputCap;  // bytes; read by the writer too
    std::int16_t commPort_ = 1;                          // 1..16
    std::int16_t rThreshold_ = 0;                        // bytes; 0: no receive events
    std::int16_t inputLen_ = 0;                          // bytes per Input(); 0: all
    bool rts_ = false;
    bool dtr_ = false;
    LineSettings settings_;
    QSerialPort::FlowControl flow_ = QSerialPort::NoFlowControl;
    void applyFlowControl(QSerialPort::FlowControl flow);
    bool failing_ = false;                  // closing after an I/O error: report it once
    bool away_ = false;                     // open as far as callers know; the device is missing
    QTimer reopen_;                         // while away_: tries the device again
    OutputQueue out_;                       // bytes for the line, kept across closes
    std::unique_ptr<SerialWriter> writer_;  // while the port is open
    quint64 writerRun_ = 0;                 // which writer a failure report is from
    std::atomic<qint64> writtenSince_{0};   // bytes the writer wrote, not yet reported
    std::atomic<bool> writtenPosted_{false};
};

}  // namespace zv
