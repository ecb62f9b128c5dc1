// The keystream engine against OpenSSL's own AES-CTR, PBKDF2 and HMAC.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <numeric>

#include "cipher/engine.h"

namespace zv {
namespace {

Bytes Hex(std::string_view Text) {
    Bytes Out;
    for (std::size_t i = 0; i + 1 < Text.size(); i += 2)
        Out.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(Text.substr(i, 2)), nullptr, 16)));
    return Out;
}

Bytes Counting(std::size_t Size, std::uint8_t First = 0) {
    Bytes Out(Size);
    std::iota(Out.begin(), Out.end(), First);
    return Out;
}

// OpenSSL's AES-CTR of Data: key = the first K bytes of Material (K = 16 or
// 32), initial counter block = the 16 bytes after it.
Bytes OpenSslCtr(Bytes Data, ByteView Material, std::size_t K = 32) {
    EvpCipherCtxPtr Ctx(EVP_CIPHER_CTX_new());
    int Written = 0;
    EXPECT_TRUE(EVP_EncryptInit_ex2(Ctx.get(), K == 16 ? EVP_aes_128_ctr() : EVP_aes_256_ctr(),
                                    Material.data(), Material.data() + K, nullptr));
    EXPECT_TRUE(EVP_EncryptUpdate(Ctx.get(), Data.data(), &Written, Data.data(),
                                  static_cast<int>(Data.size())));
    return Data;
}

Bytes Crypt(Bytes Data, ByteView Pass, std::optional<ByteView> Salt, ByteView RawKey,
            int KeyLength = 0) {
    std::string ErrorText;
    EXPECT_TRUE(CryptBytes(Data, Pass, Salt, RawKey, KeyLength, ErrorText)) << ErrorText;
    return Data;
}

// The 128-bit counter carries from W3 through W2 and W1 into W0 and wraps.
TEST(CipherEngine, CounterMatchesOpenSslCtrAcrossCarries) {
    for (const char* Counter : {
             "000102030405060708090A0B0C0D0E0F",  // no carry
             "00000000000000000000000FFFFFFFFE",  // W3 into W2
             "00000000FFFFFFFFFFFFFFFFFFFFFFFD",  // W3 through W2 and W1 into W0
             "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",  // all ones wrap to all zeros
         })
        for (std::size_t Size : {0, 1, 16, 17, 80}) {
            Bytes Material = Counting(32, 0x40);
            const Bytes Iv = Hex(Counter);
            Material.insert(Material.end(), Iv.begin(), Iv.end());
            EXPECT_EQ(OpenSslCtr(Counting(Size), Material),
                      Crypt(Counting(Size), {}, ByteView{}, Material))
                << Counter << " size " << Size;
        }
}

