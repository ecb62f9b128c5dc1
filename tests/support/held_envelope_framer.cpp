#include "support/held_envelope_framer.h"

namespace zv::test {

QStringList HeldEnvelopeFramer::append(const QByteArray& received) {
    QString text = held_ + QString::fromLatin1(received);
    held_.clear();
    QStringList out = framer_.append(text);
    // Nothing pending means the last piece ended exactly where this read did.
    if (framer_.pending() == 0 && !out.isEmpty() && EnvelopeFramer::mayContinue(out.last()))
        held_ = out.takeLast();
    return out;
}

QStringList HeldEnvelopeFramer::flush() {
    QStringList out;
    if (!held_.isEmpty()) out.append(held_);
    held_.clear();
    out.append(framer_.flush());
    return out;
}

}  // namespace zv::test
