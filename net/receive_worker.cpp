#include "net/receive_worker.h"

#include <chrono>

#include "app/activity_display.h"
#include "app/qt_cipher.h"
#include "cipher/error.h"

namespace zv {

ReceiveWorker::ReceiveWorker(Deliver deliver)
    : deliver_(std::move(deliver)), thread_([this] { run(); }) {}

ReceiveWorker::~ReceiveWorker() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_one();
    thread_.join();
}

void ReceiveWorker::push(Job job) {
    {
        const std::lock_guard lock(mutex_);
        queuedChars_ += job.received.size();
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void ReceiveWorker::dropQueued() {
    const std::lock_guard lock(mutex_);
    jobs_.clear();
    queuedChars_ = 0;
}

qsizetype ReceiveWorker::queuedChars() const {
    const std::lock_guard lock(mutex_);
    return queuedChars_ + inHandChars_;
}

qsizetype ReceiveWorker::queuedJobs() const {
    const std::lock_guard lock(mutex_);
    return qsizetype(jobs_.size());
}

void ReceiveWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (jobs_.empty() && !stopping_) {
            // The end of a long envelope is handed on once the line goes quiet.
            if (reader_.holding()) {
                if (!wake_.wait_for(lock, std::chrono::milliseconds(kQuietMs),
                                    [this] { return !jobs_.empty() || stopping_; })) {
                    Result result{connection_, lastPass_, {}};
                    for (EnvelopeReader::Message& m : reader_.release(lastPass_))
                        result.items.append({std::move(m), {}, {}, false});
                    lock.unlock();
                    addPassOn(result, lastPassOn_);
                    deliver_(std::move(result));
                    lock.lock();
                    continue;
                }
            } else {
                wake_.wait(lock, [this] { return !jobs_.empty() || stopping_; });
            }
        }
        if (stopping_) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        // Text that queued up meanwhile goes with it: a long envelope that came
        // in many reads is then deciphered a few times, not once per read.
        while (!job.closed && !jobs_.empty() && !jobs_.front().closed &&
               jobs_.front().connection == job.connection &&
               jobs_.front().passPhrase == job.passPhrase && jobs_.front().passOn == job.passOn) {
            job.received += jobs_.front().received;
            jobs_.pop_front();
        }
        queuedChars_ -= job.received.size();
        inHandChars_ = job.received.size();  // still waiting, as the window sees it
        lock.unlock();
        Result result = work(job);
        lock.lock();
        inHandChars_ = 0;
        lock.unlock();
        deliver_(std::move(result));
        lock.lock();
    }
}

ReceiveWorker::Result ReceiveWorker::work(const Job& job) {
    if (job.connection != connection_) {  // a new client: nothing of the last one goes on
        reader_.clear();
        connection_ = job.connection;
    }
    lastPass_ = job.passPhrase;
    lastPassOn_ = job.passOn;
    Result result{job.connection, job.passPhrase, {}};
    const QList<EnvelopeReader::Message> messages =
        job.closed ? reader_.finish(job.passPhrase) : reader_.append(job.received, job.passPhrase);
    for (const EnvelopeReader::Message& m : messages) result.items.append({m, {}, {}, false});
    addPassOn(result, job.passOn);
    if (job.closed) result.items.append({{}, {}, {}, true});
    return result;
}

// The other client gets the serial line text encrypted afresh; the derivation
// is done here so that the window only sends it.
void ReceiveWorker::addPassOn(Result& result, bool passOn) {
    if (!passOn) return;
    for (Item& item : result.items) {
        const auto kind = item.message.kind;
        if (kind != EnvelopeReader::Message::Text && kind != EnvelopeReader::Message::NotEnvelope)
            continue;
        item.lineText = stripLF(paneEdit(item.message.text));
        try {
            item.passOnEnvelope = EncryptText(item.lineText, result.passPhrase);
        } catch (const Error&) {
            item.passOnEnvelope.clear();  // the window encrypts again and reports a failure
        }
    }
}

}  // namespace zv
