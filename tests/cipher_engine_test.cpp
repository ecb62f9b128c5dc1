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

// OpenSSL's AES-CTR (K = 16 or 32) of Data under Key and initial counter block Iv.
Bytes OpenSslCtr(Bytes Data, ByteView Key, ByteView Iv) {
    const EVP_CIPHER* Cipher = Key.size() == 16 ? EVP_aes_128_ctr() : EVP_aes_256_ctr();
    EvpCipherCtxPtr Ctx(EVP_CIPHER_CTX_new());
    int Written = 0;
    EXPECT_TRUE(EVP_EncryptInit_ex2(Ctx.get(), Cipher, Key.data(), Iv.data(), nullptr));
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

TEST(CipherEngine, StepCounterWordCarriesOnlyOnWrap) {
    const struct {
        const char *In, *Out;
        bool Carry;
    } Cases[] = {
        {"00000000", "00000001", false}, {"000000FF", "00000100", false},
        {"00FFFFFF", "01000000", false}, {"FFFFFFFE", "FFFFFFFF", false},
        {"FFFFFFFF", "00000000", true},
    };
    for (const auto& C : Cases) {
        Bytes Word = Hex(C.In);
        EXPECT_EQ(C.Carry, StepCounterWord(std::span<std::uint8_t, 4>(Word.data(), 4))) << C.In;
        EXPECT_EQ(Hex(C.Out), Word) << C.In;
    }
}

TEST(CipherEngine, CounterMatchesOpenSslCtrAcrossCarries) {
    const char* Counters[] = {
        "000102030405060708090A0B0C0D0E0F",  // no carry
        "00000000000000000000000FFFFFFFFE",  // W3 into W2
        "00000000FFFFFFFFFFFFFFFFFFFFFFFD",  // W3 through W2 and W1 into W0
        "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",  // all ones wrap to all zeros
    };
    const Bytes Key = Counting(32, 0x40);
    for (const char* Counter : Counters)
        for (std::size_t Size : {0, 1, 16, 17, 80}) {
            Bytes RawKey = Key;
            const Bytes Iv = Hex(Counter);
            RawKey.insert(RawKey.end(), Iv.begin(), Iv.end());
            EXPECT_EQ(OpenSslCtr(Counting(Size), Key, Iv),
                      Crypt(Counting(Size), {}, ByteView{}, RawKey))
                << Counter << " size " << Size;
        }
}

TEST(CipherEngine, KeyMaterialComesFromPbkdf2OrRawKey) {
    const Bytes Data = Counting(40);
    const auto Derived = [](std::string_view Pass, std::string_view Salt) {
        Bytes Material(48);
        EXPECT_TRUE(PKCS5_PBKDF2_HMAC(Pass.data(), static_cast<int>(Pass.size()),
                                      AsBytes(Salt).data(), static_cast<int>(Salt.size()), 10000,
                                      EVP_sha512(), 48, Material.data()));
        return Material;
    };
    const auto Expect = [&](ByteView Material) {
        return OpenSslCtr(Data, Material.first(32), Material.subspan(32, 16));
    };
    EXPECT_EQ(Expect(Derived("pw", "saltsalt")),
              Crypt(Data, AsBytes("pw"), AsBytes("saltsalt"), {}));
    EXPECT_EQ(Expect(Derived("pw", "")), Crypt(Data, AsBytes("pw"), ByteView{}, {}));
    EXPECT_EQ(Expect(Derived("", "saltsalt")), Crypt(Data, {}, AsBytes("saltsalt"), {}));
    // Salt absent: the pass phrase serves as the salt.
    EXPECT_EQ(Expect(Derived("pw", "pw")), Crypt(Data, AsBytes("pw"), std::nullopt, {}));
    // A pass phrase or salt overrides the raw key; without both nothing is derived.
    EXPECT_EQ(Expect(Derived("pw", "pw")), Crypt(Data, AsBytes("pw"), std::nullopt, Counting(48)));
    EXPECT_EQ(Expect(Bytes(48)), Crypt(Data, {}, ByteView{}, {}));
    EXPECT_EQ(Expect(Counting(48)), Crypt(Data, {}, ByteView{}, Counting(60)));  // cut
    Bytes Padded = Counting(20);
    Padded.resize(48);
    EXPECT_EQ(Expect(Padded), Crypt(Data, {}, ByteView{}, Counting(20)));  // zero-padded
}

TEST(CipherEngine, KeyLength) {
    const Bytes Data = Counting(33), Material = Counting(48, 9);
    for (int K : {0, -5, 32})
        EXPECT_EQ(OpenSslCtr(Data, ByteView(Material).first(32), ByteView(Material).subspan(32)),
                  Crypt(Data, {}, ByteView{}, Material, K));
    EXPECT_EQ(OpenSslCtr(Data, ByteView(Material).first(16), ByteView(Material).subspan(16, 16)),
              Crypt(Data, {}, ByteView{}, Material, 16));
    // Lengths AES refuses fail with OpenSSL's reason and code.
    for (int K : {20, 1000000}) {
        Bytes Changed = Data;
        std::string ErrorText;
        EXPECT_FALSE(CryptBytes(Changed, {}, ByteView{}, Material, K, ErrorText));
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
    EXPECT_EQ(OpenSslCtr(Whole, ByteView(Material).first(32), ByteView(Material).subspan(32)),
              Pieces);
}

TEST(CipherEngine, DigestCoversInputOrOutput) {
    const Bytes Material = Counting(48, 100), Plain = Counting(50);
    const Bytes Cipher = Crypt(Plain, {}, ByteView{}, Material);
    const auto Hmac = [&](const Bytes& Over) {  // keyed with material bytes 16..47
        Bytes Mac(32);
        std::size_t Size = 0;
        EXPECT_TRUE(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, Material.data() + 16, 32,
                              Over.data(), Over.size(), Mac.data(), Mac.size(), &Size));
        return Mac;
    };
    const auto Sized = [](Bytes Mac, std::size_t Size) {  // cut, or zero-padded beyond 32
        Mac.resize(Size);
        return Mac;
    };
    const struct {
        std::size_t Size;
        std::uint8_t First;
        Bytes Expected;
    } Cases[] = {
        {16, 0, Sized(Hmac(Plain), 16)},
        {16, 1, Sized(Hmac(Cipher), 16)},
        {40, 0, Sized(Hmac(Plain), 40)},
        {40, 7, Sized(Hmac(Cipher), 40)},
    };
    for (const auto& C : Cases) {
        Bytes Data = Plain, Digest(C.Size, 0xAA);
        Digest[0] = C.First;
        std::string ErrorText;
        ASSERT_TRUE(CryptBytes(Data, {}, ByteView{}, Material, 0, ErrorText, Digest));
        EXPECT_EQ(Cipher, Data);
        EXPECT_EQ(C.Expected, Digest) << C.Size << " first " << int(C.First);
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
