#include "net/envelope_framer.h"

namespace zv {

namespace {

const QString kHeader = QStringLiteral("U2FsdGVkX1");  // Base64 of "Salted__", first 60 bits
constexpr qsizetype kMinEnvelope = 24;                 // 16 header bytes, empty message

bool isBase64(QChar c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
           c == u'+' || c == u'/';
}

bool isLineSpace(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// Could `s` be (the start of) an envelope?
bool opensEnvelope(QStringView s) {
    return s.startsWith(kHeader) ||
           (s.size() < kHeader.size() && QStringView(kHeader).startsWith(s));
}

}  // namespace

QStringList EnvelopeFramer::append(const QString& received) {
    pending_.append(received);
    QStringList out;
    auto handOn = [&](qsizetype length) {
        out.append(pending_.left(length));
        pending_.remove(0, length);
        scanned_ = 0;
    };

    while (!pending_.isEmpty()) {
        const QStringView s(pending_);
        if (!opensEnvelope(s)) {
            qsizetype next = s.indexOf(kHeader, 1);
            if (next < 0) next = s.size();
            qsizetype run = 0;
            while (run < next && isBase64(s[run])) ++run;
            if (run > 0 && run < next) {
                // Base64 first may be the rest of an envelope TCP cut: it ends
                // with its Base64, as an envelope does.
                for (int pad = 0; pad < 2 && run < next && s[run] == u'='; ++pad) ++run;
                while (run < next && isLineSpace(s[run])) ++run;
                next = run;
            } else if (next == s.size()) {
                // A header may begin in the last characters after text that is
                // no Base64: they wait for the rest of the read.
                for (qsizetype p = qMax<qsizetype>(1, s.size() - kHeader.size() + 1); p < s.size();
                     ++p) {
                    if (!isBase64(s[p - 1]) && QStringView(kHeader).startsWith(s.mid(p))) {
                        next = p;
                        break;
                    }
                }
            }
            // No header: all of it is deciphered, so a piece of this many
            // characters deciphers to at most a 1 MiB message.
            constexpr qsizetype kMaxPlain = kMaxMessageBytes / 3 * 4;
            handOn(qMin(next, kMaxPlain));
            continue;
        }

        // The Base64 body, resuming where the last read left off.
        qsizetype body = scanned_;
        while (body < s.size() && isBase64(s[body])) ++body;

        // A later header at a multiple of 4 that lies within the body starts the next envelope.
        qsizetype cut = -1;
        qsizetype from = qMax<qsizetype>(4, scanned_ - kHeader.size() + 1);
        from = (from + 3) / 4 * 4;
        for (qsizetype k = from; k + kHeader.size() <= body; k += 4) {
            if (s.mid(k, kHeader.size()) == kHeader) {
                cut = k;
                break;
            }
        }
        if (cut > 0) {
            handOn(cut);
            continue;
        }

        qsizetype end = body;
        while (end < s.size() && end - body < 2 && s[end] == u'=') ++end;
        if (end < s.size()) {  // the body is over: this envelope is complete
            while (end < s.size() && isLineSpace(s[end])) ++end;
            handOn(end);
            continue;
        }
        const bool padded = end - body == 2;
        if ((s.size() % 4 != 0 || s.size() < kMinEnvelope) && !padded) {
            scanned_ = body;
            break;  // cannot be whole yet: wait for the rest
        }
        handOn(s.size());
    }

    if (pending_.size() > kMaxEnvelope) handOn(pending_.size());
    return out;
}

QStringList EnvelopeFramer::flush() {
    QStringList out;
    if (!pending_.isEmpty()) out.append(pending_);
    clear();
    return out;
}

}  // namespace zv

namespace zv {

bool EnvelopeFramer::mayContinue(QStringView piece) {
    if (!piece.startsWith(kHeader)) return false;
    for (QChar c : piece)
        if (!isBase64(c)) return false;
    return true;
}

bool EnvelopeFramer::isEnvelope(QStringView text) {
    if (text.size() < kMinEnvelope || text.size() % 4 != 0 || !text.startsWith(kHeader))
        return false;
    qsizetype body = text.size();
    while (body > text.size() - 2 && text[body - 1] == u'=') --body;
    for (qsizetype i = 0; i < body; ++i)
        if (!isBase64(text[i])) return false;
    return true;
}

bool EnvelopeFramer::continuesEnvelope(QStringView piece) {
    if (piece.isEmpty() || piece.startsWith(kHeader)) return false;
    qsizetype end = piece.size();
    while (end > 0 && isLineSpace(piece[end - 1])) --end;
    for (int pad = 0; pad < 2 && end > 0 && piece[end - 1] == u'='; ++pad) --end;
    if (end == 0) return false;
    for (qsizetype i = 0; i < end; ++i)
        if (!isBase64(piece[i])) return false;
    return true;
}

}  // namespace zv
