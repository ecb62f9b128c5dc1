#pragma once
// The text envelope: one line of Base64 holding "Salted__", an 8-byte salt and
// the AES-256-CTR ciphertext of the text's UTF-8 bytes, key and counter block
// from PBKDF2-HMAC-SHA-512 (10000 iterations). Byte for byte what
//   openssl enc -aes-256-ctr -pbkdf2 -md sha512 -iter 10000 -a -A
// writes and reads. Texts are UTF-8 std::strings.
#include <string>
#include <string_view>

#include "cipher/bytes.h"
#include "cipher/prepared_key.h"
#include "cipher/random.h"

namespace zv {

// Raises zv::Error(errc::CipherFailure, engine text) when the engine or the
// random source fails; never returns an envelope under a predictable salt.
std::string EncryptText(std::string_view Source, std::string_view PassPhrase);

// Never raises for bad input (wrong pass phrase, no header, not Base64):
// it returns meaningless text instead, invalid UTF-8 replaced by U+FFFD.
// Raises zv::Error(errc::CipherFailure, ...) only when the engine fails.
std::string DecryptText(std::string_view Source, std::string_view PassPhrase);

// The deciphered bytes themselves, before they are read as UTF-8.
Bytes DecryptBytes(std::string_view Source, std::string_view PassPhrase);

// As above with the salt taken from Random.
std::string EncryptText(std::string_view Source, std::string_view PassPhrase,
                        const RandomSource& Random);

// Under key material derived ahead (see KeyPool): the same envelope as
// EncryptText(Source, PassPhrase) with Key's salt, without deriving now. Key is
// consumed and wiped; a spent key raises zv::Error(errc::CipherFailure, ...).
std::string EncryptText(std::string_view Source, PreparedKey Key);

// Whether Text is a whole envelope as EncryptText writes it: "U2FsdGVkX1",
// whole Base64 quads, at most two "=" at the end, nothing else.
bool IsEnvelopeText(std::string_view Text);

// Absent pass phrase: the same as an empty one, salt and derivation included.
std::string EncryptText(std::string_view Source);
std::string DecryptText(std::string_view Source);

// Raw-key mode: RawKey is the 48 bytes of key material itself (AES-256 key,
// then initial counter block; shorter is zero-padded, longer is cut). No salt,
// no header, no derivation: the Base64 holds the ciphertext alone.
std::string EncryptText(std::string_view Source, ByteView RawKey);
std::string DecryptText(std::string_view Source, ByteView RawKey);

}  // namespace zv
