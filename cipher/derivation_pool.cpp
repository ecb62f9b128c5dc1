#include "cipher/derivation_pool.h"

#include <algorithm>
#include <span>
#include <system_error>

#include <openssl/crypto.h>

#include "cipher/engine.h"
#include "cipher/pbkdf2.h"

namespace zv {

Derivation::~Derivation() {
    OPENSSL_cleanse(passPhrase.data(), passPhrase.size());
    OPENSSL_cleanse(material.data(), material.size());
}

namespace {
// Derives all of Ds, side by side in vector lanes when that pays; each one sets
// `done` last.
void DeriveAll(std::span<Derivation* const> Ds) {
    const auto Trivial = [](const Derivation* D) {
        return D->passPhrase.empty() && D->salt.empty();
    };
    std::vector<Pbkdf2Job> Jobs;
    for (Derivation* D : Ds)
        if (!Trivial(D)) Jobs.push_back({D->passPhrase, D->salt, D->material, &D->cancel});
    if (Jobs.size() >= kPbkdf2BatchFrom)
        Pbkdf2Sha512Batch(Jobs, kPbkdf2Iterations);
    else
        for (Pbkdf2Job& J : Jobs)
            J.ok = Pbkdf2Sha512(J.passPhrase, J.salt, kPbkdf2Iterations, J.out, J.cancel);
    auto Next = Jobs.begin();
    for (Derivation* D : Ds) {
        D->ok = Trivial(D) || (Next++)->ok;
        OPENSSL_cleanse(D->passPhrase.data(), D->passPhrase.size());
        D->done.store(true, std::memory_order_release);
    }
}
}  // namespace

void Derivation::run() {
    Derivation* Self = this;
    DeriveAll({&Self, 1});
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
    const std::size_t Lanes = Pbkdf2Lanes();
    std::vector<Job> Batch;
    std::vector<Derivation*> Derivations;
    std::unique_lock Lock(mutex_);
    for (;;) {
        wake_.wait(Lock, [this] { return stopping_ || !queues_.empty(); });
        if (stopping_) return;
        // As many jobs as there are lanes when a batch pays, else one (another
        // thread takes the next); owners in turn: the front owner's next job,
        // then that owner goes to the back.
        std::size_t Queued = 0;
        for (const Queue& Q : queues_) Queued += Q.jobs.size();
        const std::size_t Take = Queued >= kPbkdf2BatchFrom ? Lanes : 1;
        while (Batch.size() < Take && !queues_.empty()) {
            Queue Front = std::move(queues_.front());
            queues_.pop_front();
            Job Next = std::move(Front.jobs.front());
            Front.jobs.pop_front();
            if (!Front.jobs.empty()) queues_.push_back(std::move(Front));
            if (Next.derivation->cancel.load()) continue;
            Derivations.push_back(Next.derivation.get());
            Batch.push_back(std::move(Next));
        }
        if (Derivations.empty()) continue;
        running_.insert(running_.end(), Derivations.begin(), Derivations.end());
        Lock.unlock();
        DeriveAll(Derivations);
        Lock.lock();
        for (Derivation* D : Derivations)
            running_.erase(std::find(running_.begin(), running_.end(), D));
        const bool Stopping = stopping_;
        Lock.unlock();
        for (Job& J : Batch)
            if (!Stopping && !J.derivation->cancel.load()) J.done();
        Batch.clear();
        Derivations.clear();
        Lock.lock();
    }
}

}  // namespace zv
