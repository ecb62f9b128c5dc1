#include "serial/serial_devices.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

namespace zv {

QList<DeviceEntry> presentDevices() {
    // by-id holds symbolic links to the devices; map each target to its link.
    QHash<QString, QString> stable;
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo& link :
         byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        stable.insert(link.canonicalFilePath(), link.absoluteFilePath());

    QList<DeviceEntry> out;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const QString path = info.systemLocation();
        out.append({path, stable.value(QFileInfo(path).canonicalFilePath()), info.description(),
                    info.manufacturer()});
    }
    return out;
}

}  // namespace zv
