// Shutdown: Close stops both listeners; Exit and closing the window save the
// window position and size (twips) for the next start. A run without a window
// ends without touching them.
#include <QLabel>
#include <QPushButton>

#include "app/frmZVServer.h"
#include "app/lamp.h"
#include "app/settings_store.h"
#include "app/text_number.h"
#include "net/winsock.h"

namespace zv {

void frmZVServer::cmdClose_Click() {
    trapStatus(QStringLiteral("close error"), [&] {
        wskServer1.Close();
        wskServer2.Close();
        setStatus(QStringLiteral("both ports closed"));
        shpPort1->setFillColor(colour::WindowBackground);
        shpPort2->setFillColor(colour::WindowBackground);
        cmdListen->setFocus();
    });
    pumpBoth();  // what dropped clients sent still goes to the device
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
        wskServer1.Close();
        settings_.SaveSetting(QStringLiteral("FormTop"), singleToText(Top()));
        settings_.SaveSetting(QStringLiteral("FormLeft"), singleToText(Left()));
        saveSize();
    });
}

void frmZVServer::unloadUnshown() {
    trapBox(QStringLiteral("VB6 runtime error (unload): "), [&] {
        wskServer1.Close();
        wskServer2.Close();
    });
    unloaded_ = true;
}

}  // namespace zv
