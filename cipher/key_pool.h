#pragma once
// Key material for outgoing envelopes, derived ahead of time. One PBKDF2
// derivation (about 3 ms) is almost the whole cost of an envelope; because
// the sender chooses the salt, it can run before the message exists. One
// worker thread at the lowest scheduling priority keeps up to Capacity entries
// ready for one pass phrase, so a message finds its key waiting and refilling
// never takes time from the window or the relay. Decryption cannot use this:
// the sender chose that salt.
//
// The owner's calls never wait for the worker: an idle-priority thread may sit
// preempted for seconds on a busy machine, so it holds no lock the owner needs.
// Entries pass between the two through per-slot atomic flags.
//
// Memory: a slot is 80 bytes (8 salt, 48 key material, generation, flags):
// 1.3 KiB at the default 16, 5 KiB at kMaxCapacity. The worker adds its stack
// (8 MiB of address space reserved, 12 KiB touched) and its malloc arena and
// OpenSSL's per-thread random state: under 100 KiB resident in all, measured.
// Nothing is written anywhere; every secret (entries, the pass phrase copies)
// is wiped when it is taken, dropped or the pool is destroyed.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "cipher/bytes.h"
#include "cipher/prepared_key.h"

namespace zv {

class KeyPool {
  public:
    static constexpr std::size_t kDefaultCapacity = 16;  // entries: a serial burst
    static constexpr std::size_t kMaxCapacity = 64;

    // Capacity is cut to kMaxCapacity; 0 keeps nothing ahead (and starts no
    // thread). Nothing is derived before the first setPassPhrase.
    explicit KeyPool(std::size_t Capacity = kDefaultCapacity);
    // Stops the worker (a derivation in progress is abandoned), joins it and
    // wipes everything.
    ~KeyPool();
    KeyPool(const KeyPool&) = delete;
    KeyPool& operator=(const KeyPool&) = delete;

    // The owner's calls; all from one thread.
    //
    // Drops every entry and from now on hands out only entries derived under
    // PassPhrase; one still being derived under the old one is thrown away.
    void setPassPhrase(std::string_view PassPhrase);
    // An entry derived under PassPhrase, handed out once; none when no entry
    // is ready or the pool derives for another pass phrase.
    std::optional<PreparedKey> take(std::string_view PassPhrase);
    std::size_t size();  // entries ready now

    std::size_t capacity() const { return capacity_; }

  private:
    struct Slot {
        std::atomic<bool> ready{false};  // true: the owner's to take; false: the worker's to fill
        std::uint64_t generation = 0;    // of the pass phrase the key was derived under
        PreparedKey key;
    };
    struct Phrase {  // a pass phrase handed to the worker
        std::uint64_t generation;
        Bytes bytes;
        ~Phrase() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    };

    void run();
    void wakeWorker();
    Slot* readySlot();  // the owner's: a current entry, stale ones dropped on the way

    const std::size_t capacity_;
    std::unique_ptr<Slot[]> slots_;
    Bytes passPhrase_;              // the owner's copy, to check take()'s argument
    bool hasPassPhrase_ = false;    // false until setPassPhrase
    std::uint64_t generation_ = 0;  // the owner's: one more at every setPassPhrase
    std::atomic<std::uint64_t> currentGeneration_{0};  // generation_, for the worker
    std::atomic<Phrase*> mailbox_{nullptr};            // the newest pass phrase, not yet picked up
    std::atomic<std::uint32_t> wake_{0};               // bumped whenever the worker has work
    std::atomic<bool> stopping_{false};
    std::thread worker_;  // started last, joined first
};

// An envelope under a key from Pool when it holds one for PassPhrase, else
// derived on the spot: the same envelope either way, always a fresh salt.
std::string EncryptText(std::string_view Source, std::string_view PassPhrase, KeyPool& Pool);

}  // namespace zv
