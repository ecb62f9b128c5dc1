#include "core/message_edit.h"

namespace zv {

namespace {
constexpr char kBackspace = 8;
constexpr char kLineFeed = 10;

bool continuation(char c) {
    return (quint8(c) & 0xC0) == 0x80;
}

// The length of the last UTF-8 character of `text`.
qsizetype lastCharacter(QByteArrayView text) {
    qsizetype n = 1;
    while (n < text.size() && continuation(text[text.size() - n])) ++n;
    return text.isEmpty() ? 0 : n;
}

QByteArray withoutLineFeeds(QByteArray text) {
    if (text.contains(kLineFeed)) text.removeIf([](char c) { return c == kLineFeed; });
    return text;
}
}  // namespace

QByteArray editMessage(QByteArray utf8, bool transparent) {
    MessageEdit edit(transparent);
    QByteArray edited = edit.add(std::move(utf8));
    return edited + edit.end();
}

QByteArray MessageEdit::add(QByteArray utf8) {
    if (transparent_) return utf8;
    QByteArray work;
    if (!utf8.contains(kBackspace)) {
        // The usual case: the piece itself, edited where it lies.
        work = held_.isEmpty() ? std::move(utf8) : held_ + utf8;
    } else {
        work.reserve(held_.size() + utf8.size());
        work = held_;
        for (const char c : std::as_const(utf8)) {
            if (c != kBackspace)
                work.append(c);
            else
                work.chop(lastCharacter(work));  // nothing before it: dropped
        }
    }
    const qsizetype last = lastCharacter(work);
    held_ = work.last(last);
    work.truncate(work.size() - last);
    return withoutLineFeeds(std::move(work));
}

QByteArray MessageEdit::end() {
    return withoutLineFeeds(std::exchange(held_, QByteArray()));
}

}  // namespace zv
