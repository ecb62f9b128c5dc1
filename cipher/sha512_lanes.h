#pragma once
// PBKDF2-HMAC-SHA-512's iterations for 8 derivations at once, one per 64-bit
// lane of AVX-512's registers: every lane runs the same instructions on its own
// pad states and U, so 8 derivations take about as long as two one by one.
// Without AVX-512 there is no lane path: 4 lanes of AVX2 measured barely
// faster than SHA-512 in general-purpose registers, and slower unless all 4
// are used.
#include <cstddef>
#include <cstdint>

namespace zv {

constexpr std::size_t kLanes = 8;

// SHA-512 words of every lane: word w of lane l is at [w][l], so that one row
// is one vector register.
using LaneWords = std::uint64_t[8][kLanes];

struct LaneState {
    LaneWords inner, outer;  // chaining values after (key ^ ipad), (key ^ opad)
    LaneWords u;             // the last U
    LaneWords sum;           // U1 ^ U2 ^ ...
};

// kLanes with AVX-512, 0 without.
std::size_t Sha512Lanes();

// Count iterations in every lane: U = HMAC(U), Sum ^= U. Only where
// Sha512Lanes() is not 0.
void IterateLanes(LaneState& State, std::uint32_t Count);

}  // namespace zv
