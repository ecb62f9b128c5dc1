#include "stream/wire_bytes.h"

#include <cstring>

namespace zv {

namespace {
// The end of the run of ASCII bytes from `at`, eight bytes at a time.
qsizetype asciiEnd(QByteArrayView bytes, qsizetype at) {
    for (quint64 eight = 0; at + 8 <= bytes.size(); at += 8) {
        std::memcpy(&eight, bytes.data() + at, 8);
        if (eight & 0x8080808080808080u) break;
    }
    while (at < bytes.size() && quint8(bytes[at]) < 0x80) ++at;
    return at;
}
}  // namespace

QByteArray bytesAsText(const QByteArray& bytes) {
    if (asciiEnd(bytes, 0) == bytes.size()) return bytes;
    QByteArray text;
    text.reserve(bytes.size());
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype ascii = asciiEnd(bytes, at);
        text.append(bytes.sliced(at, ascii - at));
        for (at = ascii; at < bytes.size() && quint8(bytes[at]) >= 0x80; ++at) {
            const quint8 b = quint8(bytes[at]);
            text.append(char(0xC0 | b >> 6)).append(char(0x80 | (b & 0x3F)));
        }
    }
    return text;
}

QByteArray textAsBytes(const QByteArray& utf8) {
    if (asciiEnd(utf8, 0) == utf8.size()) return utf8;
    QByteArray bytes;
    bytes.reserve(utf8.size());
    for (qsizetype at = 0; at < utf8.size();) {
        const qsizetype ascii = asciiEnd(utf8, at);
        bytes.append(utf8.sliced(at, ascii - at));
        at = ascii;
        if (at == utf8.size()) break;
        const quint8 lead = quint8(utf8[at]);
        const qsizetype length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if ((lead == 0xC2 || lead == 0xC3) && at + 1 < utf8.size())  // U+0080 to U+00FF
            bytes.append(char((lead & 0x03) << 6 | (quint8(utf8[at + 1]) & 0x3F)));
        else
            bytes.append(length == 4 ? "??" : "?");  // UTF-16 units without a byte
        at += length;
    }
    return bytes;
}

}  // namespace zv
