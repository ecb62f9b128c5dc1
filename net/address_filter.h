#pragma once
// Which peer addresses a listener serves: the setting "allowed clients", a
// list of addresses and networks ("127.0.0.1, 192.168.1.0/24, fd00::/8").
// An empty list allows everyone. A list that holds text allows only the
// valid entries in it: a mistyped entry never widens who may connect.
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace zv {

class AddressFilter {
  public:
    AddressFilter() = default;
    // Entries separated by commas, blanks or semicolons; an address without
    // "/bits" is that one address. IPv6 networks match IPv6 peers ("::/0" is
    // every one of them); an IPv4-mapped one ("::ffff:10.0.0.0/104") is the
    // IPv4 network it maps.
    explicit AddressFilter(const QString& list);
    // A filter that allows no address at all.
    static AddressFilter nobody() {
        AddressFilter none;
        none.active_ = true;
        return none;
    }

    bool allows(const QHostAddress& peer) const;
    // Entries that are no address or network, as written.
    const QStringList& invalid() const { return invalid_; }

  private:
    QList<QPair<QHostAddress, int>> networks_;  // address, prefix length in bits
    QStringList invalid_;
    bool active_ = false;
};

// The peer of a connected socket, an IPv4 peer of a dual-stack listener as
// plain IPv4; a null address when the peer is already gone.
QHostAddress peerAddress(qintptr descriptor);

}  // namespace zv
