// Shutdown: Close stops both listeners; Exit and closing the window save the
// window position and size (twips) for the next start.
#include <QLabel>
#include <QPushButton>

#include "app/frmZVServer.h"
#include "app/lamp.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/text_number.h"

namespace zv {

void frmZVServer::cmdClose_Click() {
    trapStatus(QStringLiteral("close error"), [&] {
        relay_.close(0);
        relay_.close(1);
        setStatus(QStringLiteral("both ports closed"));
        shpPort1->setFillColor(colour::WindowBackground);
        shpPort2->setFillColor(colour::WindowBackground);
        cmdListen->setFocus();
    });
}

void frmZVServer::cmdExit_Click() {
    trapBox(QStringLiteral("VB6 runtime error (exit): "), [&] {
        settings_.SaveSetting(QStringLiteral("FormTop"), singleToText(Top()));
        settings_.SaveSetting(QStringLiteral("FormLeft"), singleToText(Left()));
        saveSize();
        (void)close();  // runs Form_Unload through closeEvent, which never cancels
    });
}

void frmZVServer::Form_Unload(std::int16_t& /*cancel*/) {
    trapBox(QStringLiteral("VB6 runtime error (unload): "), [&] {
        relay_.close(0);
        settings_.SaveSetting(QStringLiteral("FormTop"), singleToText(Top()));
        settings_.SaveSetting(QStringLiteral("FormLeft"), singleToText(Left()));
        saveSize();
    });
}

}  // namespace zv
