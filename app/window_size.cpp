// The window's size, kept like its position ("FormWidth", "FormHeight": the
// client area in twips), and showing the window in its stored state.
#include <QEvent>
#include <QLayout>
#include <QWindow>
#include <algorithm>

#include "app/client_area.h"
#include "app/frmZVServer.h"
#include "app/settings_store.h"
#include "app/text_number.h"

namespace zv {

namespace {
constexpr double kLargestTwips = 1.0e7;  // beyond any screen; keeps pixels in range

// Iconifies the window once it is mapped and exposed, then goes.
class IconifyWhenExposed : public QObject {
  public:
    explicit IconifyWhenExposed(QWidget* window) : QObject(window), window_(window) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* handle = qobject_cast<QWindow*>(watched);
        if (event->type() == QEvent::Expose && handle && handle->isExposed()) {
            handle->removeEventFilter(this);
            window_->showMinimized();
            deleteLater();
        }
        return false;
    }

  private:
    QWidget* window_;
};
}  // namespace

QSize frmZVServer::clientSize() const {
    const QSize chrome = size() - centralWidget()->size();  // the menu bar
    return (normalGeometry().size() - chrome).expandedTo(clientArea_->designSize());
}

void frmZVServer::setClientSize(QSize pixels) {
    clientArea_->setPreferredSize(pixels);
    // Laid out at once, also while hidden (Qt would wait for the first show):
    // once to learn the menu bar's height, once at the new size.
    for (int pass = 0; pass < 2; ++pass) {
        layout()->invalidate();
        layout()->activate();
        if (pass == 0) resize(size() - centralWidget()->size() + clientArea_->sizeHint());
    }
}

void frmZVServer::restoreSize() {
    const QSize design = clientArea_->designTwips();
    auto pixels = [&](const char* key, int designTwips) {
        const float stored =
            toSingle(settings_.GetSetting(QLatin1String(key), QString::number(designTwips)));
        return twipsToPixels(std::clamp(double(stored), 0.0, kLargestTwips));
    };
    setClientSize(
        QSize(pixels("FormWidth", design.width()), pixels("FormHeight", design.height())));
}

void frmZVServer::saveSize() {
    // Written only when changed: a window never resized leaves the file alone.
    const QSize designTwips = clientArea_->designTwips();
    const QSize design = clientArea_->designSize();
    auto save = [&](const char* key, int pixels, int designPixels, int designTwips) {
        const QString text = pixels == designPixels ? QString::number(designTwips)
                                                    : singleToText(float(pixelsToTwips(pixels)));
        const QString name = QLatin1String(key);
        if (settings_.GetSetting(name, QString::number(designTwips)) != text)
            settings_.SaveSetting(name, text);
    };
    const QSize now = clientSize();
    save("FormWidth", now.width(), design.width(), designTwips.width());
    save("FormHeight", now.height(), design.height(), designTwips.height());
}

void frmZVServer::showAsStored() {
    if (!(windowState() & Qt::WindowMinimized)) {
        show();
        return;
    }
    // A window manager maps a window normal whatever its state was before the
    // first map (twm does): show it normal, then iconify it once it is mapped.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    create();
    windowHandle()->installEventFilter(new IconifyWhenExposed(this));
    show();
}

}  // namespace zv
