#pragma once
// Cuts the text received from one client into envelopes. TCP keeps no message
// boundaries: two quick messages may arrive in one read and one message may
// arrive in two. Rule: every envelope is Base64 starting with "U2FsdGVkX1"
// (the encoding of "Salted__") at a multiple of 4 characters, so
//  - a read holding several envelopes is cut before each later header that
//    stands at a multiple of 4 characters from the start of the current piece;
//  - a trailing piece that begins with the header but whose length is not a
//    multiple of 4 cannot be a whole envelope and waits for more data; so does
//    one shorter than the shortest envelope (24 characters: an empty message)
//    and a start of the header itself ("U2Fs");
//  - a piece whose Base64 ends (after "=" padding, or at any other character)
//    is complete at once: it is handed on together with the blanks, CR and LF
//    right after it, and what follows them is a new piece;
//  - text that is not an envelope at all passes through as it came, cut before
//    a header later in it (alignment means nothing there) and into pieces
//    that decipher to at most kMaxMessageBytes;
//  - more than kMaxEnvelope characters waiting are handed on as they stand.
// Limit: an envelope split by TCP at a multiple of 4 characters, where its
// first part ends without "=" padding, looks whole; that part is handed on
// early and the rest follows as a second piece. mayContinue() and
// continuesEnvelope() let the receiver join the two (EnvelopeReader): in
// counter mode the first part deciphers to the start of the text.
#include <QString>
#include <QStringList>

namespace zv {

class EnvelopeFramer {
  public:
    // The largest message the relay carries, in bytes (what the serial output
    // holds), and the length of its envelope: 1,398,124 characters.
    static constexpr qsizetype kMaxMessageBytes = 1024 * 1024;
    static constexpr qsizetype kMaxEnvelope = 4 * ((kMaxMessageBytes + 16 + 2) / 3);

    // Adds received text; returns the complete messages it made, in order.
    QStringList append(const QString& received);
    // Hands on whatever waits (the client closed); empty list when nothing.
    QStringList flush();

    // An envelope whose Base64 may go on: the header, Base64 only, no "=".
    static bool mayContinue(QStringView piece);
    // A whole envelope as the cipher writes it: the header, whole Base64
    // quads, at most two "=" at the end, nothing else.
    static bool isEnvelope(QStringView text);
    // Base64 that is no envelope of its own: the rest of a cut one, if any.
    static bool continuesEnvelope(QStringView piece);
    qsizetype pending() const { return pending_.size(); }
    void clear() {
        pending_.clear();
        scanned_ = 0;
    }

  private:
    QString pending_;        // the start of one envelope, waiting for the rest
    qsizetype scanned_ = 0;  // leading Base64 of pending_ already searched for headers
};

}  // namespace zv
