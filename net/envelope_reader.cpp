#include "net/envelope_reader.h"

#include "app/qt_cipher.h"
#include "cipher/error.h"

namespace zv {

namespace {

// Bytes at the end of `b` that start a UTF-8 sequence the text does not finish.
qsizetype unfinishedUtf8(const QByteArray& b) {
    for (qsizetype back = 1; back <= 3 && back <= b.size(); ++back) {
        const auto c = static_cast<unsigned char>(b[b.size() - back]);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const qsizetype need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? back : 0;
    }
    return 0;
}

bool isHeaderLed(const QString& piece) {
    return piece.startsWith(QLatin1String("U2FsdGVkX1"));
}

// A whole envelope, maybe followed by the blanks and line ends the framer keeps with it.
bool isEnvelopePiece(const QString& piece) {
    qsizetype end = piece.size();
    while (end > 0 && (piece[end - 1] == u' ' || piece[end - 1] == u'\t' ||
                       piece[end - 1] == u'\r' || piece[end - 1] == u'\n'))
        --end;
    return EnvelopeFramer::isEnvelope(QStringView(piece).left(end));
}

// Whether Base64 goes on after this continuation piece: it ends in the alphabet.
bool runGoesOn(const QString& piece) {
    const QChar c = piece.back();
    return c != u'=' && c != u' ' && c != u'\t' && c != u'\r' && c != u'\n';
}

}  // namespace

QList<EnvelopeReader::Message> EnvelopeReader::append(const QString& received,
                                                      const QString& passPhrase) {
    QList<Message> out;
    const QStringList pieces = framer_.append(received);
    for (qsizetype i = 0; i < pieces.size(); ++i)
        take(out, pieces[i], i + 1 == pieces.size() && framer_.pending() == 0, passPhrase);
    return out;
}

QList<EnvelopeReader::Message> EnvelopeReader::release(const QString& /*passPhrase*/) {
    QList<Message> out;
    if (!open_.isEmpty()) hold(out, true);
    return out;
}

QList<EnvelopeReader::Message> EnvelopeReader::finish(const QString& passPhrase) {
    QList<Message> out;
    for (const QString& piece : framer_.flush()) take(out, piece, false, passPhrase);
    closeOpen(out);
    refusing_ = false;
    return out;
}

bool EnvelopeReader::holding() const {
    return !open_.isEmpty() && held_.size() > unfinishedUtf8(held_);
}

void EnvelopeReader::clear() {
    framer_.clear();
    open_.clear();
    held_.clear();
    handedOn_ = 0;
    refusing_ = false;
}

void EnvelopeReader::take(QList<Message>& out, const QString& piece, bool endsRead,
                          const QString& pass) {
    if (refusing_) {
        if (EnvelopeFramer::continuesEnvelope(piece)) {
            refusing_ = runGoesOn(piece);  // more of the refused envelope
            return;
        }
        refusing_ = false;
    }
    try {
        if (!open_.isEmpty() && EnvelopeFramer::continuesEnvelope(piece)) {
            if (open_.size() + piece.size() > EnvelopeFramer::kMaxEnvelope) {
                open_.clear();
                held_.clear();
                handedOn_ = 0;
                refusing_ = runGoesOn(piece);
                out.append(Message{Message::TooLong, {}});
                return;
            }
            open_ += piece;
            handOnOpen(out, DecryptBytes(open_, pass),
                       endsRead && EnvelopeFramer::mayContinue(open_));
            return;
        }
        closeOpen(out);  // whatever comes now is a message of its own
        if (isHeaderLed(piece) && piece.size() > EnvelopeFramer::kMaxEnvelope) {
            refusing_ = EnvelopeFramer::mayContinue(piece);
            out.append(Message{Message::TooLong, {}});
            return;
        }
        const QByteArray bytes = DecryptBytes(piece, pass);
        if (endsRead && EnvelopeFramer::mayContinue(piece)) {
            open_ = piece;
            handOnOpen(out, bytes, true);
            return;
        }
        out.append(Message{isEnvelopePiece(piece) ? Message::Text : Message::NotEnvelope,
                           DecodeUtf8(bytes)});
    } catch (const Error& e) {
        open_.clear();
        held_.clear();
        handedOn_ = 0;
        out.append(Message{Message::Failed, QString::fromStdString(e.description())});
    }
}

// `bytes` are all the deciphered bytes of open_; handedOn_ of them went out.
void EnvelopeReader::handOnOpen(QList<Message>& out, const QByteArray& bytes, bool mayGoOn) {
    held_ = bytes.mid(handedOn_);
    if (!mayGoOn) {
        closeOpen(out);
        return;
    }
    if (open_.size() <= kPromptChars) hold(out, true);
}

void EnvelopeReader::closeOpen(QList<Message>& out) {
    if (open_.isEmpty()) return;
    if (!held_.isEmpty()) hold(out, false);  // a broken last character as the cipher decodes it
    open_.clear();
    held_.clear();
    handedOn_ = 0;
}

// Hands on what is held, but for a character still cut in two when asked.
void EnvelopeReader::hold(QList<Message>& out, bool wholeCharactersOnly) {
    const qsizetype n = held_.size() - (wholeCharactersOnly ? unfinishedUtf8(held_) : 0);
    if (n <= 0) return;
    out.append(Message{Message::Text, DecodeUtf8(QByteArrayView(held_).first(n))});
    handedOn_ += n;
    held_.remove(0, n);
}

}  // namespace zv
