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
// "U2FsdGVkX" inside an envelope, any part of one outside), until the next
// read or the connection's end shows whether a header follows. Nothing waits
// for a clock, so the same text cut into reads anywhere gives the same pieces.
//
// Text that is no envelope (before the first header or between envelopes) is
// deciphered all the same, one run per read, as the cipher reads text without
// a header: meaningless, but handed on. An envelope that ends before its salt
// is whole (its first 22 characters), and a header start the connection ended
// on, is dropped and said as CutShort.
//
// Keys come from the Derive function: at once, or on a DerivationPool that
// calls the owner back; take() hands on, in arrival order, what can be
// deciphered now and never waits.
#include <QByteArray>
#include <QList>
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
        QByteArray text;     // UTF-8, whole characters (invalid sequences as U+FFFD)
        bool starts = true;  // the first piece of its envelope (or run)
        bool ends = true;    // the last one: its message is whole (text may be empty)
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

    // Bytes as received; keys are derived under passPhrase (UTF-8).
    void append(QByteArrayView received, const QByteArray& passPhrase);
    // The connection ended: what waits ends with it.
    void finish(const QByteArray& passPhrase);
    // What can be handed on now, in order.
    QList<Piece> take();

    bool finished() const { return finished_; }
    bool empty() const { return units_.empty(); }  // nothing left to take
    // Everything received so far was handed on (an envelope that goes on
    // in later reads may still be open).
    bool caughtUp() const;
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

    void scan(QByteArrayView work, const QByteArray& pass, bool atEnd);
    qsizetype partialQuad(QByteArrayView body, qsizetype sextets) const;
    void beginEnvelope();
    void endEnvelope();
    void closeRun(const QByteArray& pass);
    void feed(QByteArrayView base64, const QByteArray& pass);
    Unit& push(Piece::Kind kind, const QByteArray& pass, QByteArrayView salt);
    void pushCutShort();
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
    QByteArray run_;              // text of this read that is no envelope
    QByteArray held_;             // a possible header start, not yet read
    qsizetype waitingBytes_ = 0;  // of units_, not yet taken
    bool finished_ = false;
};

}  // namespace zv
