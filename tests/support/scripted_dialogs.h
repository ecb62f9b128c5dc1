#pragma once
// Message and input boxes for tests: every box is recorded; input boxes take
// their answers from a script. A box the test did not expect fails the test.
#include <gtest/gtest.h>
#include <QStringList>
#include <deque>
#include <vector>

#include "app/dialogs.h"

namespace zv::test {

struct ShownBox {
    QString text;    // the prompt
    int flags = -1;  // -1 for an input box
    QString title, defaultText;
};

class ScriptedDialogs : public Dialogs {
  public:
    ~ScriptedDialogs() override { EXPECT_TRUE(answers_.empty()) << "answers never asked for"; }
    // The next input box answers this (empty text = Cancel).
    void answer(const QString& text) { answers_.push_back(text); }
    // Allows the next `n` message boxes (they are recorded either way).
    void expectBoxes(int n) { allowed_ += n; }
    int MsgBox(const QString& prompt, int flags, const QString& title) override {
        shown.push_back({prompt, flags, title, {}});
        EXPECT_TRUE(allowed_ > 0 && allowed_--)
            << "unexpected message box: " << prompt.toStdString();
        return 1;
    }
    QString InputBox(const QString& prompt, const QString& title, const QString& def) override {
        shown.push_back({prompt, -1, title, def});
        EXPECT_FALSE(answers_.empty()) << "unexpected input box: " << prompt.toStdString();
        if (answers_.empty()) return {};
        const QString a = answers_.front();
        answers_.pop_front();
        return a;
    }
    // Both asked as input boxes whose default is the COM number or the settings
    // offered; the device dialog's answer is a path, opened as that number.
    std::optional<DeviceChoice> ChooseDevice(const QList<DeviceEntry>&, int com) override {
        const QString path = InputBox({}, "Choose Device", QString::number(com));
        return path.isEmpty() ? std::nullopt : std::optional(DeviceChoice{path, com});
    }
    QString ChooseLineSettings(const QString& current) override {
        return InputBox({}, "Line Settings", current);
    }
    QString ChooseTraceFile(const QString& current) override {
        return InputBox({}, "Trace File", current);
    }
    std::vector<ShownBox> shown;  // in order
    QStringList texts() const {   // the prompt of every box shown
        QStringList out;
        for (const auto& b : shown) out << b.text;
        return out;
    }
    void clear() { shown.clear(); }  // forgets what was shown; allowances and answers stay

  private:
    std::deque<QString> answers_;
    int allowed_ = 0;
};

}  // namespace zv::test
