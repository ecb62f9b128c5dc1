#pragma once
// The window's client area: objects placed in twips from its top left corner,
// as drawn for the smallest size. Room beyond that size goes to the objects
// by anchors: each edge of an object moves by a fixed share of the extra
// width (left, right edges) or height (top, bottom edges).
#include <QPointer>
#include <QRect>
#include <QWidget>
#include <vector>

namespace zv {

class ClientArea : public QWidget {
    Q_OBJECT

  public:
    // Shares of the extra room each edge moves by: 0 stays, 1 takes all.
    struct Anchor {
        double left, top, right, bottom;
    };

    // `designTwips`: the size the objects were drawn for, also the minimum.
    ClientArea(QSize designTwips, QWidget* parent);

    // Places `w` at `twips` (at the design size) and keeps it anchored.
    void place(QWidget* w, const QRect& twips, Anchor anchor = {});
    QSize designSize() const { return pixels(designTwips_); }  // pixels
    QSize designTwips() const { return designTwips_; }
    // The size the window asks for when it is laid out (pixels).
    void setPreferredSize(QSize pixels);
    QSize sizeHint() const override { return preferred_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    struct Item {
        QPointer<QWidget> widget;
        QRect twips;
        Anchor anchor;
    };
    int pixels(double twips) const;
    QSize pixels(QSize twips) const { return {pixels(twips.width()), pixels(twips.height())}; }
    void arrange(const Item& item) const;

    QSize designTwips_;
    QSize preferred_;
    std::vector<Item> items_;
};

}  // namespace zv
