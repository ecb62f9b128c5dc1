#pragma once
// Text and Base64 conversions of the envelope. None of them ever fails.
#include <string>
#include <string_view>

#include "cipher/bytes.h"

namespace zv {

// The UTF-8 bytes of a text. Texts are UTF-8 std::strings, so the bytes go
// through unchanged: nothing the caller handed in is altered or lost.
Bytes EncodeUtf8(std::string_view Text);

// The text whose UTF-8 form Data is. Each maximal ill-formed subsequence
// (stray continuation byte, overlong form, surrogate, beyond U+10FFFF,
// truncated sequence) becomes one U+FFFD.
std::string DecodeUtf8(ByteView Data);

// Whether every byte of Data is below 0x80 (ASCII is UTF-8 as it stands).
bool IsAscii(ByteView Data);

// DecodeUtf8 for bytes that come in pieces: a sequence cut at the end of a
// piece waits (at most 3 bytes) for the next one, so the pieces decode to the
// same text as their whole would. Finish() decodes what still waits.
class Utf8Stream {
  public:
    std::string Decode(ByteView Piece);
    std::string Finish();
    bool Holding() const { return !Tail_.empty(); }

  private:
    Bytes Tail_;  // the start of a sequence the last piece did not finish
};

// Standard alphabet with "=" padding, all on one line (no CR, no LF).
std::string EncodeBase64(ByteView Data);

// Skips CR and LF anywhere; stops at "=" or at the first other character
// outside the alphabet and keeps the whole bytes decoded before it.
Bytes DecodeBase64(std::string_view Text);

}  // namespace zv
