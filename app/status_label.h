#pragma once
// The status line. text() is always the whole caption; when it is wider than
// the label it is painted cut short with an ellipsis, and the tool tip then
// holds the whole caption.
#include <QLabel>

namespace zv {

class StatusLabel : public QLabel {
    Q_OBJECT

  public:
    using QLabel::QLabel;
    // After a change of caption: the tool tip follows.
    void syncToolTip();
    bool isCutShort() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
};

}  // namespace zv
