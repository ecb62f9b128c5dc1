#pragma once
// For test peers that hand whole envelopes to `openssl enc -d`: the server's
// framer, plus an unpadded trailing piece (TCP may have cut it on a
// 4-character boundary) held back until the next read or flush().
#include <QByteArray>
#include <QString>
#include <QStringList>

#include "net/envelope_framer.h"

namespace zv::test {

class HeldEnvelopeFramer {
  public:
    // Adds bytes received; returns the complete envelopes, in order.
    QStringList append(const QByteArray& received);
    // True when a piece waits that may still continue.
    bool holding() const { return !held_.isEmpty(); }
    // Hands on whatever waits (quiet time over, or the connection ended).
    QStringList flush();

  private:
    EnvelopeFramer framer_;
    QString held_;  // an envelope that looked whole but ended with the read
};

}  // namespace zv::test
