#pragma once
// An indicator lamp. Its fill colour is kept as a 24-bit colour number with
// red in the low byte; a number with the high bit set names a system colour
// (5: the window background).
#include <QWidget>
#include <cstdint>

namespace zv {

namespace colour {
constexpr std::uint32_t Yellow = 65535;
constexpr std::uint32_t Green = 65280;
constexpr std::uint32_t Red = 255;
constexpr std::uint32_t WindowBackground = 0x80000005u;
}  // namespace colour

class Lamp : public QWidget {
    Q_OBJECT

  public:
    explicit Lamp(QWidget* parent = nullptr);
    std::uint32_t FillColor() const { return fill_; }
    void setFillColor(std::uint32_t colour);
    // The colour a number stands for on this screen.
    QColor toQColor(std::uint32_t colour) const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::uint32_t fill_ = colour::WindowBackground;
};

}  // namespace zv
