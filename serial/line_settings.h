#pragma once
// A serial line's settings: "baud,parity,data,stop" as the settings store
// and the operator write them ("9600,N,8,1"), and flow control "none",
// "rtscts" (the device's CTS holds our output back) or "xonxoff" (0x11 and
// 0x13 are flow control, not data, both ways; only XON restarts output).
#include <QSerialPort>
#include <QString>

namespace zv {

struct LineSettings {
    qint32 baud = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits data = QSerialPort::Data8;
    QSerialPort::StopBits stop = QSerialPort::OneStop;
    QSerialPort::FlowControl flow = QSerialPort::NoFlowControl;

    // Raises 380 with the reason unless `text` is "baud,parity,data,stop"
    // (parity N, E, O, M or S in any case; stop 1, 1.5 or 2); flow: none.
    static LineSettings parse(const QString& text);
    // Raises 380 unless `mode` is "none", "rtscts" or "xonxoff".
    static QSerialPort::FlowControl parseFlow(const QString& mode);
    QString text() const;      // "9600,N,8,1"
    QString flowText() const;  // "none", "rtscts", "xonxoff"
    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

}  // namespace zv
