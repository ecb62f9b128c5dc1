#include "app/client_area.h"

#include <algorithm>

namespace zv {

ClientArea::ClientArea(QSize designTwips, QWidget* parent)
    : QWidget(parent), designTwips_(designTwips) {
    preferred_ = designSize();
    setMinimumSize(preferred_);
}

int ClientArea::pixels(double twips) const {
    return qRound(twips * logicalDpiX() / 1440.0);
}

void ClientArea::setPreferredSize(QSize size) {
    preferred_ = size.expandedTo(designSize());
    updateGeometry();
}

void ClientArea::place(QWidget* w, const QRect& twips, Anchor anchor) {
    items_.push_back({w, twips, anchor});
    arrange(items_.back());
}

void ClientArea::arrange(const Item& item) const {
    if (!item.widget) return;
    // Smaller than the design (never once shown: the minimum holds) counts as none.
    const int dx = std::max(0, width() - designSize().width());
    const int dy = std::max(0, height() - designSize().height());
    const Anchor& a = item.anchor;
    const QRect r(pixels(item.twips.x()), pixels(item.twips.y()), pixels(item.twips.width()),
                  pixels(item.twips.height()));
    const int left = r.x() + qRound(a.left * dx);
    const int top = r.y() + qRound(a.top * dy);
    const int right = r.x() + r.width() + qRound(a.right * dx);
    const int bottom = r.y() + r.height() + qRound(a.bottom * dy);
    item.widget->setGeometry(left, top, right - left, bottom - top);
}

void ClientArea::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    for (const Item& item : items_) arrange(item);
}

}  // namespace zv
