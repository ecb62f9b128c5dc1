#pragma once
// Key material for outgoing envelopes, derived ahead of time. One PBKDF2
// derivation (about 3 ms) is almost the whole cost of an envelope; because
// the sender chooses the salt, it can run before the message exists. Worker
// threads (one per core but one, at least one, at most kMaxWorkers) at normal
// priority keep up to Capacity entries ready for one pass phrase, so a message
// finds its key waiting even while other programs keep every core busy; they
// sleep once the pool is full, so an idle server uses no CPU. Decryption
// cannot use this: the sender chose that salt.
//
// The owner's calls never wait for a derivation. Entries pass between the
// owner and the workers through per-slot atomic states; a worker claims a
// free slot before it derives, so no two fill the same one and no entry is
// handed out twice. The one lock guards the current pass phrase and is held
// only to swap or copy a pointer.
//
// Memory: a slot is 80 bytes (8 salt, 48 key material, generation, state):
// 1.3 KiB at the default 16, 5 KiB at kMaxCapacity. Each worker adds its
// stack (8 MiB of address space reserved, 12 KiB touched), its malloc arena
// and OpenSSL's per-thread random state: under 100 KiB resident per worker,
// measured. Nothing is written anywhere; every secret (entries, the pass
// phrase copies) is wiped when it is taken, dropped or the pool is destroyed.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cipher/bytes.h"
#include "cipher/prepared_key.h"

namespace zv {

class KeyPool {
  public:
    static constexpr std::size_t kDefaultCapacity = 16;  // entries: a serial burst
    static constexpr std::size_t kMaxCapacity = 64;
    static constexpr unsigned kMaxWorkers = 4;

    // Capacity is cut to kMaxCapacity; 0 keeps nothing ahead (and starts no
    // thread). Workers: threads that derive; 0 for one per core but one.
    // KeyReady, when given, is called on a worker's thread after a take()
    // found none, once an entry is ready or a derivation failed (see
    // derivesAhead). Nothing is derived before the first setPassPhrase.
    explicit KeyPool(std::size_t Capacity = kDefaultCapacity, unsigned Workers = 0,
                     std::function<void()> KeyReady = {});
    // Stops the workers (derivations in progress are abandoned), joins them
    // and wipes everything.
    ~KeyPool();
    KeyPool(const KeyPool&) = delete;
    KeyPool& operator=(const KeyPool&) = delete;

    // The owner's calls; all from one thread.
    //
    // Drops every entry and from now on hands out only entries derived under
    // PassPhrase; those still being derived under the old one are thrown away.
    void setPassPhrase(std::string_view PassPhrase);
    // An entry derived under PassPhrase, handed out once; none when no entry
    // is ready (the workers then fill the pool at once) or the pool derives
    // for another pass phrase. The slot it frees is filled at the next
    // refill(): a derivation takes a core the owner may want, so the owner
    // says when (once its link is quiet, or the pool runs low).
    std::optional<PreparedKey> take(std::string_view PassPhrase);
    // The workers fill up to Most free slots (all of them unless told),
    // eight at a time in vector lanes.
    void refill(std::size_t Most = kMaxCapacity);
    std::size_t size();  // entries ready now
    // True while entries for PassPhrase are on their way: take() finding none
    // means a short wait. False when none will come: another pass phrase, no
    // worker thread could be started, or a derivation failed (the random
    // source or the library); the caller then derives on the spot, which says why.
    bool derivesAhead(std::string_view PassPhrase) const;

    std::size_t capacity() const { return capacity_; }

  private:
    enum State : std::uint8_t { Free, Filling, Ready };
    struct Slot {
        std::atomic<State> state{Free};  // Ready: the owner's; Filling: one worker's
        std::uint64_t generation = 0;    // of the pass phrase the key was derived under
        PreparedKey key;
    };
    struct Phrase {  // a pass phrase handed to the workers
        std::uint64_t generation;
        Bytes bytes;
        ~Phrase() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    };

    bool holds(std::string_view PassPhrase) const;  // the owner's pass phrase is PassPhrase
    void run();
    void wakeWorkers();
    Slot* claimFree();
    std::size_t count(State Wanted) const;  // slots in that state now
    Slot* readySlot();  // the owner's: a current entry, stale ones dropped on the way

    const std::size_t capacity_;
    std::unique_ptr<Slot[]> slots_;
    std::function<void()> keyReady_;
    Bytes passPhrase_;              // the owner's copy, to check take()'s argument
    bool hasPassPhrase_ = false;    // false until setPassPhrase
    std::uint64_t generation_ = 0;  // the owner's: one more at every setPassPhrase
    std::atomic<std::uint64_t> currentGeneration_{0};  // generation_, for the workers
    std::mutex phraseMutex_;
    std::shared_ptr<const Phrase> phrase_;            // guarded by phraseMutex_
    std::atomic<std::uint32_t> wake_{0};              // bumped whenever the workers have work
    std::atomic<bool> wanted_{false};                 // take() found nothing: call keyReady_
    std::atomic<std::size_t> asked_{0};               // keys the owner asked to be made
    std::atomic<std::uint64_t> failedGeneration_{0};  // a derivation failed under this phrase
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> workers_;  // started last, joined first
};

// An envelope under a key from Pool when it holds one for PassPhrase, else
// derived on the spot: the same envelope either way, always a fresh salt.
std::string EncryptText(std::string_view Source, std::string_view PassPhrase, KeyPool& Pool);

}  // namespace zv
