#pragma once
// Running without a window: status captions and message boxes become lines on
// standard error, and SIGTERM or SIGINT ends the event loop cleanly.
#include <QObject>
#include <QString>

#include "app/dialogs.h"

class QSocketNotifier;

namespace zv {

// Writes "<UTC time, ISO 8601> <text>" as one line to standard error; line
// breaks inside `text` become blanks. With an instance name set, the line is
// "<time> [NAME] <text>". A failed write (the reader went away) is ignored.
void logLine(const QString& text);
void setLogInstance(const QString& name);

// Boxes as log lines "<title>: <prompt>"; each takes its default answer
// (a message box OK, an input box Cancel), so the program goes on.
class LogDialogs : public Dialogs {
  public:
    int MsgBox(const QString& prompt, int flags, const QString& title) override;
    QString InputBox(const QString& prompt, const QString& title,
                     const QString& defaultText) override;
};

// Turns SIGTERM and SIGINT into the Qt signal `terminationRequested`, through
// a self-pipe: the handler only writes one byte. One instance per process.
class TerminationSignals : public QObject {
    Q_OBJECT

  public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;
    // False when the pipe or the handlers could not be set up; see error().
    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }

  signals:
    void terminationRequested(int signalNumber);

  private:
    void readPipe();
    QSocketNotifier* notifier_ = nullptr;
    QString error_;
};

}  // namespace zv
