// The fast path calls SHA-512's block function directly; OpenSSL 3 marks the
// low-level digest calls deprecated but still ships them.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "cipher/pbkdf2.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <climits>
#include <cstring>
#include <vector>
#ifdef ZV_FUZZ_REMEMBER_DERIVATIONS
#include <map>
#include <tuple>
#endif

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "cipher/sha512_lanes.h"

namespace zv {
namespace {

constexpr std::uint8_t kNoBytes[1] = {0};  // stands in for an empty string's null pointer

const unsigned char* DataOf(ByteView View) {
    return View.empty() ? kNoBytes : View.data();
}

bool Fallback(ByteView PassPhrase, ByteView Salt, std::uint32_t Iterations,
              std::span<std::uint8_t> Out) {
    if (PassPhrase.size() > INT_MAX || Salt.size() > INT_MAX || Iterations > INT_MAX ||
        Out.size() > INT_MAX)
        return false;
    return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(DataOf(PassPhrase)),
                             static_cast<int>(PassPhrase.size()), DataOf(Salt),
                             static_cast<int>(Salt.size()), static_cast<int>(Iterations),
                             EVP_sha512(), static_cast<int>(Out.size()), Out.data()) == 1;
}

#ifndef OPENSSL_NO_DEPRECATED_3_0
constexpr std::size_t kBlock = SHA512_CBLOCK;          // 128 bytes
constexpr std::size_t kDigest = SHA512_DIGEST_LENGTH;  // 64 bytes
constexpr std::size_t kWords = kDigest / 8;

// SHA-512 states after absorbing (key XOR ipad) and (key XOR opad).
struct PadStates {
    SHA512_CTX Inner, Outer;
    ~PadStates() { OPENSSL_cleanse(this, sizeof *this); }
};

bool MakePadStates(ByteView Key, PadStates& Pads) {
    std::array<std::uint8_t, kBlock> Block{};  // the key, zero-padded to one block
    bool Ok = true;
    if (Key.size() > kBlock) {  // HMAC hashes keys longer than a block first
        SHA512_CTX Hash;
        Ok = SHA512_Init(&Hash) && SHA512_Update(&Hash, Key.data(), Key.size()) &&
             SHA512_Final(Block.data(), &Hash);
        OPENSSL_cleanse(&Hash, sizeof Hash);
    } else if (!Key.empty()) {
        std::memcpy(Block.data(), Key.data(), Key.size());
    }
    for (auto& B : Block) B ^= 0x36;
    Ok = Ok && SHA512_Init(&Pads.Inner) && SHA512_Update(&Pads.Inner, Block.data(), kBlock);
    for (auto& B : Block) B ^= 0x36 ^ 0x5C;
    Ok = Ok && SHA512_Init(&Pads.Outer) && SHA512_Update(&Pads.Outer, Block.data(), kBlock);
    OPENSSL_cleanse(Block.data(), Block.size());
    return Ok;
}

// U1 = HMAC(key, salt || big-endian Index).
bool FirstU(const PadStates& Pads, ByteView Salt, std::uint32_t Index, std::uint8_t* U) {
    const std::uint8_t Counter[4] = {std::uint8_t(Index >> 24), std::uint8_t(Index >> 16),
                                     std::uint8_t(Index >> 8), std::uint8_t(Index)};
    std::uint8_t Inner[kDigest];
    SHA512_CTX Hash = Pads.Inner;
    bool Ok = SHA512_Update(&Hash, DataOf(Salt), Salt.size()) &&
              SHA512_Update(&Hash, Counter, sizeof Counter) && SHA512_Final(Inner, &Hash);
    Hash = Pads.Outer;
    Ok = Ok && SHA512_Update(&Hash, Inner, kDigest) && SHA512_Final(U, &Hash);
    OPENSSL_cleanse(Inner, sizeof Inner);
    OPENSSL_cleanse(&Hash, sizeof Hash);
    return Ok;
}

// A 64-byte string as the big-endian words SHA-512 reads.
void LoadWords(const std::uint8_t* In, SHA_LONG64* Words) {
    for (std::size_t w = 0; w < kWords; ++w) {
        Words[w] = 0;
        for (std::size_t b = 0; b < 8; ++b) Words[w] = Words[w] << 8 | In[w * 8 + b];
    }
}

// Big-endian words as SHA-512 reads them, one 8-byte store each: stores of
// single bytes would stall the block function's 8-byte loads that follow.
void StoreWords(const SHA_LONG64* Words, std::uint8_t* Out) {
    for (std::size_t w = 0; w < kWords; ++w) {
        std::uint64_t Word = Words[w];
        if constexpr (std::endian::native == std::endian::little) Word = __builtin_bswap64(Word);
        std::memcpy(Out + w * 8, &Word, 8);
    }
}

// One output block T = U1 ^ U2 ^ ... ^ Un. From U2 on, the HMAC message is the
// 64-byte U before it, so inner and outer hash each take one padded block.
bool DeriveBlock(const PadStates& Pads, ByteView Salt, std::uint32_t Iterations,
                 std::uint32_t Index, std::uint8_t* T, const std::atomic<bool>* Cancel) {
    std::array<std::uint8_t, kBlock> Block{};  // U, then SHA-512 padding
    if (!FirstU(Pads, Salt, Index, Block.data())) return false;
    Block[kDigest] = 0x80;
    Block[kBlock - 2] = (kBlock + kDigest) * 8 >> 8;  // message length: 1536 bits
    Block[kBlock - 1] = (kBlock + kDigest) * 8 & 0xFF;

    SHA_LONG64 Sum[kWords];
    LoadWords(Block.data(), Sum);
    SHA512_CTX State = Pads.Inner;
    bool Cancelled = false;
    for (std::uint32_t i = 1; i < Iterations && !Cancelled; ++i) {
        // Every 256 iterations (about 70 us): a load too cheap to measure.
        Cancelled = i % 256 == 0 && Cancel && Cancel->load(std::memory_order_relaxed);
        std::memcpy(State.h, Pads.Inner.h, sizeof State.h);
        SHA512_Transform(&State, Block.data());
        StoreWords(State.h, Block.data());
        std::memcpy(State.h, Pads.Outer.h, sizeof State.h);
        SHA512_Transform(&State, Block.data());
        StoreWords(State.h, Block.data());
        for (std::size_t w = 0; w < kWords; ++w) Sum[w] ^= State.h[w];
    }
    if (!Cancelled) StoreWords(Sum, T);
    OPENSSL_cleanse(Sum, sizeof Sum);
    OPENSSL_cleanse(&State, sizeof State);
    OPENSSL_cleanse(Block.data(), Block.size());
    return !Cancelled;
}

bool Fast(ByteView PassPhrase, ByteView Salt, std::uint32_t Iterations, std::span<std::uint8_t> Out,
          const std::atomic<bool>* Cancel) {
    if ((Out.size() + kDigest - 1) / kDigest > 0xFFFFFFFFu) return false;  // block index is 32-bit
    PadStates Pads;
    if (!MakePadStates(PassPhrase, Pads)) return false;
    std::uint8_t T[kDigest];
    for (std::size_t Done = 0, Index = 1; Done < Out.size(); Done += kDigest, ++Index) {
        if (!DeriveBlock(Pads, Salt, Iterations, static_cast<std::uint32_t>(Index), T, Cancel))
            return false;
        std::memcpy(Out.data() + Done, T, std::min(kDigest, Out.size() - Done));
    }
    OPENSSL_cleanse(T, sizeof T);
    return true;
}

// One output block of a batch's job, and the lane that derives it.
struct LaneBlock {
    std::size_t job;
    std::uint32_t index;  // PBKDF2's block number, from 1
};

// Blocks side by side, one per lane, from U1 to the last iteration; each
// result goes to its job's output, or fails the job (Redo: derive it alone).
void RunLanes(std::span<Pbkdf2Job> Jobs, const std::vector<PadStates>& Pads,
              std::span<const LaneBlock> Blocks, std::uint32_t Iterations,
              std::vector<char>& Redo) {
    LaneState State{};
    std::uint8_t Bytes[kDigest] = {};
    SHA_LONG64 Words[kWords];
    bool Live[kLanes] = {};
    for (std::size_t l = 0; l < Blocks.size(); ++l) {
        const auto [Job, Index] = Blocks[l];
        Live[l] = FirstU(Pads[Job], Jobs[Job].salt, Index, Bytes);
        Redo[Job] = Redo[Job] || !Live[l];
        LoadWords(Bytes, Words);
        for (std::size_t w = 0; w < kWords; ++w) {
            State.inner[w][l] = Pads[Job].Inner.h[w];
            State.outer[w][l] = Pads[Job].Outer.h[w];
            State.u[w][l] = State.sum[w][l] = Words[w];
        }
    }
    // At iterations 256, 512, ... as the single derivation checks its flag.
    const auto AnyLive = [&] {
        bool Any = false;
        for (std::size_t l = 0; l < Blocks.size(); ++l) {
            const std::atomic<bool>* Cancel = Jobs[Blocks[l].job].cancel;
            Live[l] = Live[l] && !(Cancel && Cancel->load(std::memory_order_relaxed));
            Any = Any || Live[l];
        }
        return Any;
    };
    for (std::uint64_t i = 1; i < Iterations && (i % 256 != 0 || AnyLive());) {
        const std::uint64_t Next = std::min<std::uint64_t>(Iterations, (i / 256 + 1) * 256);
        IterateLanes(State, static_cast<std::uint32_t>(Next - i));
        i = Next;
    }
    for (std::size_t l = 0; l < Blocks.size(); ++l) {
        Pbkdf2Job& Job = Jobs[Blocks[l].job];
        Job.ok = Job.ok && Live[l];
        if (!Live[l]) continue;
        for (std::size_t w = 0; w < kWords; ++w) Words[w] = State.sum[w][l];
        StoreWords(Words, Bytes);
        const std::size_t Offset = (Blocks[l].index - 1) * kDigest;
        std::memcpy(Job.out.data() + Offset, Bytes, std::min(kDigest, Job.out.size() - Offset));
    }
    OPENSSL_cleanse(&State, sizeof State);
    OPENSSL_cleanse(Bytes, sizeof Bytes);
    OPENSSL_cleanse(Words, sizeof Words);
}

void LaneBatch(std::span<Pbkdf2Job> Jobs, std::uint32_t Iterations) {
    std::vector<PadStates> Pads(Jobs.size());
    std::vector<char> Redo(Jobs.size());
    std::vector<LaneBlock> Blocks;
    for (std::size_t j = 0; j < Jobs.size(); ++j) {
        const std::size_t Count = (Jobs[j].out.size() + kDigest - 1) / kDigest;
        Jobs[j].ok = Count <= 0xFFFFFFFFu && MakePadStates(Jobs[j].passPhrase, Pads[j]);
        Redo[j] = !Jobs[j].ok;
        for (std::size_t b = 1; Jobs[j].ok && b <= Count; ++b)
            Blocks.push_back({j, static_cast<std::uint32_t>(b)});
    }
    for (std::size_t First = 0; First < Blocks.size(); First += kLanes) {
        const std::size_t Group = std::min(kLanes, Blocks.size() - First);
        RunLanes(Jobs, Pads, std::span(Blocks).subspan(First, Group), Iterations, Redo);
    }
    for (std::size_t j = 0; j < Jobs.size(); ++j)
        if (Redo[j])
            Jobs[j].ok = Pbkdf2Sha512(Jobs[j].passPhrase, Jobs[j].salt, Iterations, Jobs[j].out,
                                      Jobs[j].cancel);
}
#endif

}  // namespace

