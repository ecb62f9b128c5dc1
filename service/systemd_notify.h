#pragma once
// Tells systemd how the service is doing, through the socket it names in
// NOTIFY_SOCKET (a unit of Type=notify): READY=1 once it serves, STATUS= with
// its last status line, and WATCHDOG=1 from the event loop every half of
// WATCHDOG_USEC while it runs. Without NOTIFY_SOCKET it does nothing.
#include <QByteArray>
#include <QObject>
#include <QTimer>

namespace zv {

class SystemdNotify : public QObject {
    Q_OBJECT

  public:
    explicit SystemdNotify(QObject* parent = nullptr);
    ~SystemdNotify() override;
    bool active() const { return fd_ >= 0; }
    void ready() { send("READY=1"); }
    void status(const QString& text);
    void stopping() { send("STOPPING=1"); }

  private:
    void send(const QByteArray& message);

    int fd_ = -1;
    QByteArray address_;  // sockaddr_un path; a leading '@' is the abstract namespace
    QTimer watchdog_;
};

}  // namespace zv
