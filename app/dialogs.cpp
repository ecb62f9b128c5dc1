#include "app/dialogs.h"

#include <QInputDialog>
#include <QMessageBox>

namespace zv {

int QtDialogs::MsgBox(const QString& prompt, int flags, const QString& title) {
    QMessageBox box(parent_);
    box.setWindowTitle(title);
    box.setText(prompt);
    box.setIcon((flags & mb::Information) ? QMessageBox::Information : QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return 1;
}

QString QtDialogs::InputBox(const QString& prompt, const QString& title,
                            const QString& defaultText) {
    bool ok = false;
    const QString answer =
        QInputDialog::getText(parent_, title, prompt, QLineEdit::Normal, defaultText, &ok);
    return ok ? answer : QString();
}

}  // namespace zv
