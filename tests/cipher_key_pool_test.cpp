// Keys derived ahead: envelopes stock openssl opens, never a salt twice, never
// a key from a replaced pass phrase, and correct envelopes without any ahead.
#include <chrono>
#include <set>
#include <thread>

#include "cipher/codec.h"
#include "cipher/envelope.h"
#include "cipher/error.h"
#include "cipher/key_pool.h"
#include "support/openssl_cli.h"

namespace zv {
namespace {

const std::string kText = "HELLO \xC3\xA4\r\n";

std::string OpenSslDecrypt(const std::string& Envelope, const std::string& PassPhrase) {
    return test::opensslDecrypt(QByteArray::fromStdString(Envelope),
                                QString::fromStdString(PassPhrase))
        .toStdString();
}

// The worker runs at idle priority: on a busy machine it may take long.
bool WaitForEntries(KeyPool& Pool, std::size_t Count) {
    for (int i = 0; i < 12000 && Pool.size() < Count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Pool.size() >= Count;
}

TEST(CipherKeyPool, EntriesOpenWithOpenSslUnderTheCurrentPassPhraseOnly) {
    KeyPool Pool(4);
    EXPECT_FALSE(Pool.take(""));  // nothing before a pass phrase
    Pool.setPassPhrase("first");
    ASSERT_TRUE(WaitForEntries(Pool, 1));
    EXPECT_FALSE(Pool.take("other"));
    std::optional<PreparedKey> Key = Pool.take("first");
    ASSERT_TRUE(Key);
    EXPECT_EQ(OpenSslDecrypt(EncryptText(kText, std::move(*Key)), "first"), kText);
    EXPECT_THROW(EncryptText(kText, std::move(*Key)), Error);  // spent by the move

    // Each change lands while the worker derives under the phrase before.
    for (int Round = 0; Round < 8; ++Round) {
        const std::string Phrase = "phrase " + std::to_string(Round);
        Pool.setPassPhrase(Phrase);
        ASSERT_TRUE(WaitForEntries(Pool, 1));
        const std::string Envelope = EncryptText(kText, Phrase, Pool);
        EXPECT_EQ(DecryptText(Envelope, Phrase), kText) << Round;
        if (Round == 0) {
            EXPECT_NE(OpenSslDecrypt(Envelope, "first"), kText);
        }
    }
}

TEST(CipherKeyPool, SaltsNeverRepeatAndAnEmptyPoolDerivesOnTheSpot) {
    KeyPool Pool(8);
    Pool.setPassPhrase("salts");
    std::set<std::string> Salts;
    std::size_t Drawn = 0;
    for (int Round = 0; Round < 10; ++Round) {
        ASSERT_TRUE(WaitForEntries(Pool, 4));  // then drawn dry, the rest derived on the spot
        for (int i = 0; i < 30; ++i, ++Drawn) {
            const Bytes Raw = DecodeBase64(EncryptText("x", "salts", Pool));
            Salts.emplace(Raw.begin() + 8, Raw.begin() + 16);
        }
    }
    EXPECT_EQ(Salts.size(), Drawn);

    KeyPool None(0);
    None.setPassPhrase("p");
    EXPECT_FALSE(None.take("p"));
    EXPECT_EQ(OpenSslDecrypt(EncryptText(kText, "p", None), "p"), kText);
}

}  // namespace
}  // namespace zv
