// COM port selection: the sixteen items of the Com Port menu run one routine.
#include <QAction>

#include "app/frmZVServer.h"
#include "app/settings_store.h"
#include "app/text_number.h"
#include "serial/mscomm.h"

namespace zv {

namespace {
// COM7's message has always lacked the blank before the parenthesis.
QString comErrorPrefix(int n) {
    return n == 7 ? QStringLiteral("VB6 runtime error(com7): ")
                  : QStringLiteral("VB6 runtime error (com%1): ").arg(n);
}
}  // namespace

void frmZVServer::mnuPortsCom_Click(int n) {
    trapBox(comErrorPrefix(n), [&] {
        settings_.SaveSetting(QStringLiteral("com port"), QString::number(n));
        comport = QString::number(n);
        if (MSComm1.PortOpen()) MSComm1.setPortOpen(false);
        MSComm1.setCommPort(toInt16(comport));
        MSComm1.setFlowControl(flowControl());  // "flow control", applied by the open
        MSComm1.setPortOpen(true);
        for (int i = 1; i <= 16; ++i) mnuPortsCom[i - 1]->setChecked(i == n);
        MSComm1.setSettings(lineSettings());
    });
    pumpBoth();  // what waited for the line goes to the port as it is now
}

}  // namespace zv
