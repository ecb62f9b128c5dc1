// The fast PBKDF2-HMAC-SHA-512 must give OpenSSL's bytes for every input.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "cipher/pbkdf2.h"

namespace zv {
namespace {

std::string Pattern(std::size_t Size) {
    std::string S;
    for (std::size_t i = 0; i < Size; ++i) S.push_back(static_cast<char>(i * 7 + 1));
    return S;
}

Bytes Reference(const std::string& Pass, const std::string& Salt, int Iterations, int Length) {
    Bytes Out(Length);
    EXPECT_EQ(1, PKCS5_PBKDF2_HMAC(Pass.data(), static_cast<int>(Pass.size()),
                                   reinterpret_cast<const unsigned char*>(Salt.data()),
                                   static_cast<int>(Salt.size()), Iterations, EVP_sha512(), Length,
                                   Out.data()));
    return Out;
}

TEST(CipherPbkdf2, EqualsOpenSslForEveryInput) {
    // Pass phrases shorter than, equal to and longer than one 128-byte block.
    const std::string Passes[] = {"",           "secret",     "QJ7X KD Wander",
                                  Pattern(128), Pattern(129), Pattern(300)};
    const std::string Salts[] = {"", std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8),
                                 Pattern(200)};
    for (const auto& Pass : Passes)
        for (const auto& Salt : Salts)
            for (int Iterations : {1, 2, 3, 1000, 10000})
                for (int Length : {1, 48, 64, 65, 130}) {
                    Bytes Out(Length);
                    ASSERT_TRUE(Pbkdf2Sha512(AsBytes(Pass), AsBytes(Salt), Iterations, Out));
                    EXPECT_EQ(Reference(Pass, Salt, Iterations, Length), Out)
                        << "pass " << Pass.size() << " salt " << Salt.size() << " iterations "
                        << Iterations << " length " << Length;
                }
}

TEST(CipherPbkdf2, RefusesZeroIterations) {
    Bytes Out(48);
    EXPECT_FALSE(Pbkdf2Sha512(AsBytes("pw"), AsBytes("salt"), 0, Out));
}

}  // namespace
}  // namespace zv
