#include "cipher/engine.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include "cipher/pbkdf2.h"

namespace zv {

bool KeepOpensslUntilExit() {
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1) return true;
    ERR_clear_error();
    return false;
}

namespace {

constexpr int kDefaultKeyLength = 32;  // AES-256
constexpr std::size_t kBlockSize = 16;
constexpr std::size_t kMacLength = 32;  // HMAC-SHA-256
// Largest batch one EVP_EncryptUpdate takes: its length is an int.
constexpr std::size_t kMaxBatch = INT_MAX & ~(kBlockSize - 1);

// Records the first error OpenSSL queued for the failed Operation.
bool Fail(CipherContext& Ctx, const char* Operation) {
    const unsigned long Code = ERR_get_error();
    ERR_clear_error();
    Ctx.ErrorText = Code != 0 ? StatusText(Code) : Operation + StatusText(0);
    return false;
}

bool Unsupported(CipherContext& Ctx) {
    ERR_clear_error();
    Ctx.ErrorText = "Unsupported encryption";
    return false;
}

const char* AesEcbName(std::size_t KeyLength) {
    if (KeyLength == 16) return "AES-128-ECB";
    if (KeyLength == 24) return "AES-192-ECB";
    return "AES-256-ECB";  // other lengths than 32 are then refused by the key length check
}

// The default library's AES implementations, fetched once: a fetch looks the
// name up under the library's locks, a large part of a short envelope's cost.
EVP_CIPHER* FetchAes(OSSL_LIB_CTX* Library, std::size_t KeyLength) {
    if (Library != nullptr) return EVP_CIPHER_fetch(Library, AesEcbName(KeyLength), nullptr);
    static EVP_CIPHER* const Fetched[3] = {EVP_CIPHER_fetch(nullptr, AesEcbName(16), nullptr),
                                           EVP_CIPHER_fetch(nullptr, AesEcbName(24), nullptr),
                                           EVP_CIPHER_fetch(nullptr, AesEcbName(32), nullptr)};
    EVP_CIPHER* Cipher = Fetched[KeyLength == 16 ? 0 : KeyLength == 24 ? 1 : 2];
    return Cipher && EVP_CIPHER_up_ref(Cipher) ? Cipher : nullptr;
}

bool OpenAes(CipherContext& Ctx, std::size_t KeyLength) {
    Ctx.AesProvider.reset(FetchAes(Ctx.Library, KeyLength));
    if (!Ctx.AesProvider) return Unsupported(Ctx);
    Ctx.AesKey.reset(EVP_CIPHER_CTX_new());
    if (!Ctx.AesKey) return Fail(Ctx, "EVP_CIPHER_CTX_new");
    if (!EVP_EncryptInit_ex2(Ctx.AesKey.get(), Ctx.AesProvider.get(), nullptr, nullptr, nullptr))
        return Fail(Ctx, "EVP_EncryptInit_ex2");
    if (static_cast<std::size_t>(EVP_CIPHER_get_key_length(Ctx.AesProvider.get())) != KeyLength &&
        !EVP_CIPHER_CTX_set_key_length(Ctx.AesKey.get(), static_cast<int>(KeyLength)))
        return Fail(Ctx, "EVP_CIPHER_CTX_set_key_length");
    return true;
}

bool OpenMac(CipherContext& Ctx, ByteView KeyMaterial) {
    Ctx.MacProvider.reset(EVP_MAC_fetch(Ctx.Library, OSSL_MAC_NAME_HMAC, nullptr));
    if (!Ctx.MacProvider) return Unsupported(Ctx);
    Ctx.MacHash.reset(EVP_MAC_CTX_new(Ctx.MacProvider.get()));
    if (!Ctx.MacHash) return Fail(Ctx, "EVP_MAC_CTX_new");
    char Sha256[] = "SHA256";
    const OSSL_PARAM Params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, Sha256, 0),
                                 OSSL_PARAM_END};
    // The HMAC key is the tail of the key material: with AES-256 the second
    // half of the AES key and the whole counter block.
    Ctx.DigestLength = kMacLength;
    if (KeyMaterial.size() < kMacLength) return Fail(Ctx, "HMAC key");
    if (!EVP_MAC_init(Ctx.MacHash.get(), KeyMaterial.last(kMacLength).data(), kMacLength, Params))
        return Fail(Ctx, "EVP_MAC_init");
    if (EVP_MAC_CTX_get_mac_size(Ctx.MacHash.get()) != kMacLength)
        return Fail(Ctx, "EVP_MAC_CTX_get_mac_size");
    return true;
}

