#pragma once
// The serial line: QSerialPort on the owner's thread, driven by its signals.
// COM n opens the device the resolver names for n. QSerialPort opens,
// configures and reads the device; writes are our own, on a SerialWriter
// thread: Qt reports a tty that is momentarily full (EAGAIN) as a resource
// error, the same as a device that is gone, so its write path cannot tell a
// slow device from a vanished one. Failures raise zv::Error.
//
// Events: received() when bytes wait; failed() once when the open line fails
// (the device gone, an I/O error) and was closed, after which its device is
// waited for (waiting(), tried about every second) and opened again with the
// same settings (reopened()); overflow() when received bytes beyond the input
// cap were dropped, oldest first; written() when queued bytes went out.
#include <QSerialPort>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>

#include "serial/line_settings.h"
#include "serial/serial_writer.h"

namespace zv {

class SerialLine : public QObject {
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

    explicit SerialLine(DeviceResolver resolver = &SerialLine::defaultDevice,
                        qint64 inputCap = kDefaultInputCap, QObject* parent = nullptr);
    ~SerialLine() override;

    // COM n is /dev/ttyS<n-1>.
    static QString defaultDevice(int n);
    QString devicePath(int n) const;  // the device COM n opens

    // Opens COM n (1..16), closing what is open first, with the line settings
    // and the RTS and DTR lines off. Raises 8002 for a bad number, 8005 when
    // another program holds the device, 70 without permission; a device that
    // does not exist yet is waited for instead (waiting()).
    void open(int n);
    // Closes; closing a closed line does nothing. Bytes queued for the line
    // are kept across a close and go to the next device opened.
    void close();
    // From a successful open until close(), also while the device is away.
    bool isOpen() const;
    int comPort() const { return comPort_; }

    // In force at once on an open line and at every open; a line that refuses
    // them keeps its old settings and the call raises 380.
    void setSettings(const LineSettings& settings);
    const LineSettings& settings() const { return settings_; }
    // The settings as the open device reports them ("19200,E,7,2"), else as set.
    QString reportedSettings() const;

    // Takes the waiting bytes, at most `most`.
    QByteArray read(qint64 most);
    // Queues the bytes for the line (also while the device is away); raises
    // 8012 when the line is closed and 8020 when they do not fit in capacity().
    void write(const QByteArray& bytes);
    qint64 available() const;                      // received, not yet read
    qint64 queued() const { return out_.size(); }  // for the line, not yet taken
    qint64 capacity() const { return outputCap_; }

    void setInputCap(qint64 bytes);
    void setOutputCap(qint64 bytes);

  signals:
    void received();
    void closing();  // the port is about to close: unread bytes are read now or lost
    void failed(int number, const QString& description);
    void waiting(int number, const QString& device);
    void reopened(int number, const QString& device);
    void overflow(qint64 droppedBytes);
    void written(qint64 bytes);

  private:
    void openDevice();
    void finishOpen(const QString& path);  // settings, control lines, writer
    void waitForDevice(const QString& path);
    void tryReopen();
    void applySettings(const LineSettings& s);
    void applyControlLines();
    void dropOverflow();
    void onReadyRead();
    void onErrorOccurred(QSerialPort::SerialPortError error);
    QString lineError() const;  // why the open line failed, from the line itself
    void startWriter();
    void fail(const QString& why);  // closes the port after an I/O error, reports once
    // Closes; returns how many received bytes went with it. What is queued
    // for the line stays.
    qint64 closePort();
    QString portName() const;  // "COM3 (/dev/ttyS2)"

    DeviceResolver resolver_;
    QSerialPort port_;
    QString path_;                                       // device of the open port
    qint64 inputCap_;                                    // bytes
    std::atomic<qint64> outputCap_ = kDefaultOutputCap;  // bytes; read by the writer too
    int comPort_ = 1;                                    // 1..16
    LineSettings settings_;
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
