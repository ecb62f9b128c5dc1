#include "cipher/sha512_lanes.h"

#include <cstring>
#include <utility>

namespace zv {
#if defined(__x86_64__) || defined(__i386__)
namespace {

// A GCC/clang vector type: the kernel's target attribute makes its rotates
// VPRORQ and its three-input logic VPTERNLOGQ.
using V = std::uint64_t __attribute__((vector_size(64)));

constexpr std::uint64_t K[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

// The helpers take vectors by reference and are always inlined into the kernel:
// no vector crosses a call, whatever the caller's instruction set.

// Round J of 16 (the round number modulo 16): S holds a..h rotated by J places,
// so no value is moved between rounds.
template <std::size_t J>
[[gnu::always_inline]] inline void Round(V* S, const V* W, std::uint64_t Kt) {
    const V &A = S[(0 - J) & 7], &B = S[(1 - J) & 7], &C = S[(2 - J) & 7];
    const V &E = S[(4 - J) & 7], &F = S[(5 - J) & 7], &G = S[(6 - J) & 7];
    V& D = S[(3 - J) & 7];
    V& H = S[(7 - J) & 7];
    const V T1 = H + ((E >> 14 | E << 50) ^ (E >> 18 | E << 46) ^ (E >> 41 | E << 23)) +
                 (G ^ (E & (F ^ G))) + Kt + W[J];
    const V T2 = ((A >> 28 | A << 36) ^ (A >> 34 | A << 30) ^ (A >> 39 | A << 25)) +
                 ((A & B) | (C & (A | B)));
    D += T1;
    H = T1 + T2;
}

// The message word 16 rounds on, in place of W[J].
template <std::size_t J>
[[gnu::always_inline]] inline void Schedule(V* W) {
    const V& X = W[(J + 1) & 15];
    const V& Y = W[(J + 14) & 15];
    W[J] += ((X >> 1 | X << 63) ^ (X >> 8 | X << 56) ^ X >> 7) + W[(J + 9) & 15] +
            ((Y >> 19 | Y << 45) ^ (Y >> 61 | Y << 3) ^ Y >> 6);
}

// M = SHA-512 compression of (M, padding) from the chaining value Init. The
// message is always 64 bytes after one 128-byte pad block.
template <std::size_t... J>
[[gnu::always_inline]] inline void Compress(const V* Init, V* M, std::index_sequence<J...>) {
    V W[16] = {M[0], M[1], M[2], M[3], M[4], M[5], M[6], M[7]};
    W[8] += 0x8000000000000000u;  // the 1 bit after the message
    W[15] += (128 + 64) * 8;      // length in bits
    V S[8] = {Init[0], Init[1], Init[2], Init[3], Init[4], Init[5], Init[6], Init[7]};
    (Round<J>(S, W, K[J]), ...);
    for (std::size_t T = 16; T < 80; T += 16) {
        (Schedule<J>(W), ...);
        (Round<J>(S, W, K[T + J]), ...);
    }
    for (std::size_t w = 0; w < 8; ++w) M[w] = Init[w] + S[w];
}

__attribute__((target("avx512f"))) void Iterate(LaneState& State, std::uint32_t Count) {
    V Inner[8], Outer[8], U[8], Sum[8];
    for (std::size_t w = 0; w < 8; ++w) {
        std::memcpy(&Inner[w], State.inner[w], sizeof(V));
        std::memcpy(&Outer[w], State.outer[w], sizeof(V));
        std::memcpy(&U[w], State.u[w], sizeof(V));
        std::memcpy(&Sum[w], State.sum[w], sizeof(V));
    }
    for (std::uint32_t i = 0; i < Count; ++i) {
        Compress(Inner, U, std::make_index_sequence<16>());
        Compress(Outer, U, std::make_index_sequence<16>());
        for (std::size_t w = 0; w < 8; ++w) Sum[w] ^= U[w];
    }
    for (std::size_t w = 0; w < 8; ++w) {
        std::memcpy(State.u[w], &U[w], sizeof(V));
        std::memcpy(State.sum[w], &Sum[w], sizeof(V));
    }
}

}  // namespace

std::size_t Sha512Lanes() {
    // Also checks that the system saves the vector registers (XCR0).
    static const bool Has = __builtin_cpu_supports("avx512f");
    return Has ? kLanes : 0;
}

void IterateLanes(LaneState& State, std::uint32_t Count) {
    Iterate(State, Count);
}
#else
std::size_t Sha512Lanes() {
    return 0;
}

void IterateLanes(LaneState&, std::uint32_t) {}
#endif

}  // namespace zv
