#pragma once
// Message and input boxes for tests: every box is recorded; input boxes take
// their answers from a script. A box the test did not expect fails the test.
#include <QString>
#include <QStringList>
#include <deque>
#include <vector>

#include "app/dialogs.h"

namespace zv::test {

struct ShownBox {
    QString text;    // the prompt
    int flags = -1;  // -1 for an input box
    QString title;
    QString defaultText;
};

class ScriptedDialogs : public Dialogs {
  public:
    ~ScriptedDialogs() override;
    // The next input box answers this (empty text = Cancel).
    void answer(const QString& text) { answers_.push_back(text); }
    // Allows the next `n` message boxes (they are recorded either way).
    void expectBoxes(int n) { allowedBoxes_ += n; }

    int MsgBox(const QString& prompt, int flags, const QString& title) override;
    QString InputBox(const QString& prompt, const QString& title,
                     const QString& defaultText) override;
    // Both shown as input boxes whose default is the COM number or settings
    // offered; the device dialog's answer is a path, opened as that number.
    std::optional<DeviceChoice> ChooseDevice(const QList<DeviceEntry>&, int defaultCom) override;
    QString ChooseLineSettings(const QString& current) override;

    std::vector<ShownBox> shown;  // in order
    QStringList texts() const;    // the prompt of every box shown
    // Forgets what was shown; pending allowances and answers stay.
    void clear() { shown.clear(); }

  private:
    std::deque<QString> answers_;
    int allowedBoxes_ = 0;
};

}  // namespace zv::test
