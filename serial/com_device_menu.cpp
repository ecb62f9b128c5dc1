// The Com Port menu's own additions: the device each COM number opens, chosen
// from the devices present, and the line settings used by every open.
#include <QAction>
#include <algorithm>
#include <optional>

#include "app/dialogs.h"
#include "app/frmZVServer.h"
#include "app/settings_store.h"
#include "app/text_number.h"
#include "serial/mscomm.h"
#include "serial/serial_comm.h"
#include "serial/serial_devices.h"

namespace zv {

namespace {
const QString kLineSettingsKey = QStringLiteral("com settings");
const QString kFlowControlKey = QStringLiteral("flow control");
const QString kNoFlowControl = QStringLiteral("none");
QString deviceKey(int n) {
    return QStringLiteral("com device %1").arg(n);
}
}  // namespace

QString frmZVServer::captionOf(const QAction* item) {
    return item->text().section(QLatin1Char('\t'), 0, 0);
}

void frmZVServer::refreshComCaptions() {
    // After a tab, Qt menus show the text in the shortcut column.
    for (int n = 1; n <= 16; ++n) {
        QAction* a = mnuPortsCom[n - 1];
        const QString device = MSComm1.devicePath(n);
        a->setText(captionOf(a) + QLatin1Char('\t') + device);
        a->setStatusTip(device);
        a->setToolTip(device);
    }
}

QString frmZVServer::lineSettings() const {
    const QString stored = settings_.GetSetting(kLineSettingsKey, SerialComm::kDefaultSettings);
    return SerialComm::validSettings(stored) ? stored : SerialComm::kDefaultSettings;
}

QString frmZVServer::lineSettingsNotice() const {
    const QString stored = settings_.GetSetting(kLineSettingsKey, SerialComm::kDefaultSettings);
    if (SerialComm::validSettings(stored)) return {};
    return QStringLiteral("stored com settings \"%1\" are not valid; using %2")
        .arg(stored, SerialComm::kDefaultSettings);
}

QString frmZVServer::flowControl() const {
    const QString stored = settings_.GetSetting(kFlowControlKey, kNoFlowControl).trimmed();
    return SerialComm::validFlowControl(stored) ? stored : kNoFlowControl;
}

QString frmZVServer::flowControlNotice() const {
    const QString stored = settings_.GetSetting(kFlowControlKey, kNoFlowControl).trimmed();
    if (SerialComm::validFlowControl(stored)) return {};
    return QStringLiteral("stored flow control \"%1\" is not none, rtscts or xonxoff; using none")
        .arg(stored);
}

// The COM number chosen (open or not), else the first one that has no device
// of its own stored and whose usual /dev/ttyS device is not present hardware.
int frmZVServer::defaultDeviceCom(const QList<DeviceEntry>& present) const {
    const double chosen = leadingNumber(comport);
    if (chosen >= 1 && chosen <= 16 && chosen == double(int(chosen))) return int(chosen);
    for (int n = 1; n <= 16; ++n) {
        if (!settings_.GetSetting(deviceKey(n), QString()).isEmpty()) continue;
        const QString usual = SerialComm::defaultDevice(n);
        if (std::none_of(present.begin(), present.end(),
                         [&](const DeviceEntry& d) { return d.path == usual; }))
            return n;
    }
    return 1;
}

void frmZVServer::mnuChooseDevice_Click() {
    int chosen = 0;
    trapBox(QStringLiteral("VB6 runtime error (mnuChooseDevice_Click): "), [&] {
        const QList<DeviceEntry> present = presentDevices();
        const std::optional<DeviceChoice> choice =
            dialogs_.ChooseDevice(present, defaultDeviceCom(present));
        if (!choice || choice->path.trimmed().isEmpty() || choice->com < 1 || choice->com > 16)
            return;
        settings_.SaveSetting(deviceKey(choice->com), choice->path.trimmed());
        refreshComCaptions();
        chosen = choice->com;
    });
    // Opens it exactly as a click on the item: its own trap and box.
    if (chosen != 0) mnuPortsCom_Click(chosen);
}

void frmZVServer::mnuLineSettings_Click() {
    trapBox(QStringLiteral("VB6 runtime error (mnuLineSettings_Click): "), [&] {
        // "baud,parity,data,stop[,flow]": no fifth field means no flow control.
        const QString flowNow = flowControl();
        const QString current =
            lineSettings() + (flowNow == kNoFlowControl ? QString() : QLatin1Char(',') + flowNow);
        const QString text = dialogs_.ChooseLineSettings(current).trimmed();
        if (text.isEmpty()) return;
        QStringList answer = text.split(QLatin1Char(','));
        const QString flow =
            answer.size() == 5 ? answer.takeLast().trimmed().toLower() : kNoFlowControl;
        const QString line = answer.join(QLatin1Char(','));
        SerialComm::checkSettings(line);
        SerialComm::checkFlowControl(flow);
        // In force at once on an open port; a line that refuses them keeps
        // its old settings and nothing is stored.
        if (MSComm1.PortOpen()) {
            MSComm1.setSettings(line);
            MSComm1.setFlowControl(flow);
        }
        settings_.SaveSetting(kLineSettingsKey, line);
        settings_.SaveSetting(kFlowControlKey, flow);
    });
}

}  // namespace zv
