#pragma once
// PBKDF2 with HMAC-SHA-512 as its pseudo-random function (PKCS #5 v2.1).
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cipher/bytes.h"
#include "cipher/sha512_lanes.h"

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

// How many derivations run side by side in a Pbkdf2LaneSet: 8 with AVX-512,
// else 1 (one by one).
std::size_t Pbkdf2Lanes();

// Side by side, 8 take about as long as two one by one, whatever the number
// of lanes in use: lanes pay from three derivations on.
constexpr std::size_t kPbkdf2BatchFrom = 3;

// Derivations of one output block (up to 64 bytes) side by side in vector
// lanes, a lane taking the next job as soon as its own ends, so under a steady
// flow of jobs every lane stays busy. Used by one thread.
class Pbkdf2LaneSet {
  public:
    explicit Pbkdf2LaneSet(std::uint32_t Iterations);
    ~Pbkdf2LaneSet();  // cleanses the lanes
    Pbkdf2LaneSet(const Pbkdf2LaneSet&) = delete;
    Pbkdf2LaneSet& operator=(const Pbkdf2LaneSet&) = delete;

    std::size_t freeLanes() const;
    bool idle() const { return freeLanes() == kLanes; }
    // Job in a free lane; it is the caller's, and must stay put, until step()
    // hands it back. False (nothing started): no lanes on this CPU, no free
    // lane, an output longer than one block, or the library failed; derive it
    // with Pbkdf2Sha512.
    bool start(Pbkdf2Job& Job);
    // Up to 256 iterations in every lane; appends the jobs that ended (ok) or
    // whose cancel was set (not ok).
    void step(std::vector<Pbkdf2Job*>& Ended);

  private:
    std::uint32_t iterations_;
    LaneState state_{};
    std::array<Pbkdf2Job*, kLanes> jobs_{};
    std::array<std::uint32_t, kLanes> left_{};  // iterations each lane still runs
};

// Every job as Pbkdf2Sha512 would derive it, through a Pbkdf2LaneSet. In the
// background, the thread yields its core between steps (about a fifth of a
// millisecond apart), so work that waits for that core runs first.
void Pbkdf2Sha512Batch(std::span<Pbkdf2Job> Jobs, std::uint32_t Iterations,
                       bool Background = false);

}  // namespace zv
