#pragma once
// Key derivations for received envelopes, on a few threads of their own. The
// sender chose each envelope's salt, so its key can only be derived once the
// salt has arrived, and one derivation (PBKDF2, 10000 iterations, about 3 ms)
// is almost the whole cost of a message. Envelopes of one connection are
// independent until their bytes are handed on, so their derivations run side
// by side, one per core; the reader hands the messages on in arrival order.
// Under load a thread derives in vector lanes (8 with AVX-512; 8 take about as
// long as two one by one), each lane taking the next queued derivation as soon
// as its own ends. A thread starts lanes when three wait and none run, or when
// a full set waits that running lanes have no room for; it derives one alone
// only when no lanes run and fewer than three wait. A reader submits what one
// read brought at once, so that a burst of envelopes fills lanes rather than
// starting lone derivations.
//
// Fairness: every connection ("owner") has a queue of its own and free lanes
// take from the owners in turn, so a flood of envelopes on one port costs the
// other port at most one derivation in a lane (about 5 ms) of waiting.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cipher/bytes.h"

namespace zv {

// One derivation: 48 bytes of key material (AES-256 key, then the initial
// counter block) from a pass phrase and a salt, as an envelope's reader needs
// them. Both empty: all-zero material, as the cipher does without either.
struct Derivation {
    Derivation(ByteView PassPhrase, ByteView Salt)
        : passPhrase(PassPhrase.begin(), PassPhrase.end()), salt(Salt.begin(), Salt.end()) {}
    ~Derivation();
    Derivation(const Derivation&) = delete;
    Derivation& operator=(const Derivation&) = delete;

    // Derives now, on the caller's thread; sets `done` last.
    void run();
    // The derivation ended (Ok: `material` holds the key): wipes the pass
    // phrase and sets `done` last.
    void end(bool Ok);

    Bytes passPhrase;
    Bytes salt;
    std::array<std::uint8_t, 48> material{};
    bool ok = false;                  // valid once done
    std::atomic<bool> done{false};    // material (or the failure) is there
    std::atomic<bool> cancel{false};  // nobody wants it any more
};

class DerivationPool {
  public:
    // Threads: 0 means one per core.
    explicit DerivationPool(unsigned Threads = 0);
    // Abandons what is queued, stops the derivations in progress within a few
    // hundred iterations, and joins the threads.
    ~DerivationPool();
    DerivationPool(const DerivationPool&) = delete;
    DerivationPool& operator=(const DerivationPool&) = delete;

    // Queues Batch for Owner, all at once (so that they can share lanes);
    // Done runs on a pool thread once each of them is done (not when it was
    // cancelled). Owners are served in turn, each in its own order.
    void submit(const void* Owner, std::vector<std::shared_ptr<Derivation>> Batch,
                const std::function<void()>& Done);

  private:
    struct Job {
        std::shared_ptr<Derivation> derivation;
        std::function<void()> done;
    };
    struct Queue {
        const void* owner;
        std::deque<Job> jobs;
    };
    void run();
    Job takeNext();  // the front owner's next job; that owner goes to the back
    // Queued jobs that no running lane has room for.
    std::size_t unplaced() const { return queued_ > freeLanes_ ? queued_ - freeLanes_ : 0; }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Queue> queues_;          // owners with work, in turn: the front is served next
    std::vector<Derivation*> running_;  // derived one alone, for cancel
    std::size_t queued_ = 0;            // jobs in queues_
    std::size_t freeLanes_ = 0;         // free lanes of the threads running lanes
    std::size_t laneSets_ = 0;          // threads running lanes
    bool stopping_ = false;
    std::vector<std::thread> threads_;  // started last, joined first
};

}  // namespace zv
