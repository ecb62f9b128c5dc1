#include "client/envelope_check.h"

#include <QString>

namespace zv::client {

namespace {
const QString kHeader = QStringLiteral("U2FsdGVkX1");  // Base64 of "Salted__", first 60 bits
constexpr qsizetype kMinEnvelope = 24;                 // 16 header bytes, empty message

bool isBase64(QChar c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
           c == u'+' || c == u'/';
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

}  // namespace zv::client
