#include "cipher/envelope.h"

#include <algorithm>
#include <array>
#include <optional>

#include "cipher/codec.h"
#include "cipher/engine.h"
#include "cipher/error.h"

namespace zv {
namespace {

constexpr std::string_view kMagic = "Salted__";
constexpr std::size_t kSaltSize = PreparedKey::kSaltSize;
constexpr std::size_t kHeaderSize = kMagic.size() + kSaltSize;  // 16

void Crypt(std::span<std::uint8_t> Data, ByteView PassPhrase, ByteView Salt, ByteView RawKey) {
    std::string ErrorText;
    if (!CryptBytes(Data, PassPhrase, Salt, RawKey, 0, ErrorText))
        throw Error(errc::CipherFailure, ErrorText);
}

// "Salted__", Salt, then the text's UTF-8 bytes enciphered in place under
// PassPhrase and Salt, or under RawKey when PassPhrase and KdfSalt are empty.
std::string Seal(std::string_view Source, ByteView Salt, ByteView PassPhrase, ByteView KdfSalt,
                 ByteView RawKey) {
    Bytes Data(kHeaderSize + Source.size());
    const WipeOnExit Wipe(Data);
    std::copy(kMagic.begin(), kMagic.end(), Data.begin());
    std::copy(Salt.begin(), Salt.end(), Data.begin() + kMagic.size());
    std::copy(Source.begin(), Source.end(), Data.begin() + kHeaderSize);
    Crypt(std::span(Data).subspan(kHeaderSize), PassPhrase, KdfSalt, RawKey);
    return EncodeBase64(Data);
}

}  // namespace

std::string EncryptText(std::string_view Source, std::string_view PassPhrase,
                        const RandomSource& Random) {
    std::array<std::uint8_t, kSaltSize> Salt{};
    std::string ErrorText;
    if (!Random(Salt, ErrorText)) throw Error(errc::CipherFailure, ErrorText);
    return Seal(Source, Salt, AsBytes(PassPhrase), Salt, {});
}

std::string EncryptText(std::string_view Source, PreparedKey Key) {
    // A spent key holds zeros: enciphering under it would repeat a keystream.
    if (!Key.ready()) throw Error(errc::CipherFailure, "Key material already used");
    return Seal(Source, Key.salt(), {}, {}, Key.material());
}

std::string EncryptText(std::string_view Source, std::string_view PassPhrase) {
    return EncryptText(Source, PassPhrase, SystemRandom);
}

std::string EncryptText(std::string_view Source) {
    return EncryptText(Source, "");
}

std::string EncryptText(std::string_view Source, ByteView RawKey) {
    Bytes Data = EncodeUtf8(Source);
    const WipeOnExit Wipe(Data);
    Crypt(Data, {}, {}, RawKey);
    return EncodeBase64(Data);
}

Bytes DecryptBytes(std::string_view Source, std::string_view PassPhrase) {
    Bytes Data = DecodeBase64(Source);
    const WipeOnExit Wipe(Data);
    // Without a complete header the whole data is deciphered under an empty salt.
    ByteView Salt;
    std::span<std::uint8_t> Body(Data);
    if (Data.size() >= kHeaderSize && std::equal(kMagic.begin(), kMagic.end(), Data.begin())) {
        Salt = ByteView(Data.data() + kMagic.size(), kSaltSize);
        Body = Body.subspan(kHeaderSize);
    }
    Crypt(Body, AsBytes(PassPhrase), Salt, {});
    return Bytes(Body.begin(), Body.end());
}

std::string DecryptText(std::string_view Source, std::string_view PassPhrase) {
    Bytes Clear = DecryptBytes(Source, PassPhrase);
    const WipeOnExit Wipe(Clear);
    return DecodeUtf8(Clear);
}

bool IsEnvelopeText(std::string_view Text) {
    constexpr std::string_view Header = "U2FsdGVkX1";  // "Salted__", first 60 bits
    constexpr std::size_t Shortest = 24;               // the envelope of an empty message
    if (Text.size() < Shortest || Text.size() % 4 != 0 || !Text.starts_with(Header)) return false;
    std::size_t Body = Text.size();
    while (Body > Text.size() - 2 && Text[Body - 1] == '=') --Body;
    return std::all_of(Text.begin(), Text.begin() + std::ptrdiff_t(Body), [](char C) {
        return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') ||
               C == '+' || C == '/';
    });
}

std::string DecryptText(std::string_view Source) {
    return DecryptText(Source, "");
}

std::string DecryptText(std::string_view Source, ByteView RawKey) {
    Bytes Data = DecodeBase64(Source);
    const WipeOnExit Wipe(Data);
    Crypt(Data, {}, {}, RawKey);
    return DecodeUtf8(Data);
}

}  // namespace zv
