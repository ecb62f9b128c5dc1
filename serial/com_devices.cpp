#include "serial/com_devices.h"

#include "app/settings_store.h"
#include "serial/serial_comm.h"

namespace zv {

std::function<QString(int)> comDeviceResolver(const SettingsStore& settings) {
    return [&settings](int n) {
        const QString mapped =
            settings.GetSetting(QStringLiteral("com device %1").arg(n), QString());
        return mapped.isEmpty() ? SerialComm::defaultDevice(n) : mapped;
    };
}

}  // namespace zv
