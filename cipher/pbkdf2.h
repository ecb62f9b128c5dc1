#pragma once
// PBKDF2 with HMAC-SHA-512 as its pseudo-random function (PKCS #5 v2.1).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "cipher/bytes.h"

namespace zv {

// Derives Out.size() bytes; the same bytes as OpenSSL's PKCS5_PBKDF2_HMAC with
// EVP_sha512(). Returns false (reason on the OpenSSL error queue) when
// Iterations is 0 or the library fails.
//
// Each iteration costs two SHA-512 block compressions: the HMAC pad states are
// computed once per derivation and every later message fits one block.
//
// A set Cancel stops the derivation within a few hundred iterations, with false
// and Out unusable; the pool of keys derived ahead must not hold up its owner.
bool Pbkdf2Sha512(ByteView PassPhrase, ByteView Salt, std::uint32_t Iterations,
                  std::span<std::uint8_t> Out, const std::atomic<bool>* Cancel = nullptr);

// One derivation of a batch: Pbkdf2Sha512's arguments, and its result.
struct Pbkdf2Job {
    ByteView passPhrase;
    ByteView salt;
    std::span<std::uint8_t> out;
    const std::atomic<bool>* cancel = nullptr;
    bool ok = false;
};

// How many derivations Pbkdf2Sha512Batch runs side by side: 8 with AVX-512,
// else 1 (one by one).
std::size_t Pbkdf2Lanes();

// Side by side, 8 take about as long as two one by one, whatever the number
// of lanes in use: batches pay from three derivations on.
constexpr std::size_t kPbkdf2BatchFrom = 3;

// Every job as Pbkdf2Sha512 would derive it, Pbkdf2Lanes() output blocks at a
// time. A job whose cancel is set fails; lanes stop once all theirs are.
void Pbkdf2Sha512Batch(std::span<Pbkdf2Job> Jobs, std::uint32_t Iterations);

}  // namespace zv
