#pragma once
// Which device COM n opens: the setting "com device n" when it exists,
// else /dev/ttyS<n-1>.
#include <QString>
#include <functional>

namespace zv {

class SettingsStore;

std::function<QString(int)> comDeviceResolver(const SettingsStore& settings);

}  // namespace zv
