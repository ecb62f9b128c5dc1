#pragma once
// The two serial dialogs of the Com Port menu, as real modal Qt dialogs.
#include <QList>
#include <QString>
#include <optional>

#include "app/dialogs.h"

class QWidget;

namespace zv {

// Devices present (path, stable name, description, maker), a free path
// field and the COM number to assign; nothing on Cancel.
std::optional<DeviceChoice> runDeviceDialog(QWidget* parent, const QList<DeviceEntry>& present,
                                            int defaultCom);

// Baud rate, parity, data bits, stop bits and flow control, as
// "9600,N,8,1,none" (flow none, rtscts or xonxoff); empty on Cancel.
QString runLineSettingsDialog(QWidget* parent, const QString& current);

}  // namespace zv
