#include "app/lamp.h"

#include <QPainter>

namespace zv {

Lamp::Lamp(QWidget* parent) : QWidget(parent) {}

void Lamp::setFillColor(std::uint32_t colour) {
    fill_ = colour;
    update();
}

QColor Lamp::toQColor(std::uint32_t colour) const {
    if (colour & 0x80000000u) {
        // System colour numbers, as the desktop palette names them.
        switch (colour & 0xFFFFu) {
            case 8:
                return palette().color(QPalette::WindowText);
            case 13:
                return palette().color(QPalette::Highlight);
            case 14:
                return palette().color(QPalette::HighlightedText);
            case 15:
                return palette().color(QPalette::Button);
            case 17:
                return palette().color(QPalette::Disabled, QPalette::Text);
            case 18:
                return palette().color(QPalette::ButtonText);
            default:
                return palette().color(QPalette::Window);  // 5: window background
        }
    }
    return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

void Lamp::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(64, 64, 64), 1));
    painter.setBrush(toQColor(fill_));
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.drawRoundedRect(r, 3, 3);
}

}  // namespace zv
