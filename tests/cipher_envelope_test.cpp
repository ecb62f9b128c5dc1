// Envelopes against the real openssl command, known answers and bad input.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <optional>

#include "cipher/codec.h"
#include "cipher/envelope.h"
#include "cipher/error.h"

namespace zv {
namespace {

// `openssl enc <Direction> ...` on Input, both given in the environment (no
// quoting needed for blanks or non-ASCII); nullopt when it fails.
std::optional<std::string> OpenSslEnc(const char* Direction, const std::string& Input,
                                      const std::string& PassPhrase) {
    setenv("ZV_TEST_IN", Input.c_str(), 1);
    setenv("ZV_TEST_PASS", PassPhrase.c_str(), 1);
    FILE* Pipe = popen((std::string("printf %s \"$ZV_TEST_IN\" | openssl enc ") + Direction +
                        " -aes-256-ctr -pbkdf2 -md sha512 -iter 10000 -a -A"
                        " -pass env:ZV_TEST_PASS 2>/dev/null")
                           .c_str(),
                       "r");
    if (!Pipe) return std::nullopt;
    std::string Output;
    char Buffer[4096];
    for (std::size_t n; (n = fread(Buffer, 1, sizeof Buffer, Pipe)) > 0;) Output.append(Buffer, n);
    return pclose(Pipe) == 0 ? std::optional(Output) : std::nullopt;
}

bool IsValidUtf8(const std::string& Text) {
    return DecodeUtf8(AsBytes(Text)) == Text;
}

const std::string kLong = [] {
    std::string S;
    for (int i = 0; i < 20; ++i) S += "Line " + std::to_string(i) + " \xC3\xA4\xE2\x82\xAC\r\n";
    return S;
}();

TEST(CipherEnvelope, InteroperatesWithOpenSslBothWays) {
    const struct {
        std::string Text, PassPhrase;
    } Cases[] = {
        {"HELLO\r\n", "secret"},
        {"Gr\u00fc\u00dfe \u6771\u4eac \U0001F600", "p\u00e4ss"},
        {"", "secret"},
        {kLong, "a much longer pass phrase with blanks in it"},
        {"no pass phrase", ""},
        {"ResetNow", "QJ7X KD Wander"},  // the stored form of the pass phrase
    };
    for (const auto& C : Cases) {
        const std::string Ours = EncryptText(C.Text, C.PassPhrase);
        EXPECT_EQ(C.Text, OpenSslEnc("-d", Ours, C.PassPhrase)) << Ours;
        const auto Theirs = OpenSslEnc("-e", C.Text, C.PassPhrase);
        ASSERT_TRUE(Theirs) << C.Text;
        EXPECT_EQ(C.Text, DecryptText(*Theirs, C.PassPhrase)) << *Theirs;
    }
}

TEST(CipherEnvelope, InjectedSaltGivesTheKnownAnswerAndAFailingSourceRaises) {
    const RandomSource Fixed = [](std::span<std::uint8_t> Out, std::string&) {
        for (std::size_t i = 0; i < Out.size(); ++i) Out[i] = static_cast<std::uint8_t>(i + 1);
        return true;
    };
    EXPECT_EQ("U2FsdGVkX18BAgMEBQYHCM87LPii0eM=", EncryptText("HELLO\r\n", "secret", Fixed));
    EXPECT_EQ("HELLO\r\n", DecryptText("U2FsdGVkX18BAgMEBQYHCM87LPii0eM=", "secret"));
    const RandomSource Broken = [](std::span<std::uint8_t>, std::string& ErrorText) {
        ErrorText = "no entropy &H1";
        return false;
    };
    try {
        EncryptText("text", "secret", Broken);
        ADD_FAILURE() << "no error raised";
    } catch (const Error& E) {
        EXPECT_EQ(errc::CipherFailure, E.number());
        EXPECT_EQ("no entropy &H1", E.description());
    }
}

TEST(CipherEnvelope, LengthsFreshSaltsAbsentPassPhraseAndRawKey) {
    const struct {
        std::size_t Bytes, Chars;
    } Cases[] = {{0, 24}, {1, 24}, {2, 24}, {3, 28}, {32, 64}};
    for (const auto& C : Cases) {
        const std::string Envelope = EncryptText(std::string(C.Bytes, 'x'), "pw");
        EXPECT_EQ(C.Chars, Envelope.size()) << C.Bytes;
        EXPECT_EQ(0u, Envelope.rfind("U2FsdGVkX1", 0));
        EXPECT_EQ(std::string::npos, Envelope.find_first_of("\r\n"));
    }
    const std::string First = EncryptText(kLong, "pw"), Second = EncryptText(kLong, "pw");
    EXPECT_NE(First, Second);
    EXPECT_EQ(kLong, DecryptText(First, "pw"));
    EXPECT_EQ(kLong, DecryptText(Second, "pw"));

    const std::string Absent = EncryptText("quiet");
    EXPECT_EQ(0u, Absent.rfind("U2FsdGVkX1", 0));
    EXPECT_EQ("quiet", DecryptText(Absent));
    EXPECT_EQ("quiet", DecryptText(Absent, ""));

    const Bytes Key(48, 0x11);
    const std::string Raw = EncryptText("raw mode", Key);
    EXPECT_EQ(12u, Raw.size());                    // 8 bytes, no header
    EXPECT_EQ(Raw, EncryptText("raw mode", Key));  // no salt: the same every time
    EXPECT_EQ("raw mode", DecryptText(Raw, Key));
}

TEST(CipherEnvelope, BadInputReturnsWithoutError) {
    const std::string Envelope = EncryptText(kLong, "pw");
    const Bytes Whole = DecodeBase64(Envelope);
    const std::string Headless = EncodeBase64(ByteView(Whole).subspan(16));
    for (const std::string& Source :
         {std::string("!!!!"), std::string("U2Fs*dGVk"), std::string("===="),
          Envelope.substr(0, 10), Envelope.substr(0, 20), Envelope.substr(0, 22), Headless,
          std::string("\xFF\xFE garbage")}) {
        std::string Text;
        ASSERT_NO_THROW(Text = DecryptText(Source, "pw")) << Source;
        EXPECT_TRUE(IsValidUtf8(Text)) << Source;
    }
    EXPECT_EQ("", DecryptText("", "pw"));
    EXPECT_EQ("", DecryptText(EncryptText("", "pw"), "pw"));  // header alone
    const std::string Wrong = DecryptText(Envelope, "wrong");
    EXPECT_NE(kLong, Wrong);
    EXPECT_TRUE(IsValidUtf8(Wrong));
    // Counter mode: a cut envelope opens to the start of the text.
    EXPECT_EQ(kLong.substr(0, 32), DecryptText(Envelope.substr(0, 24 + 40), "pw"));
}

}  // namespace
}  // namespace zv
