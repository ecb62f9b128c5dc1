// Envelope decoding on any text and pass phrase. The input is the envelope
// text, or a pass phrase, a line feed and the envelope text ("ResetNow" when
// there is no line feed, so a file `openssl enc -a -A` wrote is an input).
// Properties: nothing raises (the engine does not fail on any input), the
// text is well-formed UTF-8 and equals the deciphered bytes when those are
// well-formed already, and raw-key envelopes go there and back.
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "cipher/codec.h"
#include "cipher/envelope.h"
#include "cipher/error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t lf = input.find('\n');
    const std::string_view passPhrase = lf == input.npos ? "ResetNow" : input.substr(0, lf);
    const std::string_view text = lf == input.npos ? input : input.substr(lf + 1);
    try {
        const zv::Bytes bytes = zv::DecryptBytes(text, passPhrase);
        FUZZ_CHECK(bytes.size() * 4 <= text.size() * 3);
        const std::string clear = zv::DecryptText(text, passPhrase);
        FUZZ_CHECK(zv::fuzz::isUtf8(clear));
        const std::string_view asText(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        FUZZ_CHECK(zv::fuzz::isUtf8(asText) ? clear == asText
                                            : clear.find("\xEF\xBF\xBD") != clear.npos);

        const zv::ByteView rawKey = zv::AsBytes(passPhrase);
        const std::string raw = zv::DecryptText(text, rawKey);
        FUZZ_CHECK(zv::fuzz::isUtf8(raw));
        FUZZ_CHECK(zv::DecryptText(zv::EncryptText(raw, rawKey), rawKey) == raw);
    } catch (const zv::Error& e) {
        std::fprintf(stderr, "cipher raised %d: %s\n", e.number(), e.description().c_str());
        std::abort();
    }
    return 0;
}
