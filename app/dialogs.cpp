#include "app/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QWidget>

#include "app/device_dialog.h"

namespace zv {

namespace {
// Keyboard focus goes back to the window once a box is gone. Window managers
// do this themselves; without one (a bare X server) focus would fall to the
// root window and the keyboard would stop reaching the program.
void giveFocusBack(QWidget* parent) {
    if (parent != nullptr && parent->isVisible()) parent->activateWindow();
}
}  // namespace

std::optional<DeviceChoice> Dialogs::ChooseDevice(const QList<DeviceEntry>&, int) {
    return std::nullopt;
}

QString Dialogs::ChooseLineSettings(const QString&) {
    return {};
}

QString Dialogs::ChooseTraceFile(const QString&) {
    return {};
}

void QtDialogs::endAll() {
    ending_ = true;
    // Nested boxes close from the top; each reject() hides its box at once.
    for (int i = 0; i < 16; ++i) {
        auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (box == nullptr) break;
        box->reject();
    }
}

int QtDialogs::MsgBox(const QString& prompt, int flags, const QString& title) {
    if (ending_) return 1;
    QMessageBox box(parent_);
    box.setWindowTitle(title);
    box.setText(prompt);
    box.setIcon((flags & mb::Information) ? QMessageBox::Information : QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    (void)box.exec();  // one OK button: the answer is always OK
    giveFocusBack(parent_);
    return 1;
}

QString QtDialogs::InputBox(const QString& prompt, const QString& title,
                            const QString& defaultText) {
    if (ending_) return {};
    bool ok = false;
    const QString answer =
        QInputDialog::getText(parent_, title, prompt, QLineEdit::Normal, defaultText, &ok);
    giveFocusBack(parent_);
    return ok ? answer : QString();
}

std::optional<DeviceChoice> QtDialogs::ChooseDevice(const QList<DeviceEntry>& present,
                                                    int defaultCom) {
    if (ending_) return std::nullopt;
    const auto choice = runDeviceDialog(parent_, present, defaultCom);
    giveFocusBack(parent_);
    return choice;
}

QString QtDialogs::ChooseLineSettings(const QString& current) {
    if (ending_) return {};
    const QString choice = runLineSettingsDialog(parent_, current);
    giveFocusBack(parent_);
    return choice;
}

QString QtDialogs::ChooseTraceFile(const QString& current) {
    if (ending_) return {};
    // Appended to, never replaced: an existing file needs no confirmation.
    const QString path =
        QFileDialog::getSaveFileName(parent_, QStringLiteral("Trace File"), current, QString(),
                                     nullptr, QFileDialog::DontConfirmOverwrite);
    giveFocusBack(parent_);
    return path;
}

}  // namespace zv
