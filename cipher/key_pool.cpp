#include "cipher/key_pool.h"

#include <algorithm>
#include <system_error>

#include <openssl/crypto.h>

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "cipher/envelope.h"

namespace zv {
namespace {

// Derives only when a core would otherwise idle. A thread may lower its own
// policy without privileges.
void LowerOwnPriority() {
#ifdef __linux__
    sched_param Param{};
    Param.sched_priority = 0;
    if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &Param) == 0) return;
    // Else nice 19 for this thread alone (Linux nices threads by their id);
    // refused as well, the worker runs at the owner's priority.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
#endif
}

}  // namespace

KeyPool::KeyPool(std::size_t Capacity) : capacity_(std::min(Capacity, kMaxCapacity)) {
    if (capacity_ == 0) return;
    slots_ = std::make_unique<Slot[]>(capacity_);
    try {
        worker_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had: every envelope is derived on the spot, as without a pool.
    }
}

KeyPool::~KeyPool() {
    stopping_.store(true);
    wakeWorker();
    if (worker_.joinable()) worker_.join();
    for (std::size_t i = 0; i < capacity_; ++i) slots_[i].key.clear();
    delete mailbox_.exchange(nullptr);
    OPENSSL_cleanse(passPhrase_.data(), passPhrase_.size());
}

void KeyPool::wakeWorker() {
    wake_.fetch_add(1, std::memory_order_release);
    wake_.notify_one();
}

void KeyPool::setPassPhrase(std::string_view PassPhrase) {
    OPENSSL_cleanse(passPhrase_.data(), passPhrase_.size());  // before assign may free it
    passPhrase_.assign(PassPhrase.begin(), PassPhrase.end());
    hasPassPhrase_ = true;
    currentGeneration_.store(++generation_, std::memory_order_release);
    for (std::size_t i = 0; i < capacity_; ++i) {
        Slot& S = slots_[i];
        if (!S.ready.load(std::memory_order_acquire)) continue;  // the worker's
        S.key.clear();
        S.ready.store(false, std::memory_order_release);
    }
    if (capacity_ == 0) return;
    auto Next = std::make_unique<Phrase>(Phrase{generation_, passPhrase_});
    delete mailbox_.exchange(Next.release(), std::memory_order_acq_rel);  // one never picked up
    wakeWorker();
}

KeyPool::Slot* KeyPool::readySlot() {
    for (std::size_t i = 0; i < capacity_; ++i) {
        Slot& S = slots_[i];
        if (!S.ready.load(std::memory_order_acquire)) continue;
        if (S.generation == generation_) return &S;
        // Finished under a pass phrase since replaced.
        S.key.clear();
        S.ready.store(false, std::memory_order_release);
        wakeWorker();
    }
    return nullptr;
}

std::optional<PreparedKey> KeyPool::take(std::string_view PassPhrase) {
    if (!hasPassPhrase_ || passPhrase_.size() != PassPhrase.size() ||
        CRYPTO_memcmp(passPhrase_.data(), PassPhrase.data(), PassPhrase.size()) != 0)
        return std::nullopt;
    Slot* S = readySlot();
    if (!S) return std::nullopt;
    std::optional<PreparedKey> Key(std::move(S->key));  // the slot's copy is wiped
    S->ready.store(false, std::memory_order_release);
    wakeWorker();
    return Key;
}

std::size_t KeyPool::size() {
    std::size_t Ready = 0;
    for (std::size_t i = 0; i < capacity_; ++i)
        Ready +=
            slots_[i].ready.load(std::memory_order_acquire) && slots_[i].generation == generation_;
    return Ready;
}

void KeyPool::run() {
    LowerOwnPriority();
    std::unique_ptr<Phrase> Current;
    bool Failed = false;  // a derivation failed: none more until the next pass phrase
    for (;;) {
        const std::uint32_t Seen = wake_.load(std::memory_order_acquire);
        if (stopping_.load()) return;
        if (Phrase* Next = mailbox_.exchange(nullptr, std::memory_order_acq_rel)) {
            Current.reset(Next);
            Failed = false;
        }
        Slot* Free = nullptr;
        for (std::size_t i = 0; Current && !Failed && !Free && i < capacity_; ++i)
            if (!slots_[i].ready.load(std::memory_order_acquire)) Free = &slots_[i];
        if (!Free) {
            wake_.wait(Seen, std::memory_order_acquire);  // until the owner changes something
            continue;
        }
        if (!PreparedKey::Prepare(Current->bytes, Free->key, &stopping_)) {
            Failed = true;  // stopping, or on-the-spot derivation will report the cause
            continue;
        }
        if (Current->generation != currentGeneration_.load(std::memory_order_acquire)) {
            Free->key.clear();  // the pass phrase changed meanwhile
            continue;
        }
        Free->generation = Current->generation;
        Free->ready.store(true, std::memory_order_release);
    }
}

std::string EncryptText(std::string_view Source, std::string_view PassPhrase, KeyPool& Pool) {
    if (std::optional<PreparedKey> Key = Pool.take(PassPhrase))
        return EncryptText(Source, std::move(*Key));
    return EncryptText(Source, PassPhrase);
}

}  // namespace zv
