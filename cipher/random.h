#pragma once
// Where envelopes get their salt. The shipping path uses SystemRandom; tests
// hand EncryptText a source of fixed bytes.
#include <functional>
#include <span>
#include <string>

#include "cipher/bytes.h"

namespace zv {

// Fills Out with unpredictable bytes and returns true, or returns false with
// ErrorText saying why. A source that fails must say so: an envelope under a
// predictable salt would repeat its keystream.
using RandomSource = std::function<bool(std::span<std::uint8_t> Out, std::string& ErrorText)>;

// OpenSSL's CSPRNG (RAND_bytes).
bool SystemRandom(std::span<std::uint8_t> Out, std::string& ErrorText);

}  // namespace zv
