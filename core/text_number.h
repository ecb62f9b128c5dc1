#pragma once
// Conversions of stored text to numbers, the way the stored settings were
// always read. Text that does not convert raises zv::Error: 13 "Type mismatch";
// a value outside the target type raises 6 "Overflow".
#include <QString>
#include <cstdint>

namespace zv {

// The leading number of `text`: blanks, tabs and line feeds skipped wherever
// they stand; optional sign, digits, one decimal point, exponent; "&H"/"&O"
// prefixes for hexadecimal/octal; stops at the first other character; 0 when
// the text does not begin with a number. Never raises.
double leadingNumber(const QString& text);

// The whole text (surrounding blanks allowed) as a number, else error 13.
double toDouble(const QString& text);
float toSingle(const QString& text);        // 6 beyond single precision
std::int16_t toInt16(const QString& text);  // rounds half to even; 6 outside 16 bits
std::int32_t toInt32(const QString& text);  // rounds half to even; 6 outside 32 bits

// Decimal text of a single-precision number, as it is stored ("1234.5", "-60").
QString singleToText(float value);

}  // namespace zv
