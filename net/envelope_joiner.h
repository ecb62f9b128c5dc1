#pragma once
// Deciphers the pieces an EnvelopeFramer cuts from one connection, joining an
// envelope that TCP cut on a 4-character boundary. Such a first part ends
// without "=" padding and looks whole, so it is deciphered at once; the rest
// then arrives as Base64 without a header of its own. Counter mode deciphers
// the joined envelope to the same first bytes, so only the bytes after those
// already handed on are new. A UTF-8 character cut in two waits for its
// other half. One joiner per connection.
#include <QString>

namespace zv {

class EnvelopeJoiner {
  public:
    // The new clear text of `piece`; `endsRead`: nothing followed it in its
    // read, so more of it may come. Raises only when the cipher fails.
    QString decrypt(const QString& piece, bool endsRead, const QString& passPhrase);
    // Whether `piece` would go on the envelope that is still open.
    bool continues(const QString& piece) const;
    void clear() {
        open_.clear();
        handled_ = 0;
    }

  private:
    QString open_;           // the envelope so far, while it may go on
    qsizetype handled_ = 0;  // its deciphered bytes already handed on
};

}  // namespace zv
