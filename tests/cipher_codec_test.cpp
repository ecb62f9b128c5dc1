// UTF-8 and Base64 conversions: tables of edge cases.
#include <gtest/gtest.h>

#include "cipher/codec.h"

namespace zv {
namespace {

std::string Str(const Bytes& B) {
    return std::string(B.begin(), B.end());
}

#define FFFD "\xEF\xBF\xBD"

TEST(CipherCodec, DecodeUtf8ReplacesEachIllFormedPart) {
    const struct {
        std::string_view In, Out;
    } Cases[] = {
        {"", ""},
        {"A\u00e4\u6771\U0001F600", "A\u00e4\u6771\U0001F600"},
        {"\x80", FFFD},                             // stray continuation byte
        {"\xC0\xAF", FFFD FFFD},                    // overlong "/"
        {"\xE0\x80\xAF", FFFD FFFD FFFD},           // overlong, three bytes
        {"\xED\xA0\x80", FFFD FFFD FFFD},           // surrogate D800
        {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // beyond U+10FFFF
        {"\xE2\x82", FFFD},                         // truncated at the end
        {"\xE2\x82Z", FFFD "Z"},                    // truncated in the middle
        {"\xF0\x9F\x98", FFFD},
        {"\xFF\xFE", FFFD FFFD},
        {std::string_view("a\0b", 3), std::string_view("a\0b", 3)},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(C.Out, DecodeUtf8(AsBytes(C.In))) << testing::PrintToString(C.In);
}

// Both ways where `Both`; otherwise decoding only: CR and LF are skipped,
// decoding stops at the first character that is not Base64.
TEST(CipherCodec, Base64) {
    const struct {
        std::string_view Bytes, Text;
        bool Both;
    } Cases[] = {
        {"", "", true},
        {"f", "Zg==", true},
        {"fo", "Zm8=", true},
        {"foo", "Zm9v", true},
        {"foobar", "Zm9vYmFy", true},
        {std::string_view("\xFF\xFE\x00", 3), "//4A", true},
        {"foobar", "Zm9v\r\nYmFy\r\n", false},
        {"foobar", "Zm\n9vYmFy", false},
        {"foo", "Zm9v!YmFy", false},
        {"foob", "Zm9vYg==Zm9v", false},
        {"foo", "Zm9vY", false},
        {"f", "Zg", false},
        {"", "====", false},
        {"", "\xC3\xA4Zm9v", false},
        {"", " Zm9v", false},
    };
    for (const auto& C : Cases) {
        if (C.Both) EXPECT_EQ(C.Text, EncodeBase64(AsBytes(C.Bytes)));
        EXPECT_EQ(C.Bytes, Str(DecodeBase64(C.Text))) << C.Text;
    }
    EXPECT_EQ(std::string(136, 'A'), EncodeBase64(Bytes(102)));  // one line, no CR LF
}

}  // namespace
}  // namespace zv
