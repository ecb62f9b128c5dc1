// The window's display helpers over the pane model.
#include "app/activity_display.h"
#include "app/data_pane.h"
#include "app/main_window.h"
#include "cipher/error.h"

namespace zv {

void MainWindow::showInPane(DataPane& pane, QString& data) {
    // Reports and goes on: a display failure must never stop the traffic.
    pane.addBlock(data);  // kept only while the pane shows hex or time stamps
    try {
        appendToPane(pane.model(), data);
    } catch (const Error& e) {
        reportBox(QStringLiteral("VB6 runtime error (ShowData): "), e);
    }
    pane.syncLater();
}

}  // namespace zv
