#include "net/envelope_joiner.h"

#include "app/qt_cipher.h"
#include "net/envelope_framer.h"

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
}  // namespace

bool EnvelopeJoiner::continues(const QString& piece) const {
    return !open_.isEmpty() && EnvelopeFramer::continuesEnvelope(piece) &&
           open_.size() + piece.size() <= EnvelopeFramer::kMaxPending;
}

QString EnvelopeJoiner::decrypt(const QString& piece, bool endsRead, const QString& passPhrase) {
    const bool joined = continues(piece);
    const QString envelope = joined ? open_ + piece : piece;
    const qsizetype handled = joined ? handled_ : 0;
    const QByteArray bytes = DecryptBytes(envelope, passPhrase);
    qsizetype end = bytes.size();
    if (endsRead && EnvelopeFramer::mayContinue(envelope)) {
        end -= unfinishedUtf8(bytes);
        open_ = envelope;
        handled_ = end;
    } else {
        clear();
    }
    return DecodeUtf8(QByteArrayView(bytes).sliced(handled, end - handled));
}

}  // namespace zv
