#pragma once
// The text one client sends, read as it arrives. The rule: a connection's text
// is a sequence of envelopes. An envelope begins at "U2FsdGVkX1"; its Base64
// goes on, skipping line breaks and blanks as `openssl enc -a` writes them,
// until "=" padding, a character that is neither Base64 nor a line break or
// blank, or the next header. Its key is derived once, when its salt has
// arrived, and its bytes are deciphered as they arrive (counter mode: the
// keystream continues where it stopped); what a read brings is handed on at
// once, in whole UTF-8 characters.
//
// What waits: a partial quad and a character cut in two, until their rest
// arrives or the envelope ends; and a trailing start of a header ("U2Fs" to
// "U2FsdGVkX" inside an envelope, until the next read or release() shows
// whether a header follows; any part of one outside, until the next read).
// Nothing else waits, whatever a message's size.
//
// Text that is no envelope (before the first header or between envelopes) is
// deciphered all the same, one run per read, as the cipher reads text without
// a header: meaningless, but handed on. An envelope that ends before its salt
// is whole (its first 22 characters) is dropped and said as CutShort.
//
// Keys come from the Derive function: at once, or on a DerivationPool that
// calls the owner back; take() hands on, in arrival order, what can be
// deciphered now and never waits.
#include <QList>
#include <QString>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "cipher/codec.h"
#include "cipher/derivation_pool.h"
#include "cipher/engine.h"

namespace zv {

class EnvelopeStream {
  public:
    struct Piece {
        enum Kind {
            Text,         // from an envelope
            NotEnvelope,  // text that is no envelope, deciphered all the same
            CutShort,     // an envelope that ended before its salt: dropped
            Failed,       // the cipher failed: `text` is its description
        };
        Kind kind = Text;
        QString text;
    };
    // Starts each of Batch (the keys one call found salts for, together, so a
    // pool sees a read's envelopes at once); take() looks at D->done. Called
    // on the stream's thread.
    using Batch = std::vector<std::shared_ptr<Derivation>>;
    using Derive = std::function<void(Batch batch)>;

    explicit EnvelopeStream(Derive derive);
    ~EnvelopeStream();  // derivations nobody will take are cancelled
    EnvelopeStream(const EnvelopeStream&) = delete;
    EnvelopeStream& operator=(const EnvelopeStream&) = delete;

    // Received text, one character per byte; keys are derived under passPhrase.
    void append(QStringView received, const QString& passPhrase);
    // No read came for a while: a held header start was text after all.
    void release(const QString& passPhrase);
    // The connection ended: what waits ends with it.
    void finish(const QString& passPhrase);
    // What can be handed on now, in order.
    QList<Piece> take();

    // release() may hand something on.
    bool holding() const { return inside_ && !held_.isEmpty(); }
    bool finished() const { return finished_; }
    bool empty() const { return units_.empty(); }  // nothing left to take
    // Received bytes (and messages) not yet taken: for flow control.
    qsizetype waitingBytes() const { return waitingBytes_; }
    qsizetype waitingMessages() const { return qsizetype(units_.size()); }

  private:
    // One envelope, or one run of text that is no envelope, on its way out.
    struct Unit {
        Piece::Kind kind = Piece::Text;
        std::shared_ptr<Derivation> key;     // null for CutShort
        QByteArray cipher;                   // received, not yet deciphered
        bool ended = false;                  // no more bytes will come
        bool handedOn = false;               // a piece of it went out
        std::unique_ptr<CipherContext> aes;  // keyed once the key is there
        Utf8Stream utf8;                     // holds a character cut in two
        bool dead = false;                   // the cipher failed: the rest is dropped
    };

    // How long what may wait at the end of a scan waits.
    enum Until {
        Read,   // the next read
        Quiet,  // inside an envelope a header's start is text after all
        End,    // the connection ended: nothing waits
    };
    void scan(QStringView work, const QString& pass, Until until);
    qsizetype partialQuad(QStringView body, qsizetype sextets) const;
    void beginEnvelope();
    void endEnvelope();
    void closeRun(const QString& pass);
    void feed(QStringView base64, const QString& pass);
    Unit& push(Piece::Kind kind, const QString& pass, QByteArrayView salt);
    void decipher(Unit& u, QList<Piece>& out);
    void startDerivations();

    Derive derive_;
    Batch starting_;  // derivations pushed by this call, not yet started
    std::deque<Unit> units_;
    bool inside_ = false;         // in an envelope's Base64
    QByteArray header_;           // its first 16 bytes ("Salted__" and salt) as they come
    quint32 bits_ = 0;            // decoded bits not yet a byte, the newest lowest
    int bitCount_ = 0;            // how many
    int quadPos_ = 0;             // sextets of the envelope past its last whole quad
    QByteArray decoded_;          // feed()'s bytes, kept for its next call
    QString run_;                 // text of this read that is no envelope
    QString held_;                // a possible header start, not yet read
    qsizetype waitingBytes_ = 0;  // of units_, not yet taken
    bool finished_ = false;
};

}  // namespace zv
