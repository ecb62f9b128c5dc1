#include "service/systemd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QString>
#include <cstring>

namespace zv {

SystemdNotify::SystemdNotify(QObject* parent) : QObject(parent) {
    address_ = qgetenv("NOTIFY_SOCKET");
    if (address_.isEmpty() || address_.size() >= qsizetype(sizeof(sockaddr_un::sun_path)) ||
        (address_[0] != '/' && address_[0] != '@'))
        return;
    // Non-blocking: a full queue at systemd drops a message, never stalls the relay.
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return;
    // The watchdog asks for a sign of life from the event loop itself: a hung
    // loop sends nothing and systemd restarts the service.
    bool ok = false;
    const qint64 usec = qEnvironmentVariable("WATCHDOG_USEC").toLongLong(&ok);
    const QString pid = qEnvironmentVariable("WATCHDOG_PID");
    if (ok && usec > 0 && (pid.isEmpty() || pid.toLongLong() == qint64(::getpid()))) {
        watchdog_.setInterval(int(qMax<qint64>(1, usec / 2000)));
        connect(&watchdog_, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
        watchdog_.start();
    }
}

SystemdNotify::~SystemdNotify() {
    if (fd_ >= 0) (void)::close(fd_);
}

void SystemdNotify::status(const QString& text) {
    QByteArray line = text.toUtf8();
    line.replace('\n', ' ');
    send("STATUS=" + line);
}

// A lost message is not worth failing for: systemd goes on without it.
void SystemdNotify::send(const QByteArray& message) {
    if (fd_ < 0) return;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::memcpy(to.sun_path, address_.constData(), size_t(address_.size()));
    if (to.sun_path[0] == '@') to.sun_path[0] = '\0';
    const socklen_t size = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(address_.size()));
    (void)::sendto(fd_, message.constData(), size_t(message.size()), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&to), size);
}

}  // namespace zv