TEST(CipherEngine, KeyMaterialFromPbkdf2OrRawKeyAndKeyLength) {
    const Bytes Data = Counting(40);
    const auto Derived = [](std::string_view Pass, std::string_view Salt) {
        Bytes Material(48);
        EXPECT_TRUE(PKCS5_PBKDF2_HMAC(Pass.data(), static_cast<int>(Pass.size()),
                                      AsBytes(Salt).data(), static_cast<int>(Salt.size()), 10000,
                                      EVP_sha512(), 48, Material.data()));
        return Material;
    };
    Bytes Padded = Counting(20);
    Padded.resize(48);
    const struct {
        Bytes Material;
        Bytes Got;
    } Cases[] = {
        {Derived("pw", "saltsalt"), Crypt(Data, AsBytes("pw"), AsBytes("saltsalt"), {})},
        {Derived("pw", ""), Crypt(Data, AsBytes("pw"), ByteView{}, {})},
        {Derived("", "saltsalt"), Crypt(Data, {}, AsBytes("saltsalt"), {})},
        // Salt absent: the pass phrase serves as the salt.
        {Derived("pw", "pw"), Crypt(Data, AsBytes("pw"), std::nullopt, {})},
        // A pass phrase or salt overrides the raw key; without both nothing is derived.
        {Derived("pw", "pw"), Crypt(Data, AsBytes("pw"), std::nullopt, Counting(48))},
        {Bytes(48), Crypt(Data, {}, ByteView{}, {})},
        {Counting(48), Crypt(Data, {}, ByteView{}, Counting(60))},      // cut
        {Padded, Crypt(Data, {}, ByteView{}, Counting(20))},            // zero-padded
        {Counting(48), Crypt(Data, {}, ByteView{}, Counting(48), -5)},  // 0 or less: 32
    };
    for (std::size_t i = 0; i < std::size(Cases); ++i)
        EXPECT_EQ(OpenSslCtr(Data, Cases[i].Material), Cases[i].Got) << "case " << i;
    EXPECT_EQ(OpenSslCtr(Data, Counting(48), 16), Crypt(Data, {}, ByteView{}, Counting(48), 16));
    // Lengths AES refuses fail with OpenSSL's reason and code.
    for (int K : {20, 1000000}) {
        Bytes Changed = Data;
        std::string ErrorText;
        EXPECT_FALSE(CryptBytes(Changed, {}, ByteView{}, Counting(48), K, ErrorText));
        EXPECT_EQ("invalid key length &H3000082", ErrorText);
    }
}

TEST(CipherEngine, StretchesOfAnySizeEqualOneStretch) {
    const Bytes Material = Counting(48, 3), Whole = Counting(70);
    Bytes Key = Material, Pieces = Whole;
    CipherContext Ctx;
    ASSERT_TRUE(InitCipherContext(Ctx, {}, {}, Key, 0));
    std::span<std::uint8_t> Rest(Pieces);
    for (std::size_t Size : {5, 11, 0, 1, 31, 22}) {
        ASSERT_TRUE(CryptChunk(Ctx, Rest.first(Size), false, false));
        Rest = Rest.subspan(Size);
    }
    EXPECT_EQ(OpenSslCtr(Whole, Material), Pieces);
}

// A digest of 16 or 40 bytes over the input (first byte 0) or the output.
TEST(CipherEngine, DigestCoversInputOrOutput) {
    const Bytes Material = Counting(48, 100), Plain = Counting(50);
    const Bytes Cipher = Crypt(Plain, {}, ByteView{}, Material);
    const auto Hmac = [&](const Bytes& Over, std::size_t Size) {  // keyed with bytes 16..47
        Bytes Mac(32);
        std::size_t Written = 0;
        EXPECT_TRUE(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, Material.data() + 16, 32,
                              Over.data(), Over.size(), Mac.data(), Mac.size(), &Written));
        Mac.resize(Size);  // cut, or zero-padded beyond 32
        return Mac;
    };
    for (std::size_t Size : {16, 40})
        for (std::uint8_t First : {0, 1, 7}) {
            Bytes Data = Plain, Digest(Size, 0xAA);
            Digest[0] = First;
            std::string ErrorText;
            ASSERT_TRUE(CryptBytes(Data, {}, ByteView{}, Material, 0, ErrorText, Digest));
            EXPECT_EQ(Cipher, Data);
            EXPECT_EQ(Hmac(First ? Cipher : Plain, Size), Digest) << Size << " " << int(First);
        }
}

TEST(CipherEngine, MissingAlgorithmsAreUnsupported) {
    OSSL_LIB_CTX* Library = OSSL_LIB_CTX_new();
    OSSL_PROVIDER* Null = OSSL_PROVIDER_load(Library, "null");  // provides no algorithms
    Bytes Data = Counting(4);
    std::string ErrorText;
    EXPECT_FALSE(
        CryptBytes(Data, AsBytes("pw"), std::nullopt, {}, 0, ErrorText, std::nullopt, Library));
    EXPECT_EQ("Unsupported encryption", ErrorText);
    OSSL_PROVIDER_unload(Null);
    OSSL_LIB_CTX_free(Library);
}

}  // namespace
}  // namespace zv
