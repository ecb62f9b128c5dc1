// UTF-8 and Base64 conversions: tables of edge cases.
#include <gtest/gtest.h>

#include "cipher/codec.h"

namespace zv {
namespace {

std::string Decode(std::string_view Bytes) {
    return DecodeUtf8(AsBytes(Bytes));
}

#define FFFD "\xEF\xBF\xBD"

TEST(CipherCodec, DecodeUtf8ReplacesEachIllFormedPart) {
    const struct {
        std::string_view In, Out;
    } Cases[] = {
        {"", ""},
        {"A\xC3\xA4\xE6\x9D\xB1\xF0\x9F\x98\x80", "A\xC3\xA4\xE6\x9D\xB1\xF0\x9F\x98\x80"},
        {"\x80", FFFD},                             // stray continuation byte
        {"\xC0\xAF", FFFD FFFD},                    // overlong "/"
        {"\xE0\x80\xAF", FFFD FFFD FFFD},           // overlong, three bytes
        {"\xED\xA0\x80", FFFD FFFD FFFD},           // surrogate D800
        {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // beyond U+10FFFF
        {"\xE2\x82", FFFD},                         // truncated at the end
        {"\xE2\x82"
         "A",
         FFFD "A"},  // truncated in the middle
        {"\xF0\x9F\x98", FFFD},
        {"\xFF\xFE", FFFD FFFD},
        {std::string_view("a\0b", 3), std::string_view("a\0b", 3)},
    };
    for (const auto& C : Cases) EXPECT_EQ(C.Out, Decode(C.In)) << testing::PrintToString(C.In);
}

TEST(CipherCodec, Base64BothWays) {
    const struct {
        std::string_view Bytes, Text;
    } Cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string_view("\xFF\xFE\x00", 3), "//4A"},
    };
    for (const auto& C : Cases) {
        EXPECT_EQ(C.Text, EncodeBase64(AsBytes(C.Bytes)));
        const Bytes Back = DecodeBase64(C.Text);
        EXPECT_EQ(C.Bytes,
                  std::string_view(reinterpret_cast<const char*>(Back.data()), Back.size()));
    }
    EXPECT_EQ(std::string(136, 'A'), EncodeBase64(Bytes(102)));  // one line, no CR LF
}

TEST(CipherCodec, DecodeBase64SkipsLineBreaksAndKeepsTheValidPrefix) {
    const struct {
        std::string_view Text, Bytes;
    } Cases[] = {
        {"Zm9v\r\nYmFy\r\n", "foobar"},
        {"Zm\n9vYmFy", "foobar"},
        {"Zm9v!YmFy", "foo"},
        {"Zm9vYg==Zm9v", "foob"},
        {"Zm9vY", "foo"},
        {"Zg", "f"},
        {"====", ""},
        {"\xC3\xA4Zm9v", ""},
        {" Zm9v", ""},
    };
    for (const auto& C : Cases) {
        const Bytes Out = DecodeBase64(C.Text);
        EXPECT_EQ(C.Bytes, std::string_view(reinterpret_cast<const char*>(Out.data()), Out.size()))
            << C.Text;
    }
}

}  // namespace
}  // namespace zv
