#include "app/device_dialog.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace zv {

std::optional<DeviceChoice> runDeviceDialog(QWidget* parent, const QList<DeviceEntry>& present,
                                            int defaultCom) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Choose Device"));
    auto* layout = new QVBoxLayout(&dialog);

    auto* list = new QTreeWidget(&dialog);
    list->setRootIsDecorated(false);
    list->setHeaderLabels({QStringLiteral("Device"), QStringLiteral("Description"),
                           QStringLiteral("Manufacturer"), QStringLiteral("Stable name")});
    for (const DeviceEntry& d : present) {
        auto* row =
            new QTreeWidgetItem(list, {d.path, d.description, d.manufacturer, d.stableName});
        row->setData(0, Qt::UserRole, d.preferredPath());
    }
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(new QLabel(present.isEmpty() ? QStringLiteral("No serial devices were found.")
                                                   : QStringLiteral("Serial devices present now:"),
                                 &dialog));
    layout->addWidget(list);

    auto* form = new QFormLayout;
    auto* path = new QLineEdit(&dialog);
    path->setPlaceholderText(QStringLiteral("/dev/ttyUSB0, a pseudo-terminal, a link..."));
    auto* com = new QSpinBox(&dialog);
    com->setRange(1, 16);
    com->setPrefix(QStringLiteral("COM"));
    com->setValue(defaultCom);
    form->addRow(QStringLiteral("Device &path:"), path);
    form->addRow(QStringLiteral("Open as:"), com);
    layout->addLayout(form);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(buttons);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setText(QStringLiteral("&Open"));
    ok->setEnabled(false);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(list, &QTreeWidget::currentItemChanged, path, [path](QTreeWidgetItem* row) {
        if (row) path->setText(row->data(0, Qt::UserRole).toString());
    });
    QObject::connect(list, &QTreeWidget::itemDoubleClicked, &dialog, &QDialog::accept);
    QObject::connect(path, &QLineEdit::textChanged, ok,
                     [ok](const QString& text) { ok->setEnabled(!text.trimmed().isEmpty()); });
    dialog.resize(dialog.sizeHint().expandedTo(QSize(560, 320)));
    path->setFocus();  // nothing chosen until the operator picks a row or types

    if (dialog.exec() != QDialog::Accepted || path->text().trimmed().isEmpty()) return std::nullopt;
    return DeviceChoice{path->text().trimmed(), com->value()};
}

QString runLineSettingsDialog(QWidget* parent, const QString& current) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Line Settings"));
    auto* form = new QFormLayout(&dialog);
    QStringList now = current.split(QLatin1Char(','));
    auto combo = [&](const QString& label, const QStringList& items, const QStringList& codes,
                     int field) {
        auto* c = new QComboBox(&dialog);
        for (int i = 0; i < items.size(); ++i) c->addItem(items[i], codes[i]);
        // A valid value the list lacks (a rate typed into the file) is kept.
        const QString value = now.value(field).trimmed().toUpper();
        if (c->findData(value) < 0) c->addItem(value, value);
        c->setCurrentIndex(c->findData(value));
        form->addRow(label, c);
        return c;
    };
    const QStringList bauds = {
        QStringLiteral("300"),    QStringLiteral("600"),    QStringLiteral("1200"),
        QStringLiteral("2400"),   QStringLiteral("4800"),   QStringLiteral("9600"),
        QStringLiteral("19200"),  QStringLiteral("38400"),  QStringLiteral("57600"),
        QStringLiteral("115200"), QStringLiteral("230400"), QStringLiteral("460800"),
        QStringLiteral("921600")};
    const QStringList bits = {QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7"),
                              QStringLiteral("8")};
    QComboBox* baud = combo(QStringLiteral("&Baud rate:"), bauds, bauds, 0);
    QComboBox* parity =
        combo(QStringLiteral("&Parity:"),
              {QStringLiteral("None"), QStringLiteral("Even"), QStringLiteral("Odd"),
               QStringLiteral("Mark"), QStringLiteral("Space")},
              {QStringLiteral("N"), QStringLiteral("E"), QStringLiteral("O"), QStringLiteral("M"),
               QStringLiteral("S")},
              1);
    QComboBox* data = combo(QStringLiteral("&Data bits:"), bits, bits, 2);
    // 1.5 stop bits: termios has none.
    const QStringList stops = {QStringLiteral("1"), QStringLiteral("2")};
    QComboBox* stop = combo(QStringLiteral("&Stop bits:"), stops, stops, 3);
    if (now.size() < 5) now << QStringLiteral("none");
    QComboBox* flow =
        combo(QStringLiteral("&Flow control:"),
              {QStringLiteral("None"), QStringLiteral("RTS/CTS (hardware)"),
               QStringLiteral("XON/XOFF (software)")},
              {QStringLiteral("NONE"), QStringLiteral("RTSCTS"), QStringLiteral("XONXOFF")}, 4);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    form->addRow(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted) return {};
    return QStringList({baud->currentData().toString(), parity->currentData().toString(),
                        data->currentData().toString(), stop->currentData().toString(),
                        flow->currentData().toString().toLower()})
        .join(QLatin1Char(','));
}

}  // namespace zv
