#include "app/frmZVServer.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>

#include "app/client_area.h"
#include "app/data_pane.h"
#include "app/dialogs.h"
#include "app/lamp.h"
#include "app/listener.h"
#include "app/qt_cipher.h"
#include "app/settings_store.h"
#include "app/status_label.h"
#include "app/traffic_trace.h"
#include "cipher/derivation_pool.h"
#include "cipher/error.h"
#include "net/winsock.h"
#include "serial/mscomm.h"

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

frmZVServer::frmZVServer(Dialogs& dialogs, SettingsStore& settings, MSComm& comm, Winsock& server1,
                         Winsock& server2, QWidget* parent)
    : QMainWindow(parent),
      MSComm1(comm),
      wskServer1(server1),
      wskServer2(server2),
      dialogs_(dialogs),
      settings_(settings),
      keyPool_(std::make_unique<KeyPool>(KeyPool::kDefaultCapacity, 0, [this] {
          // On a worker's thread: a key is ready for device bytes that wait.
          QMetaObject::invokeMethod(
              this,
              [this] {
                  sendComBacklog(0);
                  sendComBacklog(1);
              },
              Qt::QueuedConnection);
      })) {
    setObjectName(QStringLiteral("frmZVServer"));
    setWindowTitle(kAppTitle);
    setWindowIcon(appIcon());
    MSComm1.setObjectName(QStringLiteral("MSComm1"));
    wskServer1.setObjectName(QStringLiteral("wskServer1"));
    wskServer2.setObjectName(QStringLiteral("wskServer2"));
    buildWindow();
    buildMenus();
    listeners_[0] = std::make_unique<Listener>(wskServer1, shpPort1, QStringLiteral("port 1"),
                                               QStringLiteral(" connected on port 1"));
    listeners_[1] = std::make_unique<Listener>(wskServer2, shpPort2, QStringLiteral("port 2"),
                                               QStringLiteral(" connected to port 2"));
    derivations_ = std::make_unique<DerivationPool>();
    connectControls();
    buildTrafficTools();
    setClientSize(clientArea_->designSize());
}

frmZVServer::~frmZVServer() = default;

QString frmZVServer::encryptForNet(const QString& text) {
    return EncryptText(text, Password, *keyPool_);
}

frmZVServer::Listener& frmZVServer::listener(int index) {
    return *listeners_[index];
}
frmZVServer::Listener& frmZVServer::otherListener(int index) {
    return *listeners_[1 - index];
}

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

    connect(&MSComm1, &MSComm::OnComm, this, &frmZVServer::MSComm1_OnComm);
    connect(&MSComm1, &MSComm::inputOverflow, this, &frmZVServer::MSComm1_InputOverflow);
    connect(&MSComm1, &MSComm::portFailed, this, [this](int, const QString& description) {
        setStatus(QStringLiteral("com port closed: ") + description);
        pumpBoth();  // what waited for the line waits on for the device
    });
    // Queued: at start-up the caption would be overwritten by Form_Load's own.
    connect(
        &MSComm1, &MSComm::portWaiting, this,
        [this](int n, const QString& device) {
            if (MSComm1.PortOpen() && MSComm1.CommPort() == n)
                setStatus(QStringLiteral("com port %1 waiting for %2").arg(n).arg(device));
        },
        Qt::QueuedConnection);
    connect(&MSComm1, &MSComm::portReopened, this, [this](int n, const QString& device) {
        setStatus(QStringLiteral("com port %1 reopened: %2").arg(n).arg(device));
    });
    // Room on the serial line: messages that waited for it go on.
    connect(&MSComm1, &MSComm::outputWritten, this, &frmZVServer::pumpBoth);
    for (int i = 0; i < 2; ++i) {
        Winsock& s = listener(i).sock;
        connect(&s, &Winsock::connectionRequest, this,
                [this, i](std::int32_t id) { connectionRequest(i, id); });
        connect(&s, &Winsock::peerClosed, this, [this, i] { clientClosed(i); });
        connect(&s, &Winsock::socketError, this,
                [this, i](int number, const QString& d) { socketError(i, number, d); });
        connect(&s, &Winsock::dataArrival, this, [this, i](qint64 bytesTotal) {
            lastTaken_.start();
            dataArrival(i, bytesTotal);
        });
        connect(&s, &Winsock::acceptFailed, this, [this, i](int, const QString& why) {
            setStatus(listener(i).name + QStringLiteral(" accept failed, still listening: ") + why);
        });
    }
}

void frmZVServer::setStatus(const QString& caption) {
    lblStatus->setText(caption);
    static_cast<StatusLabel*>(lblStatus)->syncToolTip();
    emit statusChanged(caption);
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

void frmZVServer::closeEvent(QCloseEvent* event) {
    if (!unloaded_ && !stopFinished_) {  // first deliver what was taken
        stopClosesWindow_ = inCloseEvent_ = true;
        beginStop();
        inCloseEvent_ = false;
        if (!stopFinished_) {
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
