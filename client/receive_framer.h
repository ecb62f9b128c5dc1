#pragma once
// Cuts what the server sends into envelopes with the server's own framer, and
// mends its one blind spot for this side: an envelope that TCP split at a
// multiple of 4 characters, where the first part has no "=" padding, looks
// whole. Such a trailing piece is held back; the next read either continues
// it or starts a new envelope. When nothing follows, the caller hands it on
// with flush() after a short quiet time (kSplitGraceMs).
#include <QByteArray>
#include <QString>
#include <QStringList>

#include "net/envelope_framer.h"

namespace zv::client {

class ReceiveFramer {
  public:
    static constexpr int kSplitGraceMs = 50;

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

// An envelope as the cipher writes it: the "Salted__" header, whole Base64
// quads, at most two "=" at the end, nothing else.
bool isEnvelope(QStringView text);

}  // namespace zv::client
