#include "serial/line_settings.h"

#include <QStringList>

#include "cipher/error.h"

namespace zv {

LineSettings LineSettings::parse(const QString& text) {
    const auto invalid = [&text](const QString& why) {
        throw Error(errc::InvalidPropertyValue,
                    QStringLiteral("Invalid property value: Settings \"%1\": %2 (expected "
                                   "baud,parity,data,stop such as 9600,N,8,1)")
                        .arg(text, why)
                        .toStdString());
    };
    const QStringList f = text.split(QLatin1Char(','));
    if (f.size() != 4) invalid(QStringLiteral("%1 fields").arg(f.size()));
    LineSettings s;
    bool ok = false;
    s.baud = f[0].trimmed().toInt(&ok);
    if (!ok || s.baud <= 0) invalid(QStringLiteral("bad baud rate"));

    const QString parities = QStringLiteral("NNEOSM");  // indexed by QSerialPort::Parity
    const QString parity = f[1].trimmed().toUpper();
    const qsizetype p = parity.size() == 1 ? parities.indexOf(parity[0]) : -1;
    if (p < 0) invalid(QStringLiteral("parity must be N, E, O, M or S"));
    s.parity = QSerialPort::Parity(p);

    const int data = f[2].trimmed().toInt(&ok);
    if (!ok || data < 5 || data > 8) invalid(QStringLiteral("data bits must be 5 to 8"));
    s.data = QSerialPort::DataBits(data);

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

QSerialPort::FlowControl LineSettings::parseFlow(const QString& mode) {
    if (mode == u"none") return QSerialPort::NoFlowControl;
    if (mode == u"rtscts") return QSerialPort::HardwareControl;
    if (mode == u"xonxoff") return QSerialPort::SoftwareControl;
    throw Error(errc::InvalidPropertyValue,
                QStringLiteral("Invalid property value: flow control \"%1\" (none, rtscts or "
                               "xonxoff)")
                    .arg(mode)
                    .toStdString());
}

QString LineSettings::text() const {
    const char* parities = "NNEOSM";  // indexed by QSerialPort::Parity
    const QString stops =
        stop == QSerialPort::OneAndHalfStop ? QStringLiteral("1.5") : QString::number(int(stop));
    return QStringLiteral("%1,%2,%3,%4")
        .arg(baud)
        .arg(QLatin1Char(parities[int(parity)]))
        .arg(int(data))
        .arg(stops);
}

QString LineSettings::flowText() const {
    return flow == QSerialPort::HardwareControl   ? QStringLiteral("rtscts")
           : flow == QSerialPort::SoftwareControl ? QStringLiteral("xonxoff")
                                                  : QStringLiteral("none");
}

}  // namespace zv
