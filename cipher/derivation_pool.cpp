#include "cipher/derivation_pool.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include <openssl/crypto.h>

#include "cipher/engine.h"
#include "cipher/pbkdf2.h"

namespace zv {

Derivation::~Derivation() {
    OPENSSL_cleanse(passPhrase.data(), passPhrase.size());
    OPENSSL_cleanse(material.data(), material.size());
}

void Derivation::run() {
    end((passPhrase.empty() && salt.empty()) ||
        Pbkdf2Sha512(passPhrase, salt, kPbkdf2Iterations, material, &cancel));
}

void Derivation::end(bool Ok) {
    ok = Ok;
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
        queued_ = 0;
        for (Derivation* D : running_) D->cancel.store(true);
    }
    wake_.notify_all();
    for (std::thread& T : threads_) T.join();
}

void DerivationPool::submit(const void* Owner, std::vector<std::shared_ptr<Derivation>> Batch,
                            const std::function<void()>& Done) {
    if (Batch.empty()) return;
    {
        const std::lock_guard Lock(mutex_);
        auto It = std::find_if(queues_.begin(), queues_.end(),
                               [Owner](const Queue& Q) { return Q.owner == Owner; });
        if (It == queues_.end()) It = queues_.insert(queues_.end(), Queue{Owner, {}});
        for (auto& D : Batch) It->jobs.push_back({std::move(D), Done});
        queued_ += Batch.size();
    }
    wake_.notify_all();
}

DerivationPool::Job DerivationPool::takeNext() {
    Queue Front = std::move(queues_.front());
    queues_.pop_front();
    Job Next = std::move(Front.jobs.front());
    Front.jobs.pop_front();
    if (!Front.jobs.empty()) queues_.push_back(std::move(Front));
    --queued_;
    return Next;
}

void DerivationPool::run() {
    // Jobs in this thread's lanes; each Pbkdf2Job stays put while its lane runs.
    struct InLane {
        Job job;
        Pbkdf2Job work;
    };
    std::vector<std::unique_ptr<InLane>> InLanes;
    std::vector<Pbkdf2Job*> Ended;
    Pbkdf2LaneSet Lanes(kPbkdf2Iterations);
    const std::size_t Width = Pbkdf2Lanes();
    const bool HaveLanes = Width > 1;
    std::size_t Counted = 0;  // this thread's part of freeLanes_
    const auto Finish = [](Job& J, bool Stopping) {
        if (!Stopping && !J.derivation->cancel.load()) J.done();
    };

    std::unique_lock Lock(mutex_);
    for (;;) {
        // An idle thread leaves to running lanes what they have room for, and
        // starts more lanes only for a full set: half-empty sets side by side
        // would cost the cores the relay's other threads need.
        wake_.wait(Lock, [&] {
            return stopping_ || !InLanes.empty() || unplaced() >= (laneSets_ > 0 ? Width : 1);
        });
        if (stopping_) return;
        if (InLanes.empty() && (!HaveLanes || (laneSets_ == 0 && queued_ < kPbkdf2BatchFrom))) {
            // One alone: half the time a lane takes, for a server that is not
            // busy. Never while lanes run: a lone derivation costs four lanes.
            Job Next = takeNext();
            if (Next.derivation->cancel.load()) continue;
            running_.push_back(Next.derivation.get());
            Lock.unlock();
            Next.derivation->run();
            Lock.lock();
            running_.erase(std::find(running_.begin(), running_.end(), Next.derivation.get()));
            const bool Stopping = stopping_;
            Lock.unlock();
            Finish(Next, Stopping);
            Lock.lock();
            continue;
        }
        // Free lanes take the owners' next jobs in turn.
        if (InLanes.empty()) ++laneSets_;
        freeLanes_ -= std::exchange(Counted, 0);
        while (Lanes.freeLanes() > 0 && queued_ > 0) {
            auto Slot = std::make_unique<InLane>(InLane{takeNext(), {}});
            Derivation& D = *Slot->job.derivation;
            if (D.cancel.load()) continue;
            Slot->work = {D.passPhrase, D.salt, D.material, &D.cancel};
            if (D.passPhrase.empty() && D.salt.empty()) {
                D.run();  // all-zero material at once
                Lock.unlock();
                Finish(Slot->job, false);
                Lock.lock();
            } else if (Lanes.start(Slot->work)) {
                InLanes.push_back(std::move(Slot));
            } else {
                Lock.unlock();  // rare: the library failed; one by one
                D.run();
                Finish(Slot->job, false);
                Lock.lock();
            }
        }
        if (InLanes.empty()) {  // every job taken was cancelled
            --laneSets_;
            continue;
        }
        Counted = Lanes.freeLanes();
        freeLanes_ += Counted;
        Lock.unlock();
        Ended.clear();
        Lanes.step(Ended);
        for (Pbkdf2Job* Work : Ended) {
            auto It = std::find_if(InLanes.begin(), InLanes.end(),
                                   [Work](const auto& S) { return &S->work == Work; });
            (*It)->job.derivation->end(Work->ok);
            Finish((*It)->job, false);
            InLanes.erase(It);
        }
        Lock.lock();
        if (InLanes.empty()) {
            freeLanes_ -= std::exchange(Counted, 0);
            --laneSets_;
            wake_.notify_all();  // what waits for lanes may now be derived alone
        }
    }
}

}  // namespace zv
