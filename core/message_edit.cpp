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
    text.removeIf([](char c) { return c == kLineFeed; });
    return text;
}
}  // namespace

QByteArray editMessage(QByteArrayView utf8, bool transparent) {
    MessageEdit edit(transparent);
    QByteArray edited = edit.add(utf8);
    return edited + edit.end();
}

QByteArray MessageEdit::add(QByteArrayView utf8) {
    if (transparent_) return utf8.toByteArray();
    QByteArray work = held_;
    if (!utf8.contains(kBackspace)) {
        work += utf8;
    } else {
        work.reserve(work.size() + utf8.size());
        for (const char c : utf8) {
            if (c != kBackspace)
                work.append(c);
            else
                work.chop(lastCharacter(work));  // nothing before it: dropped
        }
    }
    const qsizetype last = lastCharacter(work);
    held_ = work.last(last);
    work.chop(last);
    return withoutLineFeeds(std::move(work));
}

QByteArray MessageEdit::end() {
    return withoutLineFeeds(std::exchange(held_, QByteArray()));
}

}  // namespace zv
