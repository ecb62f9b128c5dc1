#include "core/text_number.h"

#include <array>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "cipher/error.h"

namespace zv {

namespace {

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n';
}
bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

int digitValue(QChar c, int base) {
    int v = -1;
    if (c >= u'0' && c <= u'9')
        v = c.unicode() - u'0';
    else if (c >= u'a' && c <= u'f')
        v = c.unicode() - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
        v = c.unicode() - u'A' + 10;
    return v < base ? v : -1;
}

// A number read from the start of `s`: how many characters it took and its value.
struct Scan {
    qsizetype used = 0;  // 0: no number there
    double value = 0;
    bool overflow = false;
};

// "&H1F" / "&O17": unsigned digits in base 16 or 8.
Scan scanRadix(QStringView s) {
    Scan r;
    if (s.size() < 3 || s[0] != u'&') return r;
    const QChar p = s[1].toUpper();
    const int base = p == u'H' ? 16 : p == u'O' ? 8 : 0;
    if (base == 0) return r;
    qsizetype i = 2;
    double v = 0;
    for (; i < s.size() && digitValue(s[i], base) >= 0; ++i) v = v * base + digitValue(s[i], base);
    if (i == 2) return r;
    r.used = i;
    r.value = v;
    r.overflow = std::isinf(v);
    return r;
}

// Sign, digits, one decimal point, exponent (E or D, as stored numbers may carry).
Scan scanDecimal(QStringView s) {
    Scan r;
    std::string ascii;
    qsizetype i = 0;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        if (s[i] == u'-') ascii += '-';
        ++i;
    }
    qsizetype mantissa = 0;
    for (; i < s.size() && isDigit(s[i]); ++i, ++mantissa) ascii += char(s[i].unicode());
    if (i < s.size() && s[i] == u'.') {
        ascii += '.';
        ++i;
        for (; i < s.size() && isDigit(s[i]); ++i, ++mantissa) ascii += char(s[i].unicode());
    }
    if (mantissa == 0) return r;
    r.used = i;
    if (i < s.size() && (s[i].toUpper() == u'E' || s[i].toUpper() == u'D')) {
        qsizetype j = i + 1;
        std::string exponent = "e";
        if (j < s.size() && (s[j] == u'+' || s[j] == u'-')) exponent += char(s[j++].unicode());
        const qsizetype digits = j;
        for (; j < s.size() && isDigit(s[j]); ++j) exponent += char(s[j].unicode());
        if (j > digits) {
            ascii += exponent;
            r.used = j;
        }
    }
    const auto res = std::from_chars(ascii.data(), ascii.data() + ascii.size(), r.value);
    if (res.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone on range errors: tell huge from tiny.
        const bool huge = ascii.find('e') == std::string::npos || ascii[ascii.find('e') + 1] != '-';
        r.overflow = huge;
        r.value = huge ? (ascii[0] == '-' ? -HUGE_VAL : HUGE_VAL) : 0.0;
    }
    return r;
}

Scan scanNumber(QStringView s) {
    Scan r = scanRadix(s);
    return r.used > 0 ? r : scanDecimal(s);
}

[[noreturn]] void typeMismatch() {
    throw Error(errc::TypeMismatch, "Type mismatch");
}
[[noreturn]] void overflow() {
    throw Error(errc::Overflow, "Overflow");
}

template <typename Int>
Int toInteger(const QString& text) {
    // Default rounding mode: half to even, as the stored integers were always rounded.
    const double v = std::nearbyint(toDouble(text));
    if (v < double(std::numeric_limits<Int>::min()) || v > double(std::numeric_limits<Int>::max()))
        overflow();
    return static_cast<Int>(v);
}

}  // namespace

double leadingNumber(const QString& text) {
    QString packed;
    packed.reserve(text.size());
    for (const QChar c : text)
        if (!isBlank(c)) packed.append(c);
    return scanNumber(packed).value;
}

double toDouble(const QString& text) {
    const QStringView s = QStringView(text).trimmed();
    const Scan r = scanNumber(s);
    if (r.used == 0 || r.used != s.size()) typeMismatch();
    if (r.overflow) overflow();
    return r.value;
}

float toSingle(const QString& text) {
    const double v = toDouble(text);
    if (std::fabs(v) > double(FLT_MAX)) overflow();
    return static_cast<float>(v);
}

std::int16_t toInt16(const QString& text) {
    return toInteger<std::int16_t>(text);
}

std::int32_t toInt32(const QString& text) {
    return toInteger<std::int32_t>(text);
}

QString singleToText(float value) {
    if (value == 0.0f) return QStringLiteral("0");  // also -0
    std::array<char, 64> buf{};
    const float a = std::fabs(value);
    // Positions and sizes read best without an exponent; only extreme values get one.
    const auto res =
        (a >= 1e-4f && a < 1e15f)
            ? std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed)
            : std::to_chars(buf.data(), buf.data() + buf.size(), value);
    return QString::fromLatin1(buf.data(), res.ptr - buf.data());
}

}  // namespace zv
