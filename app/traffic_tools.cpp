// Tools for seeing the traffic, beside the relay itself: the View menu (hex
// dump, arrival times) and the trace file; and the allowed clients.
#include <QAction>
#include <QMenuBar>

#include "app/data_pane.h"
#include "app/dialogs.h"
#include "app/main_window.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/stored_settings.h"
#include "core/traffic_trace.h"

namespace zv {

namespace {
const QString kTraceFileKey = QStringLiteral("trace file");
// The View menu's check items: object name, caption, setting ("0"/"1").
struct ViewItem {
    const char* name;
    const char* caption;
    const char* key;
};
constexpr ViewItem kViewItems[] = {
    {"hexNetAction", "&Hex: Rx from Net", "hex view net"},
    {"hexComAction", "He&x: Rx from Com", "hex view com"},
    {"stampsNetAction", "&Time Stamps: Rx from Net", "time stamps net"},
    {"stampsComAction", "Ti&me Stamps: Rx from Com", "time stamps com"},
};
}  // namespace

void MainWindow::buildTrafficTools() {
    viewMenu = new QMenu(QStringLiteral("&View"), this);
    viewMenu->setObjectName(QStringLiteral("viewMenu"));
    menuBar()->insertMenu(helpMenu->menuAction(), viewMenu);
    QAction** items[] = {&hexNetAction, &hexComAction, &stampsNetAction, &stampsComAction};
    for (int i = 0; i < 4; ++i) {
        QAction* a = *items[i] = viewMenu->addAction(QString::fromUtf8(kViewItems[i].caption));
        a->setObjectName(QLatin1String(kViewItems[i].name));
        a->setCheckable(true);
        connect(a, &QAction::triggered, this, [this, a] {
            a->setChecked(!a->isChecked());  // undo Qt's own toggle: the handler decides
            toggleView(a);
        });
    }
    viewMenu->addSeparator();
    traceFileAction = viewMenu->addAction(QStringLiteral("T&race File..."));
    traceFileAction->setObjectName(QStringLiteral("traceFileAction"));
    traceFileAction->setCheckable(true);
    connect(traceFileAction, &QAction::triggered, this, [this] {
        traceFileAction->setChecked(!traceFileAction->isChecked());  // the handler decides the mark
        chooseTraceFile();
    });
}

void MainWindow::loadTrafficTools(QStringList& notices) {
    relay_.setAllowedClients(readAllowedClients(settings_, &notices));
    transparentAction->setChecked(readTransparent(settings_, &notices));
    relay_.setTransparent(transparentAction->isChecked());
    QAction* items[] = {hexNetAction, hexComAction, stampsNetAction, stampsComAction};
    for (int i = 0; i < 4; ++i)
        items[i]->setChecked(settings_.read(QLatin1String(kViewItems[i].key), {}) == u"1");
    applyView();
    traceTo(settings_.read(kTraceFileKey, QString()).trimmed());
}

void MainWindow::applyView() {
    netPane->setView(hexNetAction->isChecked(), stampsNetAction->isChecked());
    comPane->setView(hexComAction->isChecked(), stampsComAction->isChecked());
}

void MainWindow::toggleView(QAction* item) {
    trapBox(QStringLiteral("VB6 runtime error (mnuView_Click): "), [&] {
        const int i = viewMenu->actions().indexOf(item);
        item->setChecked(!item->isChecked());
        settings_.write(QLatin1String(kViewItems[i].key),
                        item->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
        applyView();
    });
}

void MainWindow::chooseTraceFile() {
    trapBox(QStringLiteral("VB6 runtime error (mnuTraceFile_Click): "), [&] {
        QString path;  // a click while tracing stops it
        if (!relay_.trace().on()) {
            path = dialogs_.ChooseTraceFile(settings_.read(kTraceFileKey, QString()));
            if (path.trimmed().isEmpty()) return;
        }
        settings_.write(kTraceFileKey, path.trimmed());
        traceTo(path.trimmed());
    });
}

void MainWindow::traceTo(const QString& path) {
    relay_.trace().setPath(path);
    traceFileAction->setChecked(relay_.trace().on());
    traceFileAction->setStatusTip(path);
    traceFileAction->setToolTip(path);
}

}  // namespace zv
