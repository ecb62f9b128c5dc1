// Keys derived ahead: envelopes stock openssl opens, never a salt twice (from
// several workers), never a key from a replaced pass phrase, and correct
// envelopes without any ahead.
#include <chrono>
#include <set>
#include <thread>

#include "cipher/codec.h"
#include "cipher/envelope.h"
#include "cipher/error.h"
#include "cipher/key_pool.h"
#include "support/openssl_cli.h"

namespace zv {

TEST(CipherKeyPool, EnvelopesOpenUnderTheCurrentPassPhraseOnlyAndNeverShareASalt) {
    const std::string Text = "HELLO \xC3\xA4\r\n";
    const auto Open = [](const std::string& Envelope, const char* Pass) {
        return test::opensslDecrypt(QByteArray::fromStdString(Envelope), Pass).toStdString();
    };
    // On a busy machine the workers may take long.
    const auto Filled = [](KeyPool& Pool, std::size_t Count) {
        for (int i = 0; i < 12000 && Pool.size() < Count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return Pool.size() >= Count;
    };
    KeyPool Pool(8, 3);           // three workers refill it
    EXPECT_FALSE(Pool.take(""));  // nothing before a pass phrase
    Pool.setPassPhrase("first");
    ASSERT_TRUE(Filled(Pool, 1));
    EXPECT_FALSE(Pool.take("other"));
    std::optional<PreparedKey> Key = Pool.take("first");
    ASSERT_TRUE(Key);
    EXPECT_EQ(Open(EncryptText(Text, std::move(*Key)), "first"), Text);
    EXPECT_THROW(EncryptText(Text, std::move(*Key)), Error);  // spent by the move
    // Each change lands while the worker derives under the phrase before.
    for (int Round = 0; Round < 8; ++Round) {
        const std::string Phrase = "phrase " + std::to_string(Round);
        Pool.setPassPhrase(Phrase);
        ASSERT_TRUE(Filled(Pool, 1));
        EXPECT_EQ(DecryptText(EncryptText(Text, Phrase, Pool), Phrase), Text) << Round;
    }
    // Drawn dry again and again: the rest derived on the spot, no salt twice.
    std::set<std::string> Salts;
    for (int Round = 0; Round < 10; ++Round) {
        ASSERT_TRUE(Filled(Pool, 4));
        for (int i = 0; i < 30; ++i) {
            const Bytes Raw = DecodeBase64(EncryptText("x", "phrase 7", Pool));
            Salts.emplace(Raw.begin() + 8, Raw.begin() + 16);
        }
    }
    EXPECT_EQ(Salts.size(), 300u);
    KeyPool None(0);
    None.setPassPhrase("p");
    EXPECT_FALSE(None.take("p"));
    EXPECT_EQ(Open(EncryptText(Text, "p", None), "p"), Text);
}

}  // namespace zv
