#pragma once
// Checks of the fuzz targets: a property that breaks prints what broke and
// aborts, so libFuzzer keeps the input that broke it.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(cond) ((cond) ? void(0) : ::zv::fuzz::fail(#cond, __FILE__, __LINE__))

namespace zv::fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

// Well-formed UTF-8 (Unicode table 3-7): no overlong forms, no surrogates,
// nothing beyond U+10FFFF, no truncated sequence.
inline bool isUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
        const unsigned char c = byte(0);
        std::size_t n = 4;                   // bytes of this character
        unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
        if (c < 0x80) {
            n = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            if (c == 0xE0) lo = 0xA0;  // overlong below
            if (c == 0xED) hi = 0x9F;  // surrogates above
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (c == 0xF0) lo = 0x90;  // overlong below
            if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF above
        } else {
            return false;
        }
        if (i + n > s.size()) return false;
        if (n > 1 && (byte(1) < lo || byte(1) > hi)) return false;
        for (std::size_t k = 2; k < n; ++k)
            if ((byte(k) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

}  // namespace zv::fuzz
