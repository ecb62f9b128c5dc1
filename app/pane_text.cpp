#include "app/pane_text.h"

#include <algorithm>

namespace zv {

void PaneText::setText(const QString& text) {
    text_ = text;
    selStart_ = 0;
    selLength_ = 0;
}

void PaneText::setSelStart(int pos) {
    selStart_ = std::clamp(pos, 0, static_cast<int>(text_.size()));
    selLength_ = 0;
}

void PaneText::setSelLength(int length) {
    selLength_ = std::clamp(length, 0, static_cast<int>(text_.size()) - selStart_);
}

QString PaneText::SelText() const {
    return text_.mid(selStart_, selLength_);
}

void PaneText::setSelText(const QString& text) {
    text_.replace(selStart_, selLength_, text);
    selStart_ += static_cast<int>(text.size());
    selLength_ = 0;
}

}  // namespace zv
