// The server's receive path on a stream of real envelopes with garbage
// between them, cut into reads at random places; some envelopes broken into
// lines as `openssl enc -a` writes them (LF or CR LF every 64 characters).
// Each envelope and each garbage chunk is followed by a separator: a blank,
// tab, CR LF, LF or "#" (only "#", which ends Base64, when the garbage may
// hold Base64 that would otherwise go on an unpadded envelope). Properties,
// once the client closed:
//  - inert garbage (no Base64 character, so it deciphers to nothing): the
//    clear text is exactly what each envelope gives on its own, in order
//    (an incomplete UTF-8 character at a message's end included);
//  - any garbage: what each envelope gives on its own appears in the clear
//    text, in order, garbage deciphering to meaningless text around it;
//  - with keys at hand nothing is held back after a read, even when a
//    garbage chunk is a header followed by tens of KiB of Base64.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "check.h"
#include "cipher/codec.h"
#include "cipher/envelope.h"
#include "receive_adapter.h"

namespace {

const std::string kPassPhrase = "ResetNow";
constexpr const char* kSeparators[] = {"\n", "\r\n", " ", "\t", "#"};
constexpr std::size_t kMaxReads = 8;

bool isBase64(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// Up to `most` bytes; the length comes from the end of the input, the bytes
// from its front, so both stay put while the fuzzer changes the other.
std::string text(FuzzedDataProvider& in, std::size_t most) {
    return in.ConsumeBytesAsString(in.ConsumeIntegralInRange<std::size_t>(0, most));
}

std::string garbage(FuzzedDataProvider& in, bool inert) {
    if (!inert && in.ConsumeIntegralInRange(0, 15) == 0)
        return "U2FsdGVkX1" + std::string(in.ConsumeIntegralInRange<std::size_t>(0, 1 << 14), 'A');
    std::string g = text(in, 256);
    if (inert) std::replace_if(g.begin(), g.end(), isBase64, '.');
    return g;
}

// What a failing input fed and got, for the report.
void describe(const std::vector<std::string>& reads, const std::vector<std::string>& texts,
              const std::string& got) {
    auto quoted = [](const std::string& s) {
        std::string q;
        for (unsigned char c : s) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            q += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, char(c)) : std::string(hex);
        }
        return q;
    };
    for (const std::string& r : reads) std::fprintf(stderr, "read:  \"%s\"\n", quoted(r).c_str());
    for (const std::string& t : texts) std::fprintf(stderr, "text:  \"%s\"\n", quoted(t).c_str());
    std::fprintf(stderr, "clear: \"%s\"\n", quoted(got).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool inert = in.ConsumeBool();
    std::string stream;
    std::vector<std::size_t> marks{0};  // where each envelope, garbage chunk and separator ends
    std::vector<std::size_t> starts;    // where each envelope starts
    auto add = [&](const std::string& part) {
        stream += part;
        marks.push_back(stream.size());
    };
    auto separator = [&] { add(inert ? in.PickValueInArray(kSeparators) : "#"); };
    std::vector<std::string> texts;  // what each envelope gives on its own
    const int count = in.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < count; ++i) {
        if (in.ConsumeBool()) {
            add(garbage(in, inert));
            separator();
        }
        const std::string message = text(in, 600);
        const zv::RandomSource salt = [i](std::span<std::uint8_t> out, std::string&) {
            std::fill(out.begin(), out.end(), std::uint8_t(0x5A + i));
            return true;
        };
        starts.push_back(stream.size());
        std::string envelope = zv::EncryptText(message, kPassPhrase, salt);
        if (const int breaks = in.ConsumeIntegralInRange(0, 2); breaks > 0)
            for (std::size_t at = 64; at < envelope.size(); at += 64 + breaks)
                envelope.insert(at, breaks == 1 ? "\n" : "\r\n");
        add(envelope);
        separator();
        texts.push_back(zv::DecodeUtf8(zv::AsBytes(message)));
    }
    if (in.ConsumeBool()) add(garbage(in, inert));

    // TCP cuts: anywhere, near the end of a part, or on a 4-character
    // boundary inside an envelope (where a first part looks whole).
    std::vector<std::size_t> cuts{0, stream.size()};
    while (cuts.size() < kMaxReads + 1 && in.remaining_bytes() > 0) {
        std::size_t at = 0;
        switch (in.ConsumeIntegralInRange(0, 2)) {
            case 0:
                at = in.ConsumeIntegralInRange<std::size_t>(0, stream.size());
                break;
            case 1: {
                const std::size_t mark =
                    marks[in.ConsumeIntegralInRange<std::size_t>(0, marks.size() - 1)];
                const std::size_t shift = in.ConsumeIntegralInRange<std::size_t>(0, 16);
                at = mark + shift < 8 ? 0 : mark + shift - 8;  // up to 8 either side
                break;
            }
            default:
                if (!starts.empty())
                    at = starts[in.ConsumeIntegralInRange<std::size_t>(0, starts.size() - 1)] +
                         4 * in.ConsumeIntegralInRange<std::size_t>(0, 256);
        }
        cuts.push_back(std::min(at, stream.size()));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    std::vector<std::string> reads;
    for (std::size_t k = 1; k < cuts.size(); ++k)
        reads.push_back(stream.substr(cuts[k - 1], cuts[k] - cuts[k - 1]));

    const zv::fuzz::Received got = zv::fuzz::receive(reads, kPassPhrase);
    FUZZ_CHECK(got.mostPending <= zv::fuzz::pendingLimit());
    bool whole = true;
    if (inert) {
        std::string all;
        for (const std::string& t : texts) all += t;
        whole = got.clear == all;
    } else {
        std::size_t from = 0;
        for (const std::string& t : texts) {
            const std::size_t found = got.clear.find(t, from);
            whole = whole && found != std::string::npos;
            from = whole ? found + t.size() : from;
        }
    }
    if (!whole) describe(reads, texts, got.clear);
    FUZZ_CHECK(whole);
    return 0;
}
