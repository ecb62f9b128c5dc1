#include "net/address_filter.h"

#include <sys/socket.h>

#include <QRegularExpression>

namespace zv {

namespace {
// A peer on an IPv4 address reaches a dual-stack listener as ::ffff:a.b.c.d.
// Only that form is IPv4: toIPv4Address() takes "::" for 0.0.0.0 too.
const QPair<QHostAddress, int> kMapped = QHostAddress::parseSubnet(QStringLiteral("::ffff:0:0/96"));

bool isMapped(const QHostAddress& address) {
    return address.protocol() == QAbstractSocket::IPv6Protocol && address.isInSubnet(kMapped);
}

QHostAddress plain(const QHostAddress& address) {
    return isMapped(address) ? QHostAddress(address.toIPv4Address()) : address;
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
        if (network.second < 0)
            network.second = network.first.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
        // An IPv4-mapped network of /96 or longer is the IPv4 network it maps.
        if (isMapped(network.first) && network.second >= 96)
            network = {plain(network.first), network.second - 96};
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
