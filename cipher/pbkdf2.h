#pragma once
// PBKDF2 with HMAC-SHA-512 as its pseudo-random function (PKCS #5 v2.1).
#include <atomic>
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

}  // namespace zv
