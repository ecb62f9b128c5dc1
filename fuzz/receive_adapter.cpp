#include "receive_adapter.h"

#include <algorithm>

#include "stream/envelope_stream.h"

namespace zv::fuzz {

std::size_t pendingLimit() {
    return 0;  // with keys at hand, every read is handed on whole
}

// As one listener does it: every read, then the client's close; keys derived
// at once.
Received receive(const std::vector<std::string>& reads, const std::string& passPhrase) {
    const QByteArray key = QByteArray::fromStdString(passPhrase);
    EnvelopeStream stream([](EnvelopeStream::Batch batch) {
        for (const auto& d : batch) d->run();
    });
    Received out;
    auto take = [&] {
        for (const EnvelopeStream::Piece& p : stream.take())
            if (p.kind == EnvelopeStream::Piece::Text ||
                p.kind == EnvelopeStream::Piece::NotEnvelope)
                out.clear += p.text.toStdString();
        out.mostPending = std::max(out.mostPending, std::size_t(stream.waitingBytes()));
    };
    for (std::size_t i = 0; i < reads.size(); ++i) {
        stream.append(QByteArrayView(reads[i].data(), qsizetype(reads[i].size())), key);
        take();
    }
    stream.finish(key);
    take();
    return out;
}

}  // namespace zv::fuzz
