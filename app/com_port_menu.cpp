// The Com Port menu: the sixteen items run one routine that opens the line;
// the device each COM number opens, chosen from the devices present, and the
// line settings used by every open.
#include <QAction>
#include <algorithm>
#include <optional>

#include "app/dialogs.h"
#include "app/main_window.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/stored_settings.h"
#include "core/text_number.h"
#include "serial/serial_devices.h"
#include "serial/serial_line.h"

namespace zv {

namespace {
QString deviceKey(int n) {
    return QStringLiteral("com device %1").arg(n);
}
// COM7's message has always lacked the blank before the parenthesis.
QString comErrorPrefix(int n) {
    return n == 7 ? QStringLiteral("VB6 runtime error(com7): ")
                  : QStringLiteral("VB6 runtime error (com%1): ").arg(n);
}
}  // namespace

void MainWindow::chooseComPort(int n) {
    trapBox(comErrorPrefix(n), [&] {
        settings_.write(QStringLiteral("com port"), QString::number(n));
        comPort = n;
        SerialLine& line = relay_.line();
        line.close();
        // Flow control is applied by the open; the rest once the line is open.
        LineSettings settings = line.settings();
        settings.flow = readLineSettings(settings_).flow;
        line.setSettings(settings);
        line.open(n);
        for (int i = 1; i <= 16; ++i) comActions[i - 1]->setChecked(i == n);
        line.setSettings(readLineSettings(settings_));
    });
}

QString MainWindow::captionOf(const QAction* item) {
    return item->text().section(QLatin1Char('\t'), 0, 0);
}

void MainWindow::refreshComCaptions() {
    // After a tab, Qt menus show the text in the shortcut column.
    for (int n = 1; n <= 16; ++n) {
        QAction* a = comActions[n - 1];
        const QString device = relay_.line().devicePath(n);
        a->setText(captionOf(a) + QLatin1Char('\t') + device);
        a->setStatusTip(device);
        a->setToolTip(device);
    }
}

// The COM number chosen (open or not), else the first one that has no device
// of its own stored and whose usual /dev/ttyS device is not present hardware.
int MainWindow::defaultDeviceCom(const QList<DeviceEntry>& present) const {
    if (comPort != 0) return comPort;
    for (int n = 1; n <= 16; ++n) {
        if (!settings_.read(deviceKey(n), QString()).isEmpty()) continue;
        const QString usual = SerialLine::defaultDevice(n);
        if (std::none_of(present.begin(), present.end(),
                         [&](const DeviceEntry& d) { return d.path == usual; }))
            return n;
    }
    return 1;
}

void MainWindow::chooseDevice() {
    int chosen = 0;
    trapBox(QStringLiteral("VB6 runtime error (mnuChooseDevice_Click): "), [&] {
        const QList<DeviceEntry> present = presentDevices();
        const std::optional<DeviceChoice> choice =
            dialogs_.ChooseDevice(present, defaultDeviceCom(present));
        if (!choice || choice->path.trimmed().isEmpty() || choice->com < 1 || choice->com > 16)
            return;
        settings_.write(deviceKey(choice->com), choice->path.trimmed());
        refreshComCaptions();
        chosen = choice->com;
    });
    // Opens it exactly as a click on the item: its own trap and box.
    if (chosen != 0) chooseComPort(chosen);
}

void MainWindow::chooseLineSettings() {
    trapBox(QStringLiteral("VB6 runtime error (mnuLineSettings_Click): "), [&] {
        // "baud,parity,data,stop[,flow]": no fifth field means no flow control.
        const LineSettings now = readLineSettings(settings_);
        const QString current = now.text() + (now.flow == QSerialPort::NoFlowControl
                                                  ? QString()
                                                  : QLatin1Char(',') + now.flowText());
        const QString text = dialogs_.ChooseLineSettings(current).trimmed();
        if (text.isEmpty()) return;
        QStringList answer = text.split(QLatin1Char(','));
        const QString flow =
            answer.size() == 5 ? answer.takeLast().trimmed().toLower() : QStringLiteral("none");
        const QString line = answer.join(QLatin1Char(','));
        LineSettings chosen = LineSettings::parse(line);
        chosen.flow = LineSettings::parseFlow(flow);
        // In force at once on an open line; a line that refuses them keeps
        // its old settings and nothing is stored.
        if (relay_.line().isOpen()) relay_.line().setSettings(chosen);
        settings_.write(QStringLiteral("com settings"), line);
        settings_.write(QStringLiteral("flow control"), flow);
    });
}

}  // namespace zv
