// The window's size, kept like its position ("FormWidth", "FormHeight": the
// client area in twips), and showing the window in its stored state.
#include <QLayout>
#include <algorithm>

#include "app/client_area.h"
#include "app/main_window.h"
#include "core/settings_store.h"
#include "core/text_number.h"

namespace zv {

namespace {
constexpr double kLargestTwips = 1.0e7;  // beyond any screen; keeps pixels in range
}  // namespace

QSize MainWindow::clientSize() const {
    const QSize chrome = size() - centralWidget()->size();  // the menu bar
    return (normalGeometry().size() - chrome).expandedTo(clientArea_->designSize());
}

void MainWindow::setClientSize(QSize pixels) {
    clientArea_->setPreferredSize(pixels);
    // Laid out at once, also while hidden (Qt would wait for the first show):
    // once to learn the menu bar's height, once at the new size.
    for (int pass = 0; pass < 2; ++pass) {
        layout()->invalidate();
        layout()->activate();
        if (pass == 0) resize(size() - centralWidget()->size() + clientArea_->sizeHint());
    }
}

void MainWindow::restoreSize() {
    const QSize design = clientArea_->designTwips();
    auto pixels = [&](const char* key, int designTwips) {
        const float stored =
            toSingle(settings_.read(QLatin1String(key), QString::number(designTwips)));
        return twipsToPixels(std::clamp(double(stored), 0.0, kLargestTwips));
    };
    setClientSize(
        QSize(pixels("FormWidth", design.width()), pixels("FormHeight", design.height())));
}

void MainWindow::saveSize() {
    // Written only when changed: a window never resized leaves the file alone.
    const QSize twips = clientArea_->designTwips();
    const QSize design = clientArea_->designSize();
    auto save = [&](const char* key, int pixels, int designPixels, int designTwips) {
        const QString text = pixels == designPixels ? QString::number(designTwips)
                                                    : singleToText(float(pixelsToTwips(pixels)));
        const QString name = QLatin1String(key);
        if (settings_.read(name, QString::number(designTwips)) != text) settings_.write(name, text);
    };
    const QSize now = clientSize();
    save("FormWidth", now.width(), design.width(), twips.width());
    save("FormHeight", now.height(), design.height(), twips.height());
}

void MainWindow::showAsStored() {
    // Qt asks the window manager for the iconic state at the first map
    // (WM_HINTS initial state) only when the window was sized before: an
    // unsized window is sized during show(), which maps it normal. The
    // constructor sizes it, so the stored state holds from the first map.
    if (windowState() & Qt::WindowMinimized)
        showMinimized();
    else
        show();
}

}  // namespace zv
