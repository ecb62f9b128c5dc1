#include "support/held_envelope_framer.h"

namespace zv::test {

namespace {

const QString kHeader = QStringLiteral("U2FsdGVkX1");  // Base64 of "Salted__", first 60 bits

bool isBase64(QChar c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
           c == u'+' || c == u'/';
}

// An unpadded envelope cut at a quad could be followed by more of itself.
bool mayContinue(QStringView piece) {
    if (!piece.startsWith(kHeader) || piece.size() > EnvelopeFramer::kMaxPending) return false;
    for (QChar c : piece)
        if (!isBase64(c)) return false;
    return true;
}

}  // namespace

QStringList HeldEnvelopeFramer::append(const QByteArray& received) {
    QString text = held_ + QString::fromLatin1(received);
    held_.clear();
    QStringList out = framer_.append(text);
    // Nothing pending means the last piece ended exactly where this read did.
    if (framer_.pending() == 0 && !out.isEmpty() && mayContinue(out.last())) held_ = out.takeLast();
    return out;
}

QStringList HeldEnvelopeFramer::flush() {
    QStringList out;
    if (!held_.isEmpty()) out.append(held_);
    held_.clear();
    out.append(framer_.flush());
    return out;
}

}  // namespace zv::test
