#include "cipher/key_pool.h"

#include <algorithm>
#include <array>
#include <system_error>
#include <utility>

#include <openssl/crypto.h>

#include "cipher/envelope.h"
#include "cipher/pbkdf2.h"

namespace zv {

KeyPool::KeyPool(std::size_t Capacity, unsigned Workers, std::function<void()> KeyReady)
    : capacity_(std::min(Capacity, kMaxCapacity)), keyReady_(std::move(KeyReady)) {
    if (capacity_ == 0) return;
    slots_ = std::make_unique<Slot[]>(capacity_);
    // One core stays for the owner's thread: under a flood it reads and sends
    // while keys are made, and more keys would only make smaller envelopes.
    if (Workers == 0) Workers = std::thread::hardware_concurrency() - 1;  // 0 if unknown: -1
    Workers = std::clamp(Workers, 1u, kMaxWorkers);
    try {
        while (workers_.size() < Workers) workers_.emplace_back([this] { run(); });
    } catch (const std::system_error&) {
        // Fewer threads to be had: those started serve; with none, every
        // envelope is derived on the spot, as without a pool.
    }
}

KeyPool::~KeyPool() {
    stopping_.store(true);
    wakeWorkers();
    for (std::thread& Worker : workers_) Worker.join();
    for (std::size_t i = 0; i < capacity_; ++i) slots_[i].key.clear();
    OPENSSL_cleanse(passPhrase_.data(), passPhrase_.size());
}

void KeyPool::wakeWorkers() {
    wake_.fetch_add(1, std::memory_order_release);
    wake_.notify_all();
}

void KeyPool::setPassPhrase(std::string_view PassPhrase) {
    OPENSSL_cleanse(passPhrase_.data(), passPhrase_.size());  // before assign may free it
    passPhrase_.assign(PassPhrase.begin(), PassPhrase.end());
    hasPassPhrase_ = true;
    currentGeneration_.store(++generation_, std::memory_order_release);
    for (std::size_t i = 0; i < capacity_; ++i) {
        Slot& S = slots_[i];
        if (S.state.load(std::memory_order_acquire) != Ready) continue;  // a worker's
        S.key.clear();
        S.state.store(Free, std::memory_order_release);
    }
    if (workers_.empty()) return;
    auto Next = std::make_shared<const Phrase>(Phrase{generation_, passPhrase_});
    {
        const std::lock_guard Lock(phraseMutex_);
        phrase_.swap(Next);
    }
    refill();
}  // the old phrase is wiped once no worker holds it

KeyPool::Slot* KeyPool::readySlot() {
    for (std::size_t i = 0; i < capacity_; ++i) {
        Slot& S = slots_[i];
        if (S.state.load(std::memory_order_acquire) != Ready) continue;
        if (S.generation == generation_) return &S;
        // Finished under a pass phrase since replaced.
        S.key.clear();
        S.state.store(Free, std::memory_order_release);
        wakeWorkers();
    }
    return nullptr;
}

bool KeyPool::holds(std::string_view PassPhrase) const {
    return hasPassPhrase_ && passPhrase_.size() == PassPhrase.size() &&
           CRYPTO_memcmp(passPhrase_.data(), PassPhrase.data(), PassPhrase.size()) == 0;
}

std::optional<PreparedKey> KeyPool::take(std::string_view PassPhrase) {
    if (!holds(PassPhrase)) return std::nullopt;
    Slot* S = readySlot();
    if (!S) {
        // Asked before looking again: a worker finishing after this look
        // sees the request and calls keyReady_.
        wanted_.store(true);
        if (!(S = readySlot())) {
            wakeWorkers();  // nothing ready: they fill at once
            return std::nullopt;
        }
    }
    std::optional<PreparedKey> Key(std::move(S->key));  // the slot's copy is wiped
    S->state.store(Free, std::memory_order_release);
    return Key;
}

void KeyPool::refill(std::size_t Most) {
    asked_.store(Most);
    wakeWorkers();
}

std::size_t KeyPool::size() {
    std::size_t Count = 0;
    for (std::size_t i = 0; i < capacity_; ++i)
        Count += slots_[i].state.load(std::memory_order_acquire) == Ready &&
                 slots_[i].generation == generation_;
    return Count;
}

bool KeyPool::derivesAhead(std::string_view PassPhrase) const {
    return !workers_.empty() && holds(PassPhrase) && failedGeneration_.load() != generation_;
}

std::size_t KeyPool::count(State Wanted) const {
    std::size_t N = 0;
    for (std::size_t i = 0; i < capacity_; ++i)
        N += slots_[i].state.load(std::memory_order_acquire) == Wanted;
    return N;
}

KeyPool::Slot* KeyPool::claimFree() {
    for (std::size_t i = 0; i < capacity_; ++i) {
        State Expected = Free;
        if (slots_[i].state.compare_exchange_strong(Expected, Filling, std::memory_order_acq_rel))
            return &slots_[i];
    }
    return nullptr;
}

void KeyPool::run() {
    for (;;) {
        const std::uint32_t Seen = wake_.load(std::memory_order_acquire);
        if (stopping_.load()) return;
        std::shared_ptr<const Phrase> Current;
        {
            const std::lock_guard Lock(phraseMutex_);
            Current = phrase_;
        }
        // Only as many as asked (refill(), a new pass phrase, or all when
        // the owner found none ready): derivations take a core the owner
        // may want. As many at once as run side by side in vector lanes
        // (eight keys cost about as much as two one by one); with fewer
        // than three, one by one costs less.
        if (wanted_.load()) asked_.store(capacity_);
        // Taken from the request before the slots are claimed, so a request
        // made meanwhile (a new pass phrase) stays whole; a full pool ends it.
        std::size_t Asked = asked_.load();
        std::size_t Most = 0;
        do {
            Most = std::min({std::max<std::size_t>(1, Pbkdf2Lanes()), Asked, kLanes});
        } while (Most > 0 && !asked_.compare_exchange_weak(Asked, Asked - Most));
        std::array<Slot*, kLanes> Mine{};
        std::array<PreparedKey*, kLanes> Keys{};
        std::size_t Claimed = 0;
        while (Current && failedGeneration_.load() != Current->generation && Claimed < Most &&
               (Mine[Claimed] = claimFree()) != nullptr)
            Keys[Claimed] = &Mine[Claimed]->key, ++Claimed;
        if (Claimed == 0) {  // nothing asked, all full or being filled, or no pass phrase
            wake_.wait(Seen, std::memory_order_acquire);
            continue;
        }
        if (asked_.load() > 0) wakeWorkers();  // the rest: another worker, or this one next
        bool Made = true;
        if (Claimed >= kPbkdf2BatchFrom) {
            Made =
                PreparedKey::PrepareAll(Current->bytes, std::span(Keys).first(Claimed), &stopping_);
        } else {
            for (std::size_t i = 0; i < Claimed; ++i)
                Made = PreparedKey::Prepare(Current->bytes, *Keys[i], &stopping_) && Made;
        }
        const bool StillCurrent =
            Current->generation == currentGeneration_.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < Claimed; ++i) {
            Slot& S = *Mine[i];
            if (S.key.ready() && StillCurrent) {
                S.generation = Current->generation;
                S.state.store(Ready);
            } else {
                // Stopping, a pass phrase since replaced, or a failure.
                S.key.clear();
                S.state.store(Free, std::memory_order_release);
            }
        }
        // A failure: the owner derives on the spot from now on, which
        // reports its cause.
        if (!Made && !stopping_.load() && StillCurrent)
            failedGeneration_.store(Current->generation);
        if (wanted_.exchange(false) && keyReady_) keyReady_();
    }
}

std::string EncryptText(std::string_view Source, std::string_view PassPhrase, KeyPool& Pool) {
    std::string Envelope;
    if (std::optional<PreparedKey> Key = Pool.take(PassPhrase))
        Envelope = EncryptText(Source, std::move(*Key));
    else
        Envelope = EncryptText(Source, PassPhrase);
    Pool.refill();
    return Envelope;
}

}  // namespace zv
