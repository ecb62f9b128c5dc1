#pragma once
// The text model of a data pane: the whole record of traffic shown in it,
// with a caret/selection addressed in characters from 0. Widgets mirror it.
#include <QString>

namespace zv {

class PaneText {
  public:
    const QString& Text() const { return text_; }
    void setText(const QString& text);  // caret to the start, nothing selected

    int SelStart() const { return selStart_; }
    void setSelStart(int pos);  // clamped to 0..length; clears the selection
    int SelLength() const { return selLength_; }
    void setSelLength(int length);  // clamped to what follows SelStart
    QString SelText() const;
    // Replaces the selection (or inserts at the caret); the caret ends after it.
    void setSelText(const QString& text);

  private:
    QString text_;
    int selStart_ = 0;
    int selLength_ = 0;
};

}  // namespace zv
