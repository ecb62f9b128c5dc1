#pragma once
// Turns the text received on one connection into the clear texts of its
// messages. An EnvelopeFramer cuts the text into pieces; the reader deciphers
// them and joins an envelope that TCP cut on a 4-character boundary. Such a
// first part ends without "=" padding and looks whole; the rest then arrives
// as Base64 without a header of its own. Counter mode deciphers the joined
// envelope to the same first bytes, so only the bytes after those already
// handed on are new.
//  - A short envelope that may still go on is handed on at once (latency);
//    a UTF-8 character cut in two waits for its other half, and is handed on
//    as the cipher decodes a broken sequence when the next piece turns out to
//    be a new message.
//  - One longer than kPromptChars is held until it ends: a piece that does not
//    continue it, release() (the caller's quiet time without data) or finish().
//  - An envelope longer than EnvelopeFramer::kMaxEnvelope (a message over
//    1 MiB) is refused whole: one TooLong message, and the rest of its Base64
//    is dropped as it arrives. At most its first kPromptChars characters may
//    have been handed on before it was known to be too long.
// Memory: at most about 2 x kMaxEnvelope characters plus 1 MiB per reader.
#include <QByteArray>
#include <QList>
#include <QString>

#include "net/envelope_framer.h"

namespace zv {

class EnvelopeReader {
  public:
    static constexpr qsizetype kPromptChars = 4096;

    struct Message {
        enum Kind {
            Text,         // deciphered from an envelope (or the rest of a cut one)
            NotEnvelope,  // text that is no envelope, deciphered all the same
            TooLong,      // an envelope over the limit: refused, `text` is empty
            Failed,       // the cipher failed: `text` is its description
        };
        Kind kind = Text;
        QString text;
    };

    // Adds received text. Raises nothing: a cipher failure is a Failed message.
    QList<Message> append(const QString& received, const QString& passPhrase);
    // No data came for a while: hands on what waits only for the end of its
    // envelope. The envelope may still go on afterwards.
    QList<Message> release(const QString& passPhrase);
    // The connection ended: everything that waits, as it stands.
    QList<Message> finish(const QString& passPhrase);
    // Whether release() would hand anything on.
    bool holding() const;
    // Characters waiting in the framer for the rest of an envelope.
    qsizetype pending() const { return framer_.pending(); }
    void clear();

  private:
    void take(QList<Message>& out, const QString& piece, bool endsRead, const QString& pass);
    void handOnOpen(QList<Message>& out, const QByteArray& bytes, bool mayGoOn);
    void closeOpen(QList<Message>& out);
    void hold(QList<Message>& out, bool wholeCharactersOnly);

    EnvelopeFramer framer_;
    QString open_;            // the envelope so far, while it may go on
    QByteArray held_;         // its deciphered bytes not yet handed on
    qsizetype handedOn_ = 0;  // its deciphered bytes already handed on
    bool refusing_ = false;   // dropping the rest of a refused envelope
};

}  // namespace zv
