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
    // The next device dialog chooses `path` as COM `com` (0: the one offered).
    void chooseDevice(const QString& path, int com = 0) { devices_.push_back({path, com}); }
    // Allows the next `n` message boxes (they are recorded either way).
    void expectBoxes(int n) { allowedBoxes_ += n; }

    int MsgBox(const QString& prompt, int flags, const QString& title) override;
    QString InputBox(const QString& prompt, const QString& title,
                     const QString& defaultText) override;
    // Recorded as boxes titled by the dialog; line settings answer from the
    // input box script.
    std::optional<DeviceChoice> ChooseDevice(const QList<DeviceEntry>& present,
                                             int defaultCom) override;
    QString ChooseLineSettings(const QString& current) override;
    QList<DeviceEntry> offered;  // by the last device dialog

    std::vector<ShownBox> shown;  // in order
    QStringList texts() const;    // the prompt of every box shown
    // Forgets what was shown; pending allowances and answers stay.
    void clear() { shown.clear(); }

  private:
    std::deque<QString> answers_;
    std::deque<DeviceChoice> devices_;
    int allowedBoxes_ = 0;
};

}  // namespace zv::test
