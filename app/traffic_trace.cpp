#include "app/traffic_trace.h"

namespace zv {

TrafficTrace::TrafficTrace(std::function<void(const QString&)> report)
    : report_(std::move(report)) {}

void TrafficTrace::setPath(const QString& path) {
    file_.close();
    path_ = path;
    failed_ = false;
    if (on()) (void)open();
}

void TrafficTrace::reopen() {
    setPath(path_);
}

bool TrafficTrace::open() {
    file_.setFileName(path_);
    // Unbuffered: each line is one write, so a crash loses no line already traced.
    if (file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) return true;
    fail(QStringLiteral("cannot open"));
    return false;
}

void TrafficTrace::fail(const QString& what) {
    if (!failed_)
        report_(QStringLiteral("trace file %1: %2 (%3)").arg(path_, what, file_.errorString()));
    failed_ = true;
}

QByteArray TrafficTrace::line(const QDateTime& when, const QString& direction,
                              const QString& bytes) {
    const QByteArray data = bytes.toLatin1();
    return when.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ")).toLatin1() + ' ' +
           direction.toLatin1() + ' ' + QByteArray::number(data.size()) + " bytes:" +
           (data.isEmpty() ? QByteArray() : ' ' + data.toHex(' '));
}

void TrafficTrace::add(const QString& direction, const QString& bytes) {
    if (!on()) return;
    const QByteArray text = line(QDateTime::currentDateTimeUtc(), direction, bytes) + '\n';
    if (!file_.isOpen() && !open()) return;
    if (file_.size() > 0 && file_.size() + text.size() > maxBytes_) {
        file_.close();
        const QString older = path_ + QStringLiteral(".1");
        (void)QFile::remove(older);
        if (!QFile::rename(path_, older)) fail(QStringLiteral("cannot rotate"));
        if (!open()) return;
    }
    if (file_.write(text) != text.size()) {
        fail(QStringLiteral("cannot write"));
        file_.close();  // opened again for the next block: the disk may have room by then
        return;
    }
    failed_ = false;
}

}  // namespace zv
