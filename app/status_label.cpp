#include "app/status_label.h"

#include <QPainter>
#include <QStyle>

namespace zv {

bool StatusLabel::isCutShort() const {
    return fontMetrics().horizontalAdvance(text()) > contentsRect().width();
}

void StatusLabel::syncToolTip() {
    setToolTip(isCutShort() ? text() : QString());
}

void StatusLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect room = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, room.width());
    style()->drawItemText(&painter, room, int(alignment()) | Qt::TextSingleLine, palette(),
                          isEnabled(), shown, foregroundRole());
}

void StatusLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    syncToolTip();
}

}  // namespace zv
