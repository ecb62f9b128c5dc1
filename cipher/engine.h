#pragma once
// The AES-CTR keystream engine. Counter mode is done here: successive 128-bit
// big-endian counter blocks are laid out and encrypted in one AES-ECB batch,
// and the keystream is XORed into the data. Key and initial counter block come
// from one PBKDF2-HMAC-SHA-512 derivation (10000 iterations), or from raw key
// material when neither pass phrase nor salt is given. On request an
// HMAC-SHA-256 covers the data as it enters or leaves the transform.
//
// Every CryptBytes call sets up its own context and releases it before it
// returns: nothing is cached between calls, not even the derived key (only
// OpenSSL's AES implementation is looked up once).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <openssl/types.h>

#include "cipher/bytes.h"
#include "cipher/ossl_ptr.h"

namespace zv {

// OpenSSL frees its global state from an atexit handler. A program that ends
// with exit() while a key worker still derives (Qt's, when the X server goes)
// would crash in that worker: call this first thing in main(), and the system
// frees it instead. False when OpenSSL could not start (each use says why).
bool KeepOpensslUntilExit();

// PBKDF2-HMAC-SHA-512 iterations of every derivation.
inline constexpr std::uint32_t kPbkdf2Iterations = 10000;

// Per-call state. OpenSSL keeps the AES key schedule inside AesKey, so no
// separate key object buffer is needed.
struct CipherContext {
    OSSL_LIB_CTX* Library = nullptr;  // where algorithms are fetched; null: the default
    EvpMdPtr PrfProvider;             // SHA-512 for PBKDF2; null when nothing is derived
    EvpMacPtr MacProvider;            // HMAC; null unless a digest was asked for
    EvpMacCtxPtr MacHash;             // HMAC-SHA-256 keyed from the key material
    std::size_t DigestLength = 0;     // HMAC output in bytes (32)
    EvpCipherPtr AesProvider;         // AES-128/192/256 in ECB mode
    EvpCipherCtxPtr AesKey;           // keyed ECB context, padding off
    std::array<std::uint8_t, 16> CounterBlock{};  // next counter value, big-endian words W0..W3
    Bytes Keystream;                              // keystream of the latest batch; only grows
    std::size_t KeystreamPos = 0;                 // next unused byte in Keystream
    std::string ErrorText;                        // why the work stopped; empty after set-up

    CipherContext() = default;
    CipherContext(const CipherContext&) = delete;
    CipherContext& operator=(const CipherContext&) = delete;
    ~CipherContext();
};

// Sets up Ctx: resizes KeyMaterial to KeyLength + 16 bytes (zero-padded or
// cut), derives it from PassPhrase and Salt unless both are empty, keys AES
// with its first KeyLength bytes, takes the next 16 as the counter block and,
// with Mac, the last DigestLength bytes as the HMAC key. KeyLength below 1
// means 32. On false Ctx.ErrorText says why; what was opened stays for
// FreeCipherContext.
bool InitCipherContext(CipherContext& Ctx, ByteView PassPhrase, ByteView Salt, Bytes& KeyMaterial,
                       int KeyLength, bool Mac = false);

// Transforms one stretch in place. Stretches of any sizes, one after another,
// give the same bytes as one stretch over the whole.
bool CryptChunk(CipherContext& Ctx, std::span<std::uint8_t> Stretch, bool MacBefore, bool MacAfter);

// Adds one to a big-endian 32-bit word; true when it wrapped to zero (carry).
bool StepCounterWord(std::span<std::uint8_t, 4> Word);

// Adds one to the 128-bit big-endian counter block; all ones wrap to zeros.
void StepCounterBlock(std::array<std::uint8_t, 16>& Block);

// Writes the HMAC's first Digest.size() bytes, zero-padded beyond 32.
bool FinishDigest(CipherContext& Ctx, std::span<std::uint8_t> Digest);

// Releases everything Ctx holds and wipes its keystream; safe to repeat.
void FreeCipherContext(CipherContext& Ctx);

// "<OpenSSL reason text> &H<code in upper-case hex>"; for code 0 or an unknown
// code the text is empty and the result starts with " &H".
std::string StatusText(unsigned long Code);

// Transforms Data in place (encryption and decryption are the same) under the
// key material from PassPhrase and Salt (Salt absent: the pass phrase bytes
// serve as salt) or, when both are empty, from RawKey. A present Digest asks
// for an HMAC over the data as it enters (first byte 0) or leaves (any other)
// and receives it. Returns false with ErrorText set on failure; Data must then
// not be used. Other errors (out of memory) propagate after the release.
bool CryptBytes(std::span<std::uint8_t> Data, ByteView PassPhrase, std::optional<ByteView> Salt,
                ByteView RawKey, int KeyLength, std::string& ErrorText,
                std::optional<std::span<std::uint8_t>> Digest = std::nullopt,
                OSSL_LIB_CTX* Library = nullptr);

}  // namespace zv
