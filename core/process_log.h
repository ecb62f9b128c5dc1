#pragma once
// What a program without a window needs: status lines on standard error, and
// SIGTERM or SIGINT as a Qt signal so that the event loop ends cleanly.
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace zv {

// Writes "<UTC time, ISO 8601> <text>" as one line to standard error; line
// breaks inside `text` become blanks. With an instance name set, the line is
// "<time> [NAME] <text>". A failed write (the reader went away) is ignored.
void logLine(const QString& text);
void setLogInstance(const QString& name);

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
