#pragma once
// Modal message and input boxes, behind one interface so tests can script the
// answers and record every box shown.
#include <QList>
#include <QString>
#include <optional>

#include "serial/serial_devices.h"

class QWidget;

namespace zv {

inline const QString kAppTitle = QStringLiteral("Tandro ZV Server");

// Message box flags as the operator's boxes use them.
namespace mb {
constexpr int OkOnly = 0;
constexpr int Information = 64;  // OK button with the information icon
}  // namespace mb

// A device path the operator chose and the COM number that is to open it.
struct DeviceChoice {
    QString path;
    int com = 0;  // 1..16
};

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    // Shows a modal box; returns the button pressed (1 = OK).
    virtual int MsgBox(const QString& prompt, int flags, const QString& title) = 0;
    // Shows a modal input box; Cancel gives empty text.
    virtual QString InputBox(const QString& prompt, const QString& title,
                             const QString& defaultText) = 0;
    // Offers the devices present and a field for any other path, and a COM
    // number starting at `defaultCom`. Nothing (Cancel) unless overridden.
    virtual std::optional<DeviceChoice> ChooseDevice(const QList<DeviceEntry>& present,
                                                     int defaultCom);
    // Offers baud rate, parity, data and stop bits and flow control starting
    // from `current` ("9600,N,8,1" or "9600,N,8,1,rtscts": no fifth field
    // means no flow control); returns the choice in that notation, empty for
    // Cancel (also unless overridden).
    virtual QString ChooseLineSettings(const QString& current);
    // Offers a file to append the trace to, starting at `current`; empty for
    // Cancel (also unless overridden).
    virtual QString ChooseTraceFile(const QString& current);
};

// The real boxes, parented to the main window when there is one.
class QtDialogs : public Dialogs {
  public:
    explicit QtDialogs(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    int MsgBox(const QString& prompt, int flags, const QString& title) override;
    QString InputBox(const QString& prompt, const QString& title,
                     const QString& defaultText) override;
    std::optional<DeviceChoice> ChooseDevice(const QList<DeviceEntry>& present,
                                             int defaultCom) override;
    QString ChooseLineSettings(const QString& current) override;
    QString ChooseTraceFile(const QString& current) override;
    // The program ends (SIGTERM): the open boxes close as if cancelled, and
    // later ones are not shown (a box would hold the ending up).
    void endAll();
    bool ending() const { return ending_; }

  private:
    QWidget* parent_;
    bool ending_ = false;
};

}  // namespace zv
