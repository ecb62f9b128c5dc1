#pragma once
// Modal message and input boxes, behind one interface so tests can script the
// answers and record every box shown.
#include <QString>

class QWidget;

namespace zv {

inline const QString kAppTitle = QStringLiteral("Tandro ZV Server");

// Message box flags as the operator's boxes use them.
namespace mb {
constexpr int OkOnly = 0;
constexpr int Information = 64;  // OK button with the information icon
}  // namespace mb

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    // Shows a modal box; returns the button pressed (1 = OK).
    virtual int MsgBox(const QString& prompt, int flags, const QString& title) = 0;
    // Shows a modal input box; Cancel gives empty text.
    virtual QString InputBox(const QString& prompt, const QString& title,
                             const QString& defaultText) = 0;
};

// The real boxes, parented to the main window when there is one.
class QtDialogs : public Dialogs {
  public:
    explicit QtDialogs(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    int MsgBox(const QString& prompt, int flags, const QString& title) override;
    QString InputBox(const QString& prompt, const QString& title,
                     const QString& defaultText) override;

  private:
    QWidget* parent_;
};

}  // namespace zv
