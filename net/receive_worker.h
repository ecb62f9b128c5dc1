#pragma once
// Deciphers the text one listener's clients send, on a thread of its own and
// in the order it arrived. Every envelope costs a key derivation (milliseconds)
// and the format has no authentication, so anyone who can reach a port can
// send envelopes without the key: here such a flood costs that listener's
// thread alone, never the window's. The window runs the rest of each
// message's steps (show, serial line, status, pass-on) in order.
#include <QList>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "net/envelope_reader.h"

namespace zv {

class ReceiveWorker {
  public:
    // A reader holding the end of a long envelope hands it on after this much
    // time without more data (milliseconds).
    static constexpr int kQuietMs = 20;

    struct Job {
        quint64 connection = 0;  // the socket's connection the text came from
        QString received;        // as received
        bool closed = false;     // the peer closed: what waits, then the close
        QString passPhrase;
        bool passOn = false;  // also encrypt each message's serial line text afresh
    };
    struct Item {
        EnvelopeReader::Message message;
        QString lineText;        // with passOn: the serial line text of the message
        QString passOnEnvelope;  // with passOn: lineText encrypted, empty if that failed
        bool closed = false;     // the peer's close, after its last message
    };
    struct Result {
        quint64 connection = 0;
        QString passPhrase;  // the one the items were deciphered and encrypted with
        QList<Item> items;   // possibly none: the job only fed the reader
    };
    // Called on the worker's thread, once per job and per quiet-time release.
    using Deliver = std::function<void(Result)>;

    explicit ReceiveWorker(Deliver deliver);
    ~ReceiveWorker();  // drops what is queued, waits for the job in hand
    ReceiveWorker(const ReceiveWorker&) = delete;
    ReceiveWorker& operator=(const ReceiveWorker&) = delete;

    void push(Job job);
    // Forgets the jobs not yet started (their connection is gone).
    void dropQueued();
    qsizetype queuedChars() const;
    qsizetype queuedJobs() const;

  private:
    void run();
    Result work(const Job& job);
    void addPassOn(Result& result, bool passOn);

    Deliver deliver_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    qsizetype queuedChars_ = 0;  // of the jobs in jobs_
    qsizetype inHandChars_ = 0;  // of the job being worked on
    bool stopping_ = false;
    // Worker thread only:
    EnvelopeReader reader_;
    quint64 connection_ = 0;
    QString lastPass_;  // for a quiet-time release
    bool lastPassOn_ = false;
    std::thread thread_;  // last: starts once everything above exists
};

}  // namespace zv
