#include "net/address_filter.h"

#include <sys/socket.h>

#include <QRegularExpression>

namespace zv {

namespace {
// A peer on an IPv4 address reaches a dual-stack listener as ::ffff:a.b.c.d.
QHostAddress plain(const QHostAddress& address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}
}  // namespace

QHostAddress peerAddress(qintptr descriptor) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&peer), &size) != 0) return {};
    return plain(QHostAddress(reinterpret_cast<const sockaddr*>(&peer)));
}

AddressFilter::AddressFilter(const QString& list) {
    static const QRegularExpression separators(QStringLiteral("[,;\\s]+"));
    for (const QString& entry : list.split(separators, Qt::SkipEmptyParts)) {
        active_ = true;
        QPair<QHostAddress, int> network = entry.contains(QLatin1Char('/'))
                                               ? QHostAddress::parseSubnet(entry)
                                               : qMakePair(QHostAddress(entry), -1);
        if (network.first.isNull()) {
            invalid_ << entry;
            continue;
        }
        network.first = plain(network.first);
        if (network.second < 0)
            network.second = network.first.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
        networks_ << network;
    }
}

bool AddressFilter::allows(const QHostAddress& peer) const {
    if (!active_) return true;
    const QHostAddress address = plain(peer);
    for (const auto& network : networks_)
        if (address.isInSubnet(network)) return true;
    return false;
}

}  // namespace zv
