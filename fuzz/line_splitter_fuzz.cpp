// The client's line splitter on any bytes, fed in random reads. The input
// describes up to 24 runs of a short unit: once, repeated up to 300,000 times,
// or filling the last line to about one or two pieces, so that lines near and
// over a piece's size occur; about 640 KiB at most.
// Properties: no piece holds a line feed or exceeds kMaxPiece; only a line
// longer than kMaxPiece goes as several pieces; a piece that ends inside a
// line ends between UTF-8 characters, as late as it can (up to 3 bytes short
// of kMaxPiece; 4 continuation bytes in a row leave no boundary: cut anyway);
// the pieces, each lineEnd one followed by a line feed, give back the input
// (with a line feed after a last line that had none); and how the input is
// cut into reads changes nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "client/line_splitter.h"

namespace {

using zv::client::LineSplitter;
using zv::client::Piece;

constexpr std::size_t kMaxStream = 5 << 17;  // 640 KiB: two whole pieces and more

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

void add(std::vector<Piece>& to, std::vector<Piece> pieces) {
    for (Piece& p : pieces) to.push_back(std::move(p));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::string stream;
    for (int run = 0; run < 24 && in.remaining_bytes() > 0 && stream.size() < kMaxStream; ++run) {
        const int kind = in.ConsumeIntegralInRange(0, 7);
        const std::size_t times = kind == 0 ? in.ConsumeIntegralInRange(0, 300000) : 1;
        const std::string unit = in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 16));
        for (std::size_t i = 0; i < times && stream.size() < kMaxStream; ++i) stream += unit;
        if (kind == 1 && !unit.empty()) {
            // Fill the last line up to one or two pieces, give or take 4 bytes.
            const std::size_t lf = stream.rfind('\n');
            const std::size_t lineStart = lf == std::string::npos ? 0 : lf + 1;
            const std::size_t goal = lineStart +
                                     LineSplitter::kMaxPiece * in.ConsumeIntegralInRange(1, 2) +
                                     in.ConsumeIntegralInRange(0, 8) - 4;
            while (stream.size() < goal) stream += unit;
            stream.resize(goal);
        }
    }

    LineSplitter whole;
    std::vector<Piece> once = whole.append(stream);
    add(once, whole.finish());

    LineSplitter split;
    std::vector<Piece> pieces;
    std::size_t at = 0;
    for (int reads = 0; reads < 16 && at < stream.size(); ++reads) {
        const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, stream.size() - at);
        add(pieces, split.append(std::string_view(stream).substr(at, n)));
        at += n;
    }
    add(pieces, split.append(std::string_view(stream).substr(at)));
    add(pieces, split.finish());

    std::string joined;
    std::size_t line = 0, linePieces = 0;  // the line so far: bytes and pieces
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& p = pieces[i];
        FUZZ_CHECK(p.text.size() <= LineSplitter::kMaxPiece);
        FUZZ_CHECK(p.text.find('\n') == std::string::npos);
        FUZZ_CHECK(i >= once.size() || (p.text == once[i].text && p.lineEnd == once[i].lineEnd));
        line += p.text.size();
        ++linePieces;
        if (p.lineEnd) {
            FUZZ_CHECK(linePieces == 1 || line > LineSplitter::kMaxPiece);
            line = linePieces = 0;
        } else {
            // Cut as late as it can be without splitting a character: short
            // of kMaxPiece only by the continuation bytes after a lead byte.
            FUZZ_CHECK(i + 1 < pieces.size());
            const std::string& next = pieces[i + 1].text;
            const std::size_t shortBy = LineSplitter::kMaxPiece - p.text.size();
            FUZZ_CHECK(shortBy <= 3 && next.size() > shortBy);
            if (isContinuation(next[0])) {  // no boundary within 3 bytes: cut anyway
                FUZZ_CHECK(shortBy == 0 && isContinuation(p.text.end()[-1]) &&
                           isContinuation(p.text.end()[-2]) && isContinuation(p.text.end()[-3]));
            }
            for (std::size_t k = 1; k <= shortBy; ++k) FUZZ_CHECK(isContinuation(next[k]));
        }
        joined += p.text;
        if (p.lineEnd) joined += '\n';
    }
    FUZZ_CHECK(pieces.size() == once.size());
    const bool lastLineOpen = !stream.empty() && stream.back() != '\n';
    FUZZ_CHECK(joined == stream + (lastLineOpen ? "\n" : ""));
    return 0;
}