bool MacUpdate(CipherContext& Ctx, std::span<const std::uint8_t> Stretch) {
    if (Stretch.empty() || EVP_MAC_update(Ctx.MacHash.get(), Stretch.data(), Stretch.size()))
        return true;
    return Fail(Ctx, "EVP_MAC_update");
}

}  // namespace

CipherContext::~CipherContext() {
    FreeCipherContext(*this);
}

bool InitCipherContext(CipherContext& Ctx, ByteView PassPhrase, ByteView Salt, Bytes& KeyMaterial,
                       int KeyLength, bool Mac) {
    Ctx.Keystream.clear();
    Ctx.KeystreamPos = 0;
    Ctx.ErrorText.clear();
    ERR_clear_error();  // so a failure reports its own cause, not an older one
    const std::size_t K = KeyLength < 1 ? kDefaultKeyLength : static_cast<std::size_t>(KeyLength);

    // AES first: a key length AES refuses fails before any time is spent deriving.
    if (!OpenAes(Ctx, K)) return false;
    KeyMaterial.resize(K + kBlockSize);
    if (!PassPhrase.empty() || !Salt.empty()) {
        Ctx.PrfProvider.reset(EVP_MD_fetch(Ctx.Library, OSSL_DIGEST_NAME_SHA2_512, nullptr));
        if (!Ctx.PrfProvider) return Unsupported(Ctx);
        if (!Pbkdf2Sha512(PassPhrase, Salt, kPbkdf2Iterations, KeyMaterial))
            return Fail(Ctx, "PBKDF2");
    }
    if (!EVP_EncryptInit_ex2(Ctx.AesKey.get(), nullptr, KeyMaterial.data(), nullptr, nullptr) ||
        !EVP_CIPHER_CTX_set_padding(Ctx.AesKey.get(), 0))
        return Fail(Ctx, "EVP_EncryptInit_ex2");
    std::copy_n(KeyMaterial.begin() + K, kBlockSize, Ctx.CounterBlock.begin());
    return !Mac || OpenMac(Ctx, KeyMaterial);
}

bool CryptChunk(CipherContext& Ctx, std::span<std::uint8_t> Stretch, bool MacBefore,
                bool MacAfter) {
    if (MacBefore && !MacUpdate(Ctx, Stretch)) return false;

    // Use up the rest of the block the previous stretch began.
    std::size_t i = 0;
    while (i < Stretch.size() && Ctx.KeystreamPos % kBlockSize != 0)
        Stretch[i++] ^= Ctx.Keystream[Ctx.KeystreamPos++];

    if (i < Stretch.size()) {
        const std::size_t Rest = Stretch.size() - i;
        const std::size_t Batch = (Rest + kBlockSize - 1) & ~(kBlockSize - 1);
        if (Ctx.Keystream.size() < Batch) {
            OPENSSL_cleanse(Ctx.Keystream.data(), Ctx.Keystream.size());
            Ctx.Keystream.assign(Batch, 0);
        }
        for (std::size_t j = 0; j < Batch; j += kBlockSize) {
            std::copy(Ctx.CounterBlock.begin(), Ctx.CounterBlock.end(), &Ctx.Keystream[j]);
            StepCounterBlock(Ctx.CounterBlock);
        }
        for (std::size_t Done = 0; Done < Batch;) {
            const int Length = static_cast<int>(std::min(Batch - Done, kMaxBatch));
            int Written = 0;
            std::uint8_t* At = Ctx.Keystream.data() + Done;
            if (!EVP_EncryptUpdate(Ctx.AesKey.get(), At, &Written, At, Length) || Written != Length)
                return Fail(Ctx, "EVP_EncryptUpdate");
            Done += static_cast<std::size_t>(Length);
        }
        // Eight bytes at a time: a byte loop over member indexes does not vectorise.
        const std::uint8_t* Key = Ctx.Keystream.data();
        std::uint8_t* Out = Stretch.data() + i;
        std::size_t k = 0;
        for (; k + 8 <= Rest; k += 8) {
            std::uint64_t Word, KeyWord;
            std::memcpy(&Word, Out + k, 8);
            std::memcpy(&KeyWord, Key + k, 8);
            Word ^= KeyWord;
            std::memcpy(Out + k, &Word, 8);
        }
        for (; k < Rest; ++k) Out[k] ^= Key[k];
        Ctx.KeystreamPos = Rest;
    }

    return !MacAfter || MacUpdate(Ctx, Stretch);
}

