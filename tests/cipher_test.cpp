// The message cipher: conversions, the keystream engine against OpenSSL's own
// AES-CTR, PBKDF2 and HMAC, and envelopes against the real openssl command.
#include <openssl/evp.h>

#include <numeric>

#include "cipher/codec.h"
#include "cipher/engine.h"
#include "cipher/envelope.h"
#include "cipher/error.h"
#include "cipher/pbkdf2.h"
#include "support/openssl_cli.h"

namespace zv {
namespace {

#define FFFD "\xEF\xBF\xBD"

std::string Str(const Bytes& B) {
    return std::string(B.begin(), B.end());
}
// Size bytes First, First+1, ...
Bytes Counting(std::size_t Size, std::uint8_t First = 0) {
    Bytes Out(Size);
    std::iota(Out.begin(), Out.end(), First);
    return Out;
}
std::string Pattern(std::size_t Size) {  // no period of 2
    std::string S;
    for (std::size_t i = 0; i < Size; ++i) S.push_back(char(i * 7 + 1));
    return S;
}
// OpenSSL's AES-CTR of Data: key = the first K bytes of Material, initial
// counter block = the 16 after it.
Bytes OpenSslCtr(Bytes Data, ByteView Material, std::size_t K = 32) {
    EvpCipherCtxPtr Ctx(EVP_CIPHER_CTX_new());
    int Written = 0;
    EXPECT_TRUE(EVP_EncryptInit_ex2(Ctx.get(), K == 16 ? EVP_aes_128_ctr() : EVP_aes_256_ctr(),
                                    Material.data(), Material.data() + K, nullptr) &&
                EVP_EncryptUpdate(Ctx.get(), Data.data(), &Written, Data.data(), int(Data.size())));
    return Data;
}
Bytes Pbkdf2(std::string_view Pass, std::string_view Salt, int Iterations = 10000,
             int Length = 48) {
    Bytes Out(Length);
    EXPECT_TRUE(PKCS5_PBKDF2_HMAC(Pass.data(), int(Pass.size()), AsBytes(Salt).data(),
                                  int(Salt.size()), Iterations, EVP_sha512(), Length, Out.data()));
    return Out;
}
Bytes Crypt(Bytes Data, ByteView Pass, std::optional<ByteView> Salt, ByteView RawKey,
            int KeyLength = 0) {
    std::string ErrorText;
    EXPECT_TRUE(CryptBytes(Data, Pass, Salt, RawKey, KeyLength, ErrorText)) << ErrorText;
    return Data;
}

TEST(Cipher, Utf8AndBase64) {
    // clang-format off
    const std::pair<std::string_view, std::string_view> Utf8[] = {
        {"A\u00e4\u6771\U0001F600", "A\u00e4\u6771\U0001F600"}, {"", ""}, {{"a\0b", 3}, {"a\0b", 3}},
        {"\x80", FFFD}, {"\xC0\xAF", FFFD FFFD}, {"\xE0\x80\xAF", FFFD FFFD FFFD},  // stray, overlong
        {"\xED\xA0\x80", FFFD FFFD FFFD}, {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // D800, > 10FFFF
        {"\xE2\x82", FFFD}, {"\xE2\x82Z", FFFD "Z"}, {"\xFF\xFE", FFFD FFFD}};     // truncated, invalid
    const std::pair<std::string_view, std::string_view> Base64[] = {{"", ""}, {"f", "Zg=="},
        {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {{"\xFF\xFE\x00", 3}, "//4A"}};
    // clang-format on
    for (const auto& [In, Out] : Utf8) EXPECT_EQ(Out, DecodeUtf8(AsBytes(In))) << In;
    for (const auto& [Data, Text] : Base64) {
        EXPECT_EQ(Text, EncodeBase64(AsBytes(Data)));
        EXPECT_EQ(Data, Str(DecodeBase64(Text))) << Text;
    }
    EXPECT_EQ(std::string(136, 'A'), EncodeBase64(Bytes(102)));  // one line, no CR LF
}

// The 128-bit counter carries from W3 through W2 and W1 into W0 and wraps.
TEST(Cipher, EngineCounterMatchesOpenSslCtr) {
    for (const char* Hex : {"000102030405060708090A0B0C0D0E0F", "00000000000000000000000FFFFFFFFE",
                            "00000000FFFFFFFFFFFFFFFFFFFFFFFD", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"})
        for (std::size_t Size : {0, 1, 16, 17, 80}) {
            Bytes Material = Counting(32, 0x40);
            for (int i = 0; i < 32; i += 2)
                Material.push_back(std::uint8_t(std::stoi(std::string(Hex + i, 2), nullptr, 16)));
            EXPECT_EQ(OpenSslCtr(Counting(Size), Material),
                      Crypt(Counting(Size), {}, ByteView{}, Material))
                << Hex << Size;
        }
}

// Key and counter block from PBKDF2 over pass phrase and salt; without a
// salt the pass phrase serves as one; without either nothing is derived.
TEST(Cipher, EngineKeyMaterialFromPbkdf2) {
    const Bytes Data = Counting(40), Pw = Bytes{'p', 'w'};
    // clang-format off
    const std::pair<Bytes, Bytes> Cases[] = {
        {Pbkdf2("pw", "saltsalt"), Crypt(Data, Pw, AsBytes("saltsalt"), {})}, {Pbkdf2("pw", ""), Crypt(Data, Pw, ByteView{}, {})},
        {Pbkdf2("", "saltsalt"), Crypt(Data, {}, AsBytes("saltsalt"), {})}, {Pbkdf2("pw", "pw"), Crypt(Data, Pw, std::nullopt, {})},
        {Pbkdf2("pw", "pw"), Crypt(Data, Pw, std::nullopt, Counting(48))}, {Bytes(48), Crypt(Data, {}, ByteView{}, {})}};
    // clang-format on
    for (const auto& [Material, Got] : Cases) EXPECT_EQ(OpenSslCtr(Data, Material), Got);
}

// Pass phrases and salts shorter than, equal to and longer than one 128-byte
// block; outputs across the 64-byte block of SHA-512; alone, and in batches of
// vector lanes that mix them, where a cancelled job fails alone and frees its
// lane for a job that then runs behind the others (batches of 13).
TEST(Cipher, FastPbkdf2EqualsOpenSsl) {
    const std::string Passes[] = {std::string(), "secret", Pattern(128), Pattern(129)};
    const std::string Salts[] = {std::string(), "\1\2\3\4\5\6\7\x08", Pattern(200)};
    const int Lengths[] = {1, 48, 64, 65, 130};
    const std::atomic<bool> Cancelled{true};
    for (int Iterations : {1, 2, 1000}) {
        for (const std::string& Pass : Passes)
            for (const std::string& Salt : Salts)
                for (int Length : Lengths) {
                    Bytes Out(Length);
                    ASSERT_TRUE(Pbkdf2Sha512(AsBytes(Pass), AsBytes(Salt), Iterations, Out));
                    EXPECT_EQ(Pbkdf2(Pass, Salt, Iterations, Length), Out)
                        << Pass.size() << " " << Salt.size();
                }
        for (std::size_t Size = 1; Size <= 13; ++Size) {
            std::vector<Bytes> Outs;
            std::vector<Pbkdf2Job> Jobs;
            for (std::size_t i = 0; i < Size; ++i) Outs.emplace_back(Lengths[i % 5]);
            for (std::size_t i = 0; i < Size; ++i)
                Jobs.push_back({AsBytes(Passes[i % 4]), AsBytes(Salts[i % 3]), Outs[i],
                                i == 1 && Iterations > 256 ? &Cancelled : nullptr});
            Pbkdf2Sha512Batch(Jobs, Iterations);
            for (std::size_t i = 0; i < Size; ++i)
                EXPECT_EQ(Jobs[i].cancel
                              ? Bytes()
                              : Pbkdf2(Passes[i % 4], Salts[i % 3], Iterations, Lengths[i % 5]),
                          Jobs[i].ok ? Outs[i] : Bytes())
                    << "job " << i << " of " << Size;
        }
    }
    Bytes Out(48);
    EXPECT_FALSE(Pbkdf2Sha512(AsBytes("pw"), AsBytes("salt"), 0, Out));
}

TEST(Cipher, EnvelopesInteroperateWithOpenSslBothWays) {
    const std::pair<std::string, std::string> Cases[] = {
        {"HELLO\r\n", "secret"},
        {"Gr\u00fc\u00dfe \u6771\u4eac \U0001F600", "p\u00e4ss"},
        {"", "secret"},
        {std::string(300, 'L') + "\r\n\u20ac", "a much longer pass phrase with blanks in it"},
        {"no pass phrase", ""},
        {"ResetNow", "QJ7X KD Wander"}};  // the stored form of the pass phrase
    for (const auto& [Text, Pass] : Cases) {
        const QByteArray Plain = QByteArray::fromStdString(Text);
        const QString Phrase = QString::fromStdString(Pass);
        EXPECT_EQ(Plain,
                  test::opensslDecrypt(QByteArray::fromStdString(EncryptText(Text, Pass)), Phrase));
        EXPECT_EQ(Text, DecryptText(test::opensslEncrypt(Plain, Phrase).toStdString(), Pass));
    }
}

TEST(Cipher, EnvelopeKnownAnswerLengthsSaltsAndFailures) {
    const RandomSource Fixed = [](std::span<std::uint8_t> Out, std::string&) {
        return std::iota(Out.begin(), Out.end(), std::uint8_t(1)), true;
    };
    EXPECT_EQ("U2FsdGVkX18BAgMEBQYHCM87LPii0eM=", EncryptText("HELLO\r\n", "secret", Fixed));
    EXPECT_EQ("HELLO\r\n", DecryptText("U2FsdGVkX18BAgMEBQYHCM87LPii0eM=", "secret"));
    try {
        EncryptText("text", "secret", [](std::span<std::uint8_t>, std::string& E) {
            return E = "no entropy &H1", false;
        });
        ADD_FAILURE() << "no error raised";
    } catch (const Error& E) {
        EXPECT_EQ(std::pair(errc::CipherFailure, std::string("no entropy &H1")),
                  std::pair(E.number(), E.description()));
    }
    for (const auto& [N, Chars] :
         {std::pair<int, std::size_t>{0, 24}, {1, 24}, {2, 24}, {3, 28}, {32, 64}}) {
        const std::string Envelope = EncryptText(std::string(N, 'x'), "pw");
        EXPECT_EQ(Chars, Envelope.size()) << N;
        EXPECT_EQ(0u, Envelope.rfind("U2FsdGVkX1", 0));
        EXPECT_EQ(EncodeBase64(DecodeBase64(Envelope)), Envelope);  // one line of Base64
    }
    const std::string Long(200, 'L'), First = EncryptText(Long, "pw");
    EXPECT_NE(First, EncryptText(Long, "pw"));  // a fresh salt every time
    EXPECT_EQ(Long, DecryptText(First, "pw"));
    EXPECT_EQ("quiet", DecryptText(EncryptText("quiet"), ""));  // absent: an empty pass phrase
    EXPECT_EQ(0u, EncryptText("quiet").rfind("U2FsdGVkX1", 0));
    // Bad input returns without error: valid UTF-8, not the text.
    const std::string Headless = EncodeBase64(ByteView(DecodeBase64(First)).subspan(16));
    for (const std::string& Source :
         {std::string("!!!!"), std::string("U2Fs*dGVk"), std::string("===="), First.substr(0, 10),
          First.substr(0, 20), First.substr(0, 22), Headless, std::string("\xFF\xFE x"), First}) {
        std::string Text;
        ASSERT_NO_THROW(Text = DecryptText(Source, "wrong")) << Source;
        EXPECT_EQ(Text, DecodeUtf8(AsBytes(Text))) << Source;
        EXPECT_NE(Long, Text);
    }
    EXPECT_EQ("", DecryptText("", "pw"));
    EXPECT_EQ("", DecryptText(EncryptText("", "pw"), "pw"));  // header alone
    EXPECT_EQ(Long.substr(0, 32),
              DecryptText(First.substr(0, 24 + 40), "pw"));  // counter mode: the start
}

}  // namespace
}  // namespace zv
