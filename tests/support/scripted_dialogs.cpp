#include "support/scripted_dialogs.h"

#include <gtest/gtest.h>

namespace zv::test {

ScriptedDialogs::~ScriptedDialogs() {
    EXPECT_TRUE(answers_.empty()) << answers_.size() << " scripted answers were never asked for";
}

int ScriptedDialogs::MsgBox(const QString& prompt, int flags, const QString& title) {
    shown.push_back({prompt, flags, title, {}});
    if (allowedBoxes_ > 0) {
        --allowedBoxes_;
    } else {
        ADD_FAILURE() << "unexpected message box: " << prompt.toStdString();
    }
    return 1;
}

QString ScriptedDialogs::InputBox(const QString& prompt, const QString& title,
                                  const QString& defaultText) {
    shown.push_back({prompt, -1, title, defaultText});
    if (answers_.empty()) {
        ADD_FAILURE() << "unexpected input box: " << prompt.toStdString();
        return {};
    }
    QString a = answers_.front();
    answers_.pop_front();
    return a;
}

std::optional<DeviceChoice> ScriptedDialogs::ChooseDevice(const QList<DeviceEntry>&,
                                                          int defaultCom) {
    const QString path = InputBox({}, "Choose Device", QString::number(defaultCom));
    return path.isEmpty() ? std::nullopt : std::optional(DeviceChoice{path, defaultCom});
}

QString ScriptedDialogs::ChooseLineSettings(const QString& current) {
    return InputBox({}, "Line Settings", current);
}

QStringList ScriptedDialogs::texts() const {
    QStringList out;
    for (const auto& b : shown) out << b.text;
    return out;
}

}  // namespace zv::test
