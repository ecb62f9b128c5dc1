#include "app/frmZVServer.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>

#include "app/client_area.h"
#include "app/data_pane.h"
#include "app/dialogs.h"
#include "app/lamp.h"
#include "app/status_label.h"
#include "cipher/error.h"
#include "core/relay.h"
#include "serial/serial_line.h"

namespace zv {

namespace {
// The client area, in twips.
constexpr int kClientWidth = 4680;
constexpr int kClientHeight = 3690;
constexpr double kTwipsPerInch = 1440.0;
}  // namespace

QIcon appIcon() {
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/tandro-zv-server-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icons/tandro-zv-server.png"), QSize(256, 256));
    return icon;
}

frmZVServer::frmZVServer(Dialogs& dialogs, SettingsStore& settings, Relay& relay, QWidget* parent)
    : QMainWindow(parent), dialogs_(dialogs), settings_(settings), relay_(relay) {
    setObjectName(QStringLiteral("frmZVServer"));
    setWindowTitle(kAppTitle);
    setWindowIcon(appIcon());
    buildWindow();
    buildMenus();
    connectControls();
    connectRelay();
    buildTrafficTools();
    setClientSize(clientArea_->designSize());
}

frmZVServer::~frmZVServer() = default;

int frmZVServer::twipsToPixels(double twips) const {
    return qRound(twips * logicalDpiX() / kTwipsPerInch);
}

double frmZVServer::pixelsToTwips(int pixels) const {
    return pixels * kTwipsPerInch / logicalDpiX();
}

// Objects in creation order, placed in twips from the client area's corner.
// Extra room goes to the panes: both widen, the upper one takes the top half
// of the extra height and the lower one the bottom half; what stands beside a
// pane moves with its top, the rows below the panes move down, and the
// buttons spread along the bottom row.
void frmZVServer::buildWindow() {
    auto* client = new ClientArea(QSize(kClientWidth, kClientHeight), this);
    client->setObjectName(QStringLiteral("client"));
    clientArea_ = client;
    setCentralWidget(client);
    // The layout was drawn for an 8-point interface font.
    QFont small = client->font();
    small.setPointSizeF(8);
    client->setFont(small);

    using Anchor = ClientArea::Anchor;
    constexpr Anchor below{0, 1, 0, 1};      // rows under the panes
    constexpr Anchor belowWide{0, 1, 1, 1};  // ... that also take the extra width
    auto pane = [&](const char* name, int top, Anchor anchor) {
        auto* p = new DataPane(client);
        p->setObjectName(QLatin1String(name));
        client->place(p, QRect(1440, top, 3135, 615), anchor);
        return p;
    };
    auto button = [&](const char* name, const char* caption, int column) {
        auto* b = new QPushButton(QString::fromUtf8(caption), client);
        b->setObjectName(QLatin1String(name));
        b->setAutoDefault(false);
        const double share = column / 3.0;
        client->place(b, QRect(120 + 1200 * column, 3000, 855, 615), {share, 1, share, 1});
        return b;
    };
    auto lamp = [&](const char* name, int left) {
        auto* l = new Lamp(client);
        l->setObjectName(QLatin1String(name));
        client->place(l, QRect(left, 1560, 495, 255), below);
        return l;
    };
    auto label = [&](QLabel* l, const char* name, int left, int top, int width, Anchor anchor) {
        l->setObjectName(QLatin1String(name));
        client->place(l, QRect(left, top, width, 255), anchor);
        return l;
    };
    auto text = [&](const char* caption) { return new QLabel(QString::fromUtf8(caption), client); };

    txtTxData = pane("txtTxData", 840, {0, 0.5, 1, 1});
    txtRxData = pane("txtRxData", 120, {0, 0, 1, 0.5});
    cmdListen = button("cmdListen", "&Listen", 0);
    cmdClose = button("cmdClose", "&Close", 1);
    cmdSend = button("cmdSend", "&Test Msg", 2);
    cmdExit = button("cmdExit", "E&xit", 3);
    // "&Com Port" and "&Close" share Alt+C. As on the platform the layout comes
    // from, the menu bar wins: Alt+C opens the menu, Close is reached by Tab
    // and Space. Qt would otherwise alternate between the two on each press.
    cmdClose->setShortcut(QKeySequence());
    shpPort2 = lamp("shpPort2", 2040);
    shpPort1 = lamp("shpPort1", 1440);
    // The left column of labels starts at 120 twips, in line with the Listen
    // button, and may use the room up to its pane, lamp or status: the fonts
    // here are wider than the 8-point face the layout was drawn for.
    Label1 = label(text("Status:"), "Label1", 120, 1920, 1260, below);
    lblRxCom = label(text("Rx from Com:"), "lblRxCom", 120, 960, 1260, {0, 0.5, 0, 0.5});
    lblRxNet = label(text("Rx from Net:"), "lblRxNet", 120, 360, 1260, {});
    lblStatus = label(new StatusLabel(QStringLiteral("Winsock status:"), client), "lblStatus", 1440,
                      1920, 3135, belowWide);
    lblHost = label(text("Server local host name:"), "lblHost", 120, 2640, 4455, belowWide);
    lblIP = label(text("Server local IP:"), "lblIP", 120, 2280, 4455, belowWide);
    lblPort = label(text("Port status:"), "lblPort", 120, 1560, 1260, below);

    // Wide faces: shrink the interface font until every label caption fits.
    QFont font = client->font();
    const QList<QLabel*> labels = client->findChildren<QLabel*>();
    auto fits = [&] {
        const QFontMetrics fm(font);
        for (QLabel* l : labels)
            if (fm.horizontalAdvance(l->text()) + 2 * l->margin() > l->width()) return false;
        return true;
    };
    while (!fits() && font.pointSizeF() > 6) font.setPointSizeF(font.pointSizeF() - 0.5);
    // Set on each object: a platform theme's per-class fonts would win over
    // the inherited one.
    client->setFont(font);
    for (QWidget* child : client->findChildren<QWidget*>()) child->setFont(font);

    // Focus moves Listen, Close, Test Msg, Exit, then the two panes.
    setTabOrder(cmdListen, cmdClose);
    setTabOrder(cmdClose, cmdSend);
    setTabOrder(cmdSend, cmdExit);
    setTabOrder(cmdExit, txtRxData);
    setTabOrder(txtRxData, txtTxData);
    cmdListen->setFocus();
}

void frmZVServer::buildMenus() {
    auto menu = [&](const char* name, const char* caption) {
        QMenu* m = menuBar()->addMenu(QString::fromUtf8(caption));
        m->setObjectName(QLatin1String(name));
        return m;
    };
    auto item = [&](QMenu* m, const QString& name, const QString& caption) {
        QAction* a = m->addAction(caption);
        a->setObjectName(name);
        a->setCheckable(true);  // shows a mark only when a handler sets one
        return a;
    };

    mnuPorts = menu("mnuPorts", "&Com Port");
    for (int n = 1; n <= 16; ++n) {
        const QString caption =
            n <= 9 ? QStringLiteral("Com&%1").arg(n) : QStringLiteral("Com%1").arg(n);
        mnuPortsCom[n - 1] = item(mnuPorts, QStringLiteral("mnuPortsCom%1").arg(n), caption);
    }
    mnuPorts->addSeparator();
    mnuChooseDevice =
        item(mnuPorts, QStringLiteral("mnuChooseDevice"), QStringLiteral("Choose &Device..."));
    mnuLineSettings =
        item(mnuPorts, QStringLiteral("mnuLineSettings"), QStringLiteral("Line &Settings..."));
    mnuNetwork = menu("mnuNetwork", "&Network Port");
    mnuTCPPort1 = item(mnuNetwork, QStringLiteral("mnuTCPPort1"), QStringLiteral("TCP Port 9876"));
    mnuTCPPort2 = item(mnuNetwork, QStringLiteral("mnuTCPPort2"), QStringLiteral("TCP Port 9875"));
    mnuTCPBoth =
        item(mnuNetwork, QStringLiteral("mnuTCPBoth"), QStringLiteral("Listen on Both Ports"));
    mnuOptions = menu("mnuOptions", "&Options");
    mnuNetAutoconnect = item(mnuOptions, QStringLiteral("mnuNetAutoconnect"),
                             QStringLiteral("&Automatically Listen for Connections"));
    mnuMinimized =
        item(mnuOptions, QStringLiteral("mnuMinimized"), QStringLiteral("&Run Minimized"));
    mnuTransparent =
        item(mnuOptions, QStringLiteral("mnuTransparent"), QStringLiteral("&Transparent Mode"));
    mnuDefineTCP1 =
        item(mnuOptions, QStringLiteral("mnuDefineTCP1"), QStringLiteral("Define TCP Port &1"));
    mnuDefineTCP2 =
        item(mnuOptions, QStringLiteral("mnuDefineTCP2"), QStringLiteral("Define TCP Port &2"));
    mnuChangeKey =
        item(mnuOptions, QStringLiteral("mnuChangeKey"), QStringLiteral("&Change Encryption Key"));
    mnuHelp = menu("mnuHelp", "&Help");
    mnuHelpAbout =
        item(mnuHelp, QStringLiteral("mnuHelpAbout"), QStringLiteral("&About Tandro ZV Server"));
    // Items that never carry a mark do not show a check box.
    for (QAction* a : {mnuChooseDevice, mnuLineSettings, mnuDefineTCP1, mnuDefineTCP2, mnuChangeKey,
                       mnuHelpAbout})
        a->setCheckable(false);
}

void frmZVServer::connectControls() {
    // A menu click runs the handler, which alone decides the check mark.
    auto onTrigger = [this](QAction* a, auto handler) {
        connect(a, &QAction::triggered, this, [this, a, handler] {
            if (a->isCheckable()) a->setChecked(!a->isChecked());  // undo Qt's own toggle
            (this->*handler)();
        });
    };
    for (int n = 1; n <= 16; ++n) {
        QAction* a = mnuPortsCom[n - 1];
        connect(a, &QAction::triggered, this, [this, a, n] {
            a->setChecked(!a->isChecked());
            mnuPortsCom_Click(n);
        });
    }
    refreshComCaptions();
    mnuPorts->setToolTipsVisible(true);
    onTrigger(mnuChooseDevice, &frmZVServer::mnuChooseDevice_Click);
    onTrigger(mnuLineSettings, &frmZVServer::mnuLineSettings_Click);
    onTrigger(mnuTCPPort1, &frmZVServer::mnuTCPPort1_Click);
    onTrigger(mnuTCPPort2, &frmZVServer::mnuTCPPort2_Click);
    onTrigger(mnuTCPBoth, &frmZVServer::mnuTCPBoth_Click);
    onTrigger(mnuNetAutoconnect, &frmZVServer::mnuNetAutoconnect_Click);
    onTrigger(mnuMinimized, &frmZVServer::mnuMinimized_Click);
    onTrigger(mnuTransparent, &frmZVServer::mnuTransparent_Click);
    onTrigger(mnuDefineTCP1, &frmZVServer::mnuDefineTCP1_Click);
    onTrigger(mnuDefineTCP2, &frmZVServer::mnuDefineTCP2_Click);
    onTrigger(mnuChangeKey, &frmZVServer::mnuChangeKey_Click);
    onTrigger(mnuHelpAbout, &frmZVServer::mnuHelpAbout_Click);

    connect(cmdListen, &QPushButton::clicked, this, &frmZVServer::cmdListen_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmZVServer::cmdClose_Click);
    connect(cmdSend, &QPushButton::clicked, this, &frmZVServer::cmdSend_Click);
    connect(cmdExit, &QPushButton::clicked, this, &frmZVServer::cmdExit_Click);
    connect(txtRxData, &DataPane::KeyPress, this, &frmZVServer::txtRxData_KeyPress);
    connect(txtTxData, &DataPane::KeyPress, this, &frmZVServer::txtTxData_KeyPress);
}

// What the relay says is shown: the status line, the lamps, the panes.
void frmZVServer::connectRelay() {
    connect(&relay_, &Relay::statusChanged, this, &frmZVServer::showStatus);
    connect(&relay_, &Relay::listenerChanged, this, &frmZVServer::showListener);
    connect(&relay_, &Relay::fromDevice, this, [this](const QByteArray& bytes) {
        QString text = QString::fromLatin1(bytes);  // one character per byte
        ShowData(*txtTxData, text);
    });
    connect(&relay_, &Relay::fromClient, this, [this](int, const QByteArray& piece) {
        QString text = QString::fromUtf8(piece);
        ShowData(*txtRxData, text);
    });
    // A socket error: the box shows the error record of the window's traps.
    connect(&relay_, &Relay::socketError, this, [this] {
        if (errorRecord_.number != 0)
            dialogs_.MsgBox(QStringLiteral("VB6 error (winsock): ") +
                                QString::number(errorRecord_.number) + QStringLiteral(" - ") +
                                errorRecord_.description,
                            mb::OkOnly, kAppTitle);
    });
    connect(&relay_, &Relay::stopped, this, [this](qint64 undelivered, const QString& report) {
        for (QPushButton* b : {cmdListen, cmdClose, cmdSend}) b->setEnabled(false);
        emit stopped(undelivered, report);
        if (stopClosesWindow_ && !inCloseEvent_) QTimer::singleShot(0, this, &QWidget::close);
    });
}

void frmZVServer::showListener(int listener, ListenerState state) {
    static constexpr std::uint32_t colours[] = {colour::WindowBackground, colour::Yellow,
                                                colour::Green, colour::Red};
    lamp(listener)->setFillColor(colours[int(state)]);
}

// The window's own captions go through the relay, which says every one.
void frmZVServer::setStatus(const QString& caption) {
    relay_.say(caption);
}

void frmZVServer::showStatus(const QString& caption) {
    lblStatus->setText(caption);
    static_cast<StatusLabel*>(lblStatus)->syncToolTip();
}

void frmZVServer::reportBox(const QString& prefix, const Error& e) {
    dialogs_.MsgBox(prefix + QString::number(e.number()) + QStringLiteral(" - ") +
                        QString::fromStdString(e.description()),
                    mb::Information, kAppTitle);
}

void frmZVServer::trapBox(const QString& prefix, const std::function<void()>& body) {
    try {
        body();
    } catch (const Error& e) {
        errorRecord_ = {e.number(), QString::fromStdString(e.description())};
        reportBox(prefix, e);
    }
    errorRecord_.clear();
}

void frmZVServer::trapStatus(const QString& caption, const std::function<void()>& body) {
    try {
        body();
    } catch (const Error& e) {
        errorRecord_ = {e.number(), QString::fromStdString(e.description())};
        setStatus(caption);
    }
    errorRecord_.clear();
}

float frmZVServer::Top() const {
    return float(pixelsToTwips(pos().y()));
}
float frmZVServer::Left() const {
    return float(pixelsToTwips(pos().x()));
}
void frmZVServer::setTop(float twips) {
    move(pos().x(), twipsToPixels(twips));
}
void frmZVServer::setLeft(float twips) {
    move(twipsToPixels(twips), pos().y());
}

void frmZVServer::beginStop() {
    relay_.stop();
}

void frmZVServer::closeEvent(QCloseEvent* event) {
    if (!unloaded_ && !relay_.hasStopped()) {  // first deliver what was taken
        stopClosesWindow_ = inCloseEvent_ = true;
        beginStop();
        inCloseEvent_ = false;
        if (!relay_.hasStopped()) {
            event->ignore();  // finishStop() closes the window
            return;
        }
    }
    if (!unloaded_) {
        std::int16_t cancel = 0;
        Form_Unload(cancel);
        unloaded_ = cancel == 0;
        if (cancel != 0) {
            event->ignore();
            return;
        }
    }
    event->accept();
}

}  // namespace zv
