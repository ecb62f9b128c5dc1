// Tools for seeing the traffic, beside the relay itself: the View menu (hex
// dump, arrival times) and the trace file; and the allowed clients.
#include <QAction>
#include <QMenuBar>

#include "app/data_pane.h"
#include "app/dialogs.h"
#include "app/frmZVServer.h"
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
    {"mnuHexNet", "&Hex: Rx from Net", "hex view net"},
    {"mnuHexCom", "He&x: Rx from Com", "hex view com"},
    {"mnuStampsNet", "&Time Stamps: Rx from Net", "time stamps net"},
    {"mnuStampsCom", "Ti&me Stamps: Rx from Com", "time stamps com"},
};
}  // namespace

void frmZVServer::buildTrafficTools() {
    mnuView = new QMenu(QStringLiteral("&View"), this);
    mnuView->setObjectName(QStringLiteral("mnuView"));
    menuBar()->insertMenu(mnuHelp->menuAction(), mnuView);
    QAction** items[] = {&mnuHexNet, &mnuHexCom, &mnuStampsNet, &mnuStampsCom};
    for (int i = 0; i < 4; ++i) {
        QAction* a = *items[i] = mnuView->addAction(QString::fromUtf8(kViewItems[i].caption));
        a->setObjectName(QLatin1String(kViewItems[i].name));
        a->setCheckable(true);
        connect(a, &QAction::triggered, this, [this, a] {
            a->setChecked(!a->isChecked());  // undo Qt's own toggle: the handler decides
            mnuView_Click(a);
        });
    }
    mnuView->addSeparator();
    mnuTraceFile = mnuView->addAction(QStringLiteral("T&race File..."));
    mnuTraceFile->setObjectName(QStringLiteral("mnuTraceFile"));
    mnuTraceFile->setCheckable(true);
    connect(mnuTraceFile, &QAction::triggered, this, [this] {
        mnuTraceFile->setChecked(!mnuTraceFile->isChecked());  // the handler decides the mark
        mnuTraceFile_Click();
    });
}

void frmZVServer::loadTrafficTools(QStringList& notices) {
    relay_.setAllowedClients(readAllowedClients(settings_, &notices));
    mnuTransparent->setChecked(readTransparent(settings_, &notices));
    relay_.setTransparent(mnuTransparent->isChecked());
    QAction* items[] = {mnuHexNet, mnuHexCom, mnuStampsNet, mnuStampsCom};
    for (int i = 0; i < 4; ++i)
        items[i]->setChecked(settings_.GetSetting(QLatin1String(kViewItems[i].key), {}) == u"1");
    applyView();
    traceTo(settings_.GetSetting(kTraceFileKey, QString()).trimmed());
}

void frmZVServer::applyView() {
    txtRxData->setView(mnuHexNet->isChecked(), mnuStampsNet->isChecked());
    txtTxData->setView(mnuHexCom->isChecked(), mnuStampsCom->isChecked());
}

void frmZVServer::mnuView_Click(QAction* item) {
    trapBox(QStringLiteral("VB6 runtime error (mnuView_Click): "), [&] {
        const int i = mnuView->actions().indexOf(item);
        item->setChecked(!item->isChecked());
        settings_.SaveSetting(QLatin1String(kViewItems[i].key),
                              item->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
        applyView();
    });
}

void frmZVServer::mnuTraceFile_Click() {
    trapBox(QStringLiteral("VB6 runtime error (mnuTraceFile_Click): "), [&] {
        QString path;  // a click while tracing stops it
        if (!relay_.trace().on()) {
            path = dialogs_.ChooseTraceFile(settings_.GetSetting(kTraceFileKey, QString()));
            if (path.trimmed().isEmpty()) return;
        }
        settings_.SaveSetting(kTraceFileKey, path.trimmed());
        traceTo(path.trimmed());
    });
}

void frmZVServer::traceTo(const QString& path) {
    relay_.trace().setPath(path);
    mnuTraceFile->setChecked(relay_.trace().on());
    mnuTraceFile->setStatusTip(path);
    mnuTraceFile->setToolTip(path);
}

}  // namespace zv
