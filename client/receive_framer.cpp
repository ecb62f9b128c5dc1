#include "client/receive_framer.h"

namespace zv::client {

namespace {

const QString kHeader = QStringLiteral("U2FsdGVkX1");  // Base64 of "Salted__", first 60 bits
constexpr qsizetype kMinEnvelope = 24;                 // 16 header bytes, empty message

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

bool isEnvelope(QStringView text) {
    if (text.size() < kMinEnvelope || text.size() % 4 != 0 || !text.startsWith(kHeader))
        return false;
    qsizetype body = text.size();
    while (body > text.size() - 2 && text[body - 1] == u'=') --body;
    for (qsizetype i = 0; i < body; ++i)
        if (!isBase64(text[i])) return false;
    return true;
}

QStringList ReceiveFramer::append(const QByteArray& received) {
    QString text = held_ + QString::fromLatin1(received);
    held_.clear();
    QStringList out = framer_.append(text);
    // Nothing pending means the last piece ended exactly where this read did.
    if (framer_.pending() == 0 && !out.isEmpty() && mayContinue(out.last())) held_ = out.takeLast();
    return out;
}

QStringList ReceiveFramer::flush() {
    QStringList out;
    if (!held_.isEmpty()) out.append(held_);
    held_.clear();
    out.append(framer_.flush());
    return out;
}

}  // namespace zv::client