bool StepCounterWord(std::span<std::uint8_t, 4> Word) {
    // Big-endian: the last byte is the lowest; a byte that wraps carries on.
    for (std::size_t b = Word.size(); b-- > 0;)
        if (++Word[b] != 0) return false;
    return true;
}

void StepCounterBlock(std::array<std::uint8_t, 16>& Block) {
    // W3 first; a carry out of W0 is dropped.
    for (std::size_t w = 4; w-- > 0;)
        if (!StepCounterWord(std::span<std::uint8_t, 4>(Block.data() + 4 * w, 4))) return;
}

bool FinishDigest(CipherContext& Ctx, std::span<std::uint8_t> Digest) {
    Bytes Mac(Ctx.DigestLength);
    std::size_t Written = 0;
    if (!EVP_MAC_final(Ctx.MacHash.get(), Mac.data(), &Written, Mac.size()) ||
        Written != Mac.size())
        return Fail(Ctx, "EVP_MAC_final");
    std::fill(Digest.begin(), Digest.end(), 0);
    std::copy_n(Mac.begin(), std::min(Mac.size(), Digest.size()), Digest.begin());
    return true;
}

void FreeCipherContext(CipherContext& Ctx) {
    Ctx.PrfProvider.reset();
    Ctx.MacHash.reset();
    Ctx.MacProvider.reset();
    Ctx.AesKey.reset();
    Ctx.AesProvider.reset();
    OPENSSL_cleanse(Ctx.Keystream.data(), Ctx.Keystream.size());
    OPENSSL_cleanse(Ctx.CounterBlock.data(), Ctx.CounterBlock.size());
    Ctx.Keystream.clear();
    Ctx.KeystreamPos = 0;
}

std::string StatusText(unsigned long Code) {
    const char* Reason = Code != 0 ? ERR_reason_error_string(Code) : nullptr;
    char Hex[16];
    std::snprintf(Hex, sizeof Hex, " &H%X", static_cast<unsigned>(Code & 0xFFFFFFFFu));
    return (Reason ? std::string(Reason) : std::string()) + Hex;
}

bool CryptBytes(std::span<std::uint8_t> Data, ByteView PassPhrase, std::optional<ByteView> Salt,
                ByteView RawKey, int KeyLength, std::string& ErrorText,
                std::optional<std::span<std::uint8_t>> Digest, OSSL_LIB_CTX* Library) {
    // The first byte of a digest request chooses: 0 covers the input, else the output.
    const bool MacBefore = Digest && (Digest->empty() || (*Digest)[0] == 0);
    const bool MacAfter = Digest && !MacBefore;
    Bytes KeyMaterial(RawKey.begin(), RawKey.end());
    const WipeOnExit Wipe(KeyMaterial);

    CipherContext Ctx;
    Ctx.Library = Library;
    const bool Ok = InitCipherContext(Ctx, PassPhrase, Salt.value_or(PassPhrase), KeyMaterial,
                                      KeyLength, Digest.has_value()) &&
                    CryptChunk(Ctx, Data, MacBefore, MacAfter) &&
                    (!Digest || FinishDigest(Ctx, *Digest));
    if (!Ok) ErrorText = Ctx.ErrorText;
    return Ok;
}

}  // namespace zv
