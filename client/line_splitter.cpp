#include "client/line_splitter.h"

namespace zv::client {

namespace {
bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}
}  // namespace

std::vector<Piece> LineSplitter::append(std::string_view bytes) {
    std::vector<Piece> out;
    std::size_t searched = pending_.size();
    pending_.append(bytes);
    std::size_t start = 0;
    for (;;) {
        const std::size_t lf = pending_.find('\n', searched);
        if (lf != std::string::npos && lf - start <= kMaxPiece) {
            out.push_back({pending_.substr(start, lf - start), true});
            start = searched = lf + 1;
            continue;
        }
        if (pending_.size() - start <= kMaxPiece) break;
        // Too long without a line feed: cut before a UTF-8 character starts
        // (a run of continuation bytes longer than a character is cut anyway).
        std::size_t cut = start + kMaxPiece;
        for (int back = 0; back < 3 && isContinuation(pending_[cut]); ++back) --cut;
        if (isContinuation(pending_[cut])) cut = start + kMaxPiece;
        out.push_back({pending_.substr(start, cut - start), false});
        start = searched = cut;
    }
    pending_.erase(0, start);
    return out;
}

std::vector<Piece> LineSplitter::finish() {
    std::vector<Piece> out;
    if (!pending_.empty()) out.push_back({std::move(pending_), true});
    pending_.clear();
    return out;
}

}  // namespace zv::client
