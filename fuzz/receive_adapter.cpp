#include "receive_adapter.h"

#include <algorithm>

#include "net/envelope_framer.h"
#include "net/envelope_joiner.h"

namespace zv::fuzz {

std::size_t pendingLimit() {
    return EnvelopeFramer::kMaxPending;
}

// As frmZVServer::dataArrival and clientClosed do it.
Received receive(const std::vector<std::string>& reads, const std::string& passPhrase) {
    const QString key = QString::fromStdString(passPhrase);
    EnvelopeFramer framer;
    EnvelopeJoiner joiner;
    Received out;
    for (const std::string& read : reads) {
        const QStringList pieces =
            framer.append(QString::fromLatin1(read.data(), qsizetype(read.size())));
        out.mostPending = std::max(out.mostPending, std::size_t(framer.pending()));
        for (qsizetype i = 0; i < pieces.size(); ++i)
            out.clear += joiner.decrypt(pieces[i], i + 1 == pieces.size(), key).toStdString();
    }
    for (const QString& piece : framer.flush())
        out.clear += joiner.decrypt(piece, true, key).toStdString();
    return out;
}

}  // namespace zv::fuzz
