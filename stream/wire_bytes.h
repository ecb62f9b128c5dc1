#pragma once
// Serial bytes on the wire. A message is text (UTF-8), and the serial line
// carries one character per byte: a device byte travels as the character of
// that code (0x80-0xFF as the UTF-8 of the Latin-1 character), and a
// character reaches the line as its code, one beyond Latin-1 as '?' (one per
// UTF-16 unit, so a character beyond U+FFFF is "??").
#include <QByteArray>

namespace zv {

// Device bytes as the text of a message (UTF-8); ASCII is both, and comes
// back as the same array.
QByteArray bytesAsText(const QByteArray& bytes);

// The text of a message (valid UTF-8) as serial bytes; ASCII is both, and
// comes back as the same array.
QByteArray textAsBytes(const QByteArray& utf8);

}  // namespace zv
