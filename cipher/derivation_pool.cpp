#include "cipher/derivation_pool.h"

#include <algorithm>
#include <system_error>

#include <openssl/crypto.h>

#include "cipher/engine.h"
#include "cipher/pbkdf2.h"

namespace zv {

Derivation::~Derivation() {
    OPENSSL_cleanse(passPhrase.data(), passPhrase.size());
    OPENSSL_cleanse(material.data(), material.size());
}

void Derivation::run() {
    ok = (passPhrase.empty() && salt.empty()) ||
         Pbkdf2Sha512(passPhrase, salt, kPbkdf2Iterations, material, &cancel);
    OPENSSL_cleanse(passPhrase.data(), passPhrase.size());
    done.store(true, std::memory_order_release);
}

DerivationPool::DerivationPool(unsigned Threads) {
    if (Threads == 0) Threads = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < Threads; ++i) {
        try {
            threads_.emplace_back([this] { run(); });
        } catch (const std::system_error&) {
            if (threads_.empty()) throw;  // without any thread nothing would be derived
            break;
        }
    }
}

DerivationPool::~DerivationPool() {
    {
        const std::lock_guard Lock(mutex_);
        stopping_ = true;
        queues_.clear();
        for (Derivation* D : running_) D->cancel.store(true);
    }
    wake_.notify_all();
    for (std::thread& T : threads_) T.join();
}

void DerivationPool::submit(const void* Owner, std::shared_ptr<Derivation> D,
                            std::function<void()> Done) {
    {
        const std::lock_guard Lock(mutex_);
        auto It = std::find_if(queues_.begin(), queues_.end(),
                               [Owner](const Queue& Q) { return Q.owner == Owner; });
        if (It == queues_.end()) It = queues_.insert(queues_.end(), Queue{Owner, {}});
        It->jobs.push_back({std::move(D), std::move(Done)});
    }
    wake_.notify_one();
}

void DerivationPool::run() {
    std::unique_lock Lock(mutex_);
    for (;;) {
        wake_.wait(Lock, [this] { return stopping_ || !queues_.empty(); });
        if (stopping_) return;
        // The front owner's next job; the owner goes to the back of the turn.
        Queue Front = std::move(queues_.front());
        queues_.pop_front();
        Job Next = std::move(Front.jobs.front());
        Front.jobs.pop_front();
        if (!Front.jobs.empty()) queues_.push_back(std::move(Front));
        if (Next.derivation->cancel.load()) continue;
        running_.push_back(Next.derivation.get());
        Lock.unlock();
        Next.derivation->run();
        Lock.lock();
        running_.erase(std::find(running_.begin(), running_.end(), Next.derivation.get()));
        if (stopping_ || Next.derivation->cancel.load()) continue;
        Lock.unlock();
        Next.done();
        Lock.lock();
    }
}

}  // namespace zv
