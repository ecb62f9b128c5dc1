#pragma once
// The pass phrase, taken the way `openssl -pass` takes it, so it need not
// appear in the process list.
#include <QString>
#include <string>

namespace zv::client {

// `source`: "pass:TEXT", "env:VARIABLE", "file:PATH" (its first line, without
// the line feed), or empty to ask on the controlling terminal without echo
// (twice when `confirm`). Raises Failure when the source cannot be read.
std::string readPassPhrase(const QString& source, bool confirm);

}  // namespace zv::client
