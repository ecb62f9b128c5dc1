// Shutdown: Close stops both listeners; Exit and closing the window save the
// window position and size (twips) for the next start.
#include <QLabel>
#include <QPushButton>

#include "app/lamp.h"
#include "app/main_window.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/text_number.h"

namespace zv {

void MainWindow::closeListeners() {
    trapStatus(QStringLiteral("close error"), [&] {
        relay_.close(0);
        relay_.close(1);
        setStatus(QStringLiteral("both ports closed"));
        lamp1->setFillColor(colour::WindowBackground);
        lamp2->setFillColor(colour::WindowBackground);
        listenButton->setFocus();
    });
}

void MainWindow::exit() {
    trapBox(QStringLiteral("VB6 runtime error (exit): "), [&] {
        settings_.write(QStringLiteral("FormTop"), singleToText(Top()));
        settings_.write(QStringLiteral("FormLeft"), singleToText(Left()));
        saveSize();
        (void)close();  // runs unload through closeEvent, which never cancels
    });
}

void MainWindow::unload(std::int16_t& /*cancel*/) {
    trapBox(QStringLiteral("VB6 runtime error (unload): "), [&] {
        relay_.close(0);
        settings_.write(QStringLiteral("FormTop"), singleToText(Top()));
        settings_.write(QStringLiteral("FormLeft"), singleToText(Left()));
        saveSize();
    });
}

}  // namespace zv
