#pragma once
// What the client accepts as one envelope on its own.
#include <QStringView>

namespace zv::client {

// An envelope as the cipher writes it: the "Salted__" header, whole Base64
// quads, at most two "=" at the end, nothing else.
bool isEnvelope(QStringView text);

}  // namespace zv::client