namespace {
bool Derive(ByteView PassPhrase, ByteView Salt, std::uint32_t Iterations,
            std::span<std::uint8_t> Out, const std::atomic<bool>* Cancel) {
#ifndef OPENSSL_NO_DEPRECATED_3_0
    if (Fast(PassPhrase, Salt, Iterations, Out, Cancel)) return true;
    if (Cancel && Cancel->load()) return false;
#endif
    return Fallback(PassPhrase, Salt, Iterations, Out);
}
}  // namespace

#ifdef ZV_FUZZ_REMEMBER_DERIVATIONS
// Fuzz builds only: a derivation costs milliseconds and inputs reuse a few
// salts, so results are remembered (one thread, a bounded number of them).
bool Pbkdf2Sha512(ByteView PassPhrase, ByteView Salt, std::uint32_t Iterations,
                  std::span<std::uint8_t> Out, const std::atomic<bool>* Cancel) {
    if (Iterations == 0) return false;
    static std::map<std::tuple<Bytes, Bytes, std::uint32_t, std::size_t>, Bytes> Known;
    auto Key = std::make_tuple(Bytes(PassPhrase.begin(), PassPhrase.end()),
                               Bytes(Salt.begin(), Salt.end()), Iterations, Out.size());
    if (const auto It = Known.find(Key); It != Known.end()) {
        std::copy(It->second.begin(), It->second.end(), Out.begin());
        return true;
    }
    if (!Derive(PassPhrase, Salt, Iterations, Out, Cancel)) return false;
    if (Known.size() >= 4096) Known.clear();
    Known.emplace(std::move(Key), Bytes(Out.begin(), Out.end()));
    return true;
}
#else
bool Pbkdf2Sha512(ByteView PassPhrase, ByteView Salt, std::uint32_t Iterations,
                  std::span<std::uint8_t> Out, const std::atomic<bool>* Cancel) {
    if (Iterations == 0) return false;
    return Derive(PassPhrase, Salt, Iterations, Out, Cancel);
}
#endif

std::size_t Pbkdf2Lanes() {
#ifndef OPENSSL_NO_DEPRECATED_3_0
    return std::max<std::size_t>(1, Sha512Lanes());
#else
    return 1;
#endif
}

void Pbkdf2Sha512Batch(std::span<Pbkdf2Job> Jobs, std::uint32_t Iterations) {
#ifndef OPENSSL_NO_DEPRECATED_3_0
    if (Iterations > 0 && Sha512Lanes() > 0) return LaneBatch(Jobs, Iterations);
#endif
    for (Pbkdf2Job& J : Jobs)
        J.ok = Pbkdf2Sha512(J.passPhrase, J.salt, Iterations, J.out, J.cancel);
}

}  // namespace zv
