#pragma once
// The serial port control the window drives. Bytes and characters map one to
// one (ISO 8859-1) in both directions. Failures raise zv::Error.
#include <QObject>
#include <QString>
#include <cstdint>

namespace zv {

class MSComm : public QObject {
    Q_OBJECT

  public:
    using QObject::QObject;
    ~MSComm() override = default;

    // Receive event once this many bytes wait (0: no receive events).
    virtual void setRThreshold(std::int16_t bytes) = 0;
    virtual void setRTSEnable(bool on) = 0;
    virtual void setDTREnable(bool on) = 0;
    // Bytes one read of Input() takes; 0 means every waiting byte.
    virtual void setInputLen(std::int16_t bytes) = 0;

    // True from a successful open until the port is closed by the program,
    // also while its device is away and being opened again (portWaiting).
    virtual bool PortOpen() const = 0;
    // true: opens COM CommPort() or raises (8005 in use, 70 permission, ...);
    // a device that does not exist yet is waited for instead (portWaiting).
    // false: closes; closing a closed port does nothing. Bytes queued for the
    // line are kept across a close and go to the next device opened.
    virtual void setPortOpen(bool open) = 0;
    virtual std::int16_t CommPort() const = 0;
    virtual void setCommPort(std::int16_t n) = 0;  // 1..16, only while closed
    // "baud,parity,data,stop", e.g. "9600,N,8,1"; in force at once when open.
    virtual void setSettings(const QString& settings) = 0;
    // "none", "rtscts" (hardware) or "xonxoff" (software); in force at once
    // when open and at every open. Raises 380 for anything else.
    virtual void setFlowControl(const QString& mode) = 0;
    // The device COM n opens, for tool tips and error texts.
    virtual QString devicePath(int n) const = 0;

    // Returns and removes every waiting byte, one character per byte.
    virtual QString Input() = 0;
    // Queues one byte per character for the line (also while the device is
    // away); raises 8012 when the port is closed and 8020 when the bytes do
    // not fit in OutBufferSize().
    virtual void setOutput(const QString& text) = 0;
    // Bytes waiting to be read.
    virtual qint64 InBufferCount() const = 0;
    // Bytes queued for the line and not yet taken by the device, and the most
    // that may be queued.
    virtual qint64 OutBufferCount() const = 0;
    virtual qint64 OutBufferSize() const = 0;

  signals:
    // Bytes wait to be read (or the line changed state).
    void OnComm();
    // The port failed while open (device gone, I/O error) and was closed;
    // reported once per failure. Its device is then waited for (portWaiting).
    void portFailed(int number, const QString& description);
    // COM `number`'s device is missing; it is tried again about every second.
    void portWaiting(int number, const QString& device);
    // The device is back and open with the same line settings; what waited
    // for it is being written (outputWritten follows).
    void portReopened(int number, const QString& device);
    // Received bytes beyond the input cap were dropped, oldest first; this many now.
    void inputOverflow(qint64 droppedBytes);
    // Queued bytes went to the line: OutBufferCount() went down (0: the line
    // takes bytes again after a reopen).
    void outputWritten(qint64 bytes);
};

}  // namespace zv
