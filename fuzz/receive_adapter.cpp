#include "receive_adapter.h"

#include <algorithm>

#include "net/envelope_reader.h"

namespace zv::fuzz {

std::size_t pendingLimit() {
    return EnvelopeFramer::kMaxEnvelope;
}

// As one listener's ReceiveWorker does it: every read, a quiet time after
// every other read, and the client's close at the end.
Received receive(const std::vector<std::string>& reads, const std::string& passPhrase) {
    const QString key = QString::fromStdString(passPhrase);
    EnvelopeReader reader;
    Received out;
    auto take = [&](const QList<EnvelopeReader::Message>& messages) {
        for (const EnvelopeReader::Message& m : messages)
            if (m.kind == EnvelopeReader::Message::Text ||
                m.kind == EnvelopeReader::Message::NotEnvelope)
                out.clear += m.text.toStdString();
    };
    for (std::size_t i = 0; i < reads.size(); ++i) {
        take(reader.append(QString::fromLatin1(reads[i].data(), qsizetype(reads[i].size())), key));
        out.mostPending = std::max(out.mostPending, std::size_t(reader.pending()));
        if (i % 2 == 1) take(reader.release(key));
    }
    take(reader.finish(key));
    return out;
}

}  // namespace zv::fuzz
