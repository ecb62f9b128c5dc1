#pragma once
// The serial devices the system reports right now (udev/sysfs through Qt),
// each with its stable /dev/serial/by-id name when udev made one. Pseudo-
// terminals and other links are not among them; they are typed in by path.
#include <QList>
#include <QString>

namespace zv {

struct DeviceEntry {
    QString path;          // /dev/ttyUSB0
    QString stableName;    // /dev/serial/by-id/usb-..., or empty
    QString description;   // as the driver or USB descriptor names it
    QString manufacturer;  // likewise; may be empty
    // The name to store: the stable one survives replugging in another order.
    QString preferredPath() const { return stableName.isEmpty() ? path : stableName; }
};

// Read afresh on every call, so devices plugged in meanwhile appear.
QList<DeviceEntry> presentDevices();

}  // namespace zv
