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
    // "/bits" is that one address.
    explicit AddressFilter(const QString& list);

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
