#include "cipher/codec.h"

#include <array>
#include <cstring>
#include <utility>

namespace zv {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each Base64 character, -1 for everything else ("=" included).
constexpr std::array<signed char, 256> SextetTable() {
    std::array<signed char, 256> Table{};
    Table.fill(-1);
    for (std::size_t i = 0; i < kAlphabet.size(); ++i)
        Table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    return Table;
}
constexpr auto kSextets = SextetTable();

// The two characters of every 12-bit value: half the lookups of one per sextet.
constexpr std::array<std::array<char, 2>, 4096> PairTable() {
    std::array<std::array<char, 2>, 4096> Table{};
    for (std::size_t v = 0; v < Table.size(); ++v)
        Table[v] = {kAlphabet[v >> 6], kAlphabet[v & 63]};
    return Table;
}
constexpr auto kPairs = PairTable();

// Continuation bytes a lead byte needs and the range its first one must lie
// in (narrowed to exclude overlong forms, surrogates and values > U+10FFFF).
struct Lead {
    int Need;
    std::uint8_t Low, High;
};

Lead LeadOf(std::uint8_t Byte) {
    if (Byte >= 0xC2 && Byte <= 0xDF) return {1, 0x80, 0xBF};
    if (Byte == 0xE0) return {2, 0xA0, 0xBF};
    if (Byte == 0xED) return {2, 0x80, 0x9F};
    if (Byte >= 0xE1 && Byte <= 0xEF) return {2, 0x80, 0xBF};
    if (Byte == 0xF0) return {3, 0x90, 0xBF};
    if (Byte >= 0xF1 && Byte <= 0xF3) return {3, 0x80, 0xBF};
    if (Byte == 0xF4) return {3, 0x80, 0x8F};
    return {0, 0, 0};  // continuation byte, C0, C1 or F5..FF: never a lead
}

// The end of the run of ASCII bytes at Data[From], eight bytes at a time.
std::size_t AsciiEnd(ByteView Data, std::size_t From) {
    std::size_t i = From;
    for (std::uint64_t Eight = 0; i + 8 <= Data.size(); i += 8) {
        std::memcpy(&Eight, &Data[i], 8);
        if (Eight & 0x8080808080808080u) break;
    }
    while (i < Data.size() && Data[i] < 0x80) ++i;
    return i;
}

}  // namespace

bool IsAscii(ByteView Data) {
    return AsciiEnd(Data, 0) == Data.size();
}

Bytes EncodeUtf8(std::string_view Text) {
    const ByteView View = AsBytes(Text);
    return Bytes(View.begin(), View.end());
}

std::string DecodeUtf8(ByteView Data) {
    std::string Text;
    Text.reserve(Data.size());
    std::size_t i = 0;
    while (i < Data.size()) {
        if (const std::size_t End = AsciiEnd(Data, i); End > i) {  // the usual case, in runs
            Text.append(reinterpret_cast<const char*>(&Data[i]), End - i);
            i = End;
            continue;
        }
        const std::uint8_t Byte = Data[i];
        const Lead L = LeadOf(Byte);
        std::size_t Taken = 1;  // bytes of this sequence that fit so far
        while (Taken <= static_cast<std::size_t>(L.Need) && i + Taken < Data.size()) {
            const std::uint8_t Next = Data[i + Taken];
            const std::uint8_t Low = Taken == 1 ? L.Low : 0x80;
            const std::uint8_t High = Taken == 1 ? L.High : 0xBF;
            if (Next < Low || Next > High) break;
            ++Taken;
        }
        if (L.Need > 0 && Taken == static_cast<std::size_t>(L.Need) + 1)
            Text.append(reinterpret_cast<const char*>(&Data[i]), Taken);
        else
            Text.append(kReplacement);
        i += Taken;
    }
    return Text;
}

std::string Utf8Stream::Decode(ByteView Piece) {
    ByteView Data = Piece;
    Bytes Joined;
    if (!Tail_.empty()) {  // a character the last piece cut: join it to this one
        Joined = std::exchange(Tail_, {});
        Joined.insert(Joined.end(), Piece.begin(), Piece.end());
        Data = Joined;
    }
    // A lead byte within the last three whose sequence is valid so far but
    // needs bytes still to come: from it on, the rest waits.
    std::size_t Cut = Data.size();
    for (std::size_t Back = 1; Back <= 3 && Back <= Data.size(); ++Back) {
        const std::size_t At = Data.size() - Back;
        const Lead L = LeadOf(Data[At]);
        if (L.Need == 0) {
            if (Data[At] >= 0x80 && Data[At] <= 0xBF) continue;  // a continuation: look further
            break;
        }
        bool ValidSoFar = static_cast<std::size_t>(L.Need) >= Back;
        for (std::size_t k = 1; ValidSoFar && k < Back; ++k)
            ValidSoFar =
                Data[At + k] >= (k == 1 ? L.Low : 0x80) && Data[At + k] <= (k == 1 ? L.High : 0xBF);
        if (ValidSoFar) Cut = At;
        break;
    }
    Tail_.assign(Data.begin() + static_cast<std::ptrdiff_t>(Cut), Data.end());
    return DecodeUtf8(ByteView(Data).first(Cut));
}

std::string Utf8Stream::Finish() {
    const std::string Text = DecodeUtf8(Tail_);
    Tail_.clear();
    return Text;
}

std::string EncodeBase64(ByteView Data) {
    // Written by index into a buffer of the final size, two characters a
    // lookup: a push_back per character cost twice as much as the cipher.
    std::string Text((Data.size() + 2) / 3 * 4, '=');
    char* Out = Text.data();
    const std::uint8_t* In = Data.data();
    const std::size_t Whole = Data.size() / 3 * 3;
    for (std::size_t i = 0; i < Whole; i += 3, Out += 4) {
        const std::uint32_t Group = In[i] << 16 | In[i + 1] << 8 | In[i + 2];
        std::memcpy(Out, kPairs[Group >> 12].data(), 2);
        std::memcpy(Out + 2, kPairs[Group & 4095].data(), 2);
    }
    if (const std::size_t Rest = Data.size() - Whole; Rest > 0) {  // the '=' stay
        const std::uint32_t Group = In[Whole] << 16 | (Rest == 2 ? In[Whole + 1] << 8 : 0);
        Out[0] = kAlphabet[Group >> 18];
        Out[1] = kAlphabet[Group >> 12 & 63];
        if (Rest == 2) Out[2] = kAlphabet[Group >> 6 & 63];
    }
    return Text;
}

Bytes DecodeBase64(std::string_view Text) {
    Bytes Data;
    Data.reserve(Text.size() / 4 * 3 + 2);
    std::uint32_t Bits = 0;  // undelivered bits, the newest in the low end
    int Count = 0;           // how many of them
    for (const char Ch : Text) {
        if (Ch == '\r' || Ch == '\n') continue;
        const int Sextet = kSextets[static_cast<unsigned char>(Ch)];
        if (Sextet < 0) break;
        Bits = (Bits << 6 | static_cast<std::uint32_t>(Sextet)) & 0xFFFF;
        Count += 6;
        if (Count >= 8) {
            Count -= 8;
            Data.push_back(static_cast<std::uint8_t>(Bits >> Count));
        }
    }
    return Data;
}

}  // namespace zv
