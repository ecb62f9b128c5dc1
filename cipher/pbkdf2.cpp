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
#include <thread>
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

Pbkdf2LaneSet::Pbkdf2LaneSet(std::uint32_t Iterations) : iterations_(Iterations) {}

Pbkdf2LaneSet::~Pbkdf2LaneSet() {
    OPENSSL_cleanse(&state_, sizeof state_);
}

std::size_t Pbkdf2LaneSet::freeLanes() const {
    return std::size_t(std::count(jobs_.begin(), jobs_.end(), nullptr));
}

bool Pbkdf2LaneSet::start(Pbkdf2Job& Job) {
#ifndef OPENSSL_NO_DEPRECATED_3_0
    const auto Free = std::find(jobs_.begin(), jobs_.end(), nullptr);
    if (Sha512Lanes() == 0 || iterations_ == 0 || Job.out.size() > kDigest || Free == jobs_.end())
        return false;
    PadStates Pads;
    std::uint8_t U[kDigest];
    SHA_LONG64 Words[kWords];
    const bool Ok = MakePadStates(Job.passPhrase, Pads) && FirstU(Pads, Job.salt, 1, U);
    if (Ok) {
        const std::size_t l = std::size_t(Free - jobs_.begin());
        LoadWords(U, Words);
        for (std::size_t w = 0; w < kWords; ++w) {
            state_.inner[w][l] = Pads.Inner.h[w];
            state_.outer[w][l] = Pads.Outer.h[w];
            state_.u[w][l] = state_.sum[w][l] = Words[w];
        }
        *Free = &Job;
        left_[l] = iterations_ - 1;
    }
    OPENSSL_cleanse(U, sizeof U);
    OPENSSL_cleanse(Words, sizeof Words);
    return Ok;
#else
    (void)Job;
    return false;
#endif
}

void Pbkdf2LaneSet::step(std::vector<Pbkdf2Job*>& Ended) {
#ifndef OPENSSL_NO_DEPRECATED_3_0
    // At most 256 iterations, as a single derivation checks its flag, and no
    // more than the lane closest to its end still needs.
    std::uint32_t Count = 256;
    for (std::size_t l = 0; l < kLanes; ++l) {
        Pbkdf2Job* Job = jobs_[l];
        if (Job && Job->cancel && Job->cancel->load(std::memory_order_relaxed)) {
            Job->ok = false;
            Ended.push_back(Job);
            jobs_[l] = nullptr;
        } else if (Job) {
            Count = std::min(Count, left_[l]);
        }
    }
    if (idle()) return;
    if (Count > 0) IterateLanes(state_, Count);
    SHA_LONG64 Words[kWords];
    std::uint8_t T[kDigest];
    for (std::size_t l = 0; l < kLanes; ++l) {
        if (!jobs_[l] || (left_[l] -= Count) > 0) continue;
        for (std::size_t w = 0; w < kWords; ++w) {
            Words[w] = state_.sum[w][l];
            state_.u[w][l] = state_.sum[w][l] = state_.inner[w][l] = state_.outer[w][l] = 0;
        }
        StoreWords(Words, T);
        std::memcpy(jobs_[l]->out.data(), T, jobs_[l]->out.size());
        jobs_[l]->ok = true;
        Ended.push_back(jobs_[l]);
        jobs_[l] = nullptr;
    }
    OPENSSL_cleanse(Words, sizeof Words);
    OPENSSL_cleanse(T, sizeof T);
#else
    (void)Ended;
#endif
}

void Pbkdf2Sha512Batch(std::span<Pbkdf2Job> Jobs, std::uint32_t Iterations, bool Background) {
    Pbkdf2LaneSet Lanes(Iterations);
    std::vector<Pbkdf2Job*> Ended;
    std::size_t Next = 0, Running = 0;
    while (Next < Jobs.size() || Running > 0) {
        for (; Next < Jobs.size() && Lanes.freeLanes() > 0; ++Next) {
            Pbkdf2Job& J = Jobs[Next];
            if (Lanes.start(J))
                ++Running;
            else
                J.ok = Pbkdf2Sha512(J.passPhrase, J.salt, Iterations, J.out, J.cancel);
        }
        Ended.clear();
        Lanes.step(Ended);
        Running -= Ended.size();
        if (Background) std::this_thread::yield();
    }
}

}  // namespace zv
