#pragma once
// SIGHUP as the Qt signal `hangUp`, through a self-pipe of its own (the
// handler only writes one byte): logrotate's way of saying "reopen your log".
// One instance per process; while it lives SIGHUP no longer ends the process.
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace zv {

class HangupSignal : public QObject {
    Q_OBJECT

  public:
    explicit HangupSignal(QObject* parent = nullptr);
    ~HangupSignal() override;
    // Empty when the pipe and the handler are in place; else why not.
    QString error() const { return error_; }

  signals:
    void hangUp();

  private:
    QSocketNotifier* notifier_ = nullptr;
    QString error_;
};

}  // namespace zv
