#include "app/main_window.h"

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

MainWindow::MainWindow(Dialogs& dialogs, SettingsStore& settings, Relay& relay, QWidget* parent)
    : QMainWindow(parent), dialogs_(dialogs), settings_(settings), relay_(relay) {
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(kAppTitle);
    setWindowIcon(appIcon());
    buildWindow();
    buildMenus();
    connectControls();
    connectRelay();
    buildTrafficTools();
    setClientSize(clientArea_->designSize());
}

MainWindow::~MainWindow() = default;

int MainWindow::twipsToPixels(double twips) const {
    return qRound(twips * logicalDpiX() / kTwipsPerInch);
}

double MainWindow::pixelsToTwips(int pixels) const {
    return pixels * kTwipsPerInch / logicalDpiX();
}

// Objects in creation order, placed in twips from the client area's corner.
// Extra room goes to the panes: both widen, the upper one takes the top half
// of the extra height and the lower one the bottom half; what stands beside a
// pane moves with its top, the rows below the panes move down, and the
// buttons spread along the bottom row.
void MainWindow::buildWindow() {
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

    comPane = pane("comPane", 840, {0, 0.5, 1, 1});
    netPane = pane("netPane", 120, {0, 0, 1, 0.5});
    listenButton = button("listenButton", "&Listen", 0);
    closeButton = button("closeButton", "&Close", 1);
    testButton = button("testButton", "&Test Msg", 2);
    exitButton = button("exitButton", "E&xit", 3);
    // "&Com Port" and "&Close" share Alt+C. As on the platform the layout comes
    // from, the menu bar wins: Alt+C opens the menu, Close is reached by Tab
    // and Space. Qt would otherwise alternate between the two on each press.
    closeButton->setShortcut(QKeySequence());
    lamp2 = lamp("lamp2", 2040);
    lamp1 = lamp("lamp1", 1440);
    // The left column of labels starts at 120 twips, in line with the Listen
    // button, and may use the room up to its pane, lamp or status: the fonts
    // here are wider than the 8-point face the layout was drawn for.
    statusTitle = label(text("Status:"), "statusTitle", 120, 1920, 1260, below);
    comLabel = label(text("Rx from Com:"), "comLabel", 120, 960, 1260, {0, 0.5, 0, 0.5});
    netLabel = label(text("Rx from Net:"), "netLabel", 120, 360, 1260, {});
    statusLine = label(new StatusLabel(QStringLiteral("Winsock status:"), client), "statusLine",
                       1440, 1920, 3135, belowWide);
    hostLabel = label(text("Server local host name:"), "hostLabel", 120, 2640, 4455, belowWide);
    addressLabel = label(text("Server local IP:"), "addressLabel", 120, 2280, 4455, belowWide);
    lampsLabel = label(text("Port status:"), "lampsLabel", 120, 1560, 1260, below);

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
    setTabOrder(listenButton, closeButton);
    setTabOrder(closeButton, testButton);
    setTabOrder(testButton, exitButton);
    setTabOrder(exitButton, netPane);
    setTabOrder(netPane, comPane);
    listenButton->setFocus();
}

void MainWindow::buildMenus() {
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

    comMenu = menu("comMenu", "&Com Port");
    for (int n = 1; n <= 16; ++n) {
        const QString caption =
            n <= 9 ? QStringLiteral("Com&%1").arg(n) : QStringLiteral("Com%1").arg(n);
        comActions[n - 1] = item(comMenu, QStringLiteral("com%1Action").arg(n), caption);
    }
    comMenu->addSeparator();
    chooseDeviceAction =
        item(comMenu, QStringLiteral("chooseDeviceAction"), QStringLiteral("Choose &Device..."));
    lineSettingsAction =
        item(comMenu, QStringLiteral("lineSettingsAction"), QStringLiteral("Line &Settings..."));
    networkMenu = menu("networkMenu", "&Network Port");
    port1Action = item(networkMenu, QStringLiteral("port1Action"), QStringLiteral("TCP Port 9876"));
    port2Action = item(networkMenu, QStringLiteral("port2Action"), QStringLiteral("TCP Port 9875"));
    bothPortsAction = item(networkMenu, QStringLiteral("bothPortsAction"),
                           QStringLiteral("Listen on Both Ports"));
    optionsMenu = menu("optionsMenu", "&Options");
    autoListenAction = item(optionsMenu, QStringLiteral("autoListenAction"),
                            QStringLiteral("&Automatically Listen for Connections"));
    runMinimizedAction =
        item(optionsMenu, QStringLiteral("runMinimizedAction"), QStringLiteral("&Run Minimized"));
    transparentAction =
        item(optionsMenu, QStringLiteral("transparentAction"), QStringLiteral("&Transparent Mode"));
    definePort1Action = item(optionsMenu, QStringLiteral("definePort1Action"),
                             QStringLiteral("Define TCP Port &1"));
    definePort2Action = item(optionsMenu, QStringLiteral("definePort2Action"),
                             QStringLiteral("Define TCP Port &2"));
    changeKeyAction = item(optionsMenu, QStringLiteral("changeKeyAction"),
                           QStringLiteral("&Change Encryption Key"));
    helpMenu = menu("helpMenu", "&Help");
    aboutAction =
        item(helpMenu, QStringLiteral("aboutAction"), QStringLiteral("&About Tandro ZV Server"));
    // Items that never carry a mark do not show a check box.
    for (QAction* a : {chooseDeviceAction, lineSettingsAction, definePort1Action, definePort2Action,
                       changeKeyAction, aboutAction})
        a->setCheckable(false);
}

void MainWindow::connectControls() {
    // A menu click runs the handler, which alone decides the check mark.
    auto onTrigger = [this](QAction* a, auto handler) {
        connect(a, &QAction::triggered, this, [this, a, handler] {
            if (a->isCheckable()) a->setChecked(!a->isChecked());  // undo Qt's own toggle
            (this->*handler)();
        });
    };
    for (int n = 1; n <= 16; ++n) {
        QAction* a = comActions[n - 1];
        connect(a, &QAction::triggered, this, [this, a, n] {
            a->setChecked(!a->isChecked());
            chooseComPort(n);
        });
    }
    refreshComCaptions();
    comMenu->setToolTipsVisible(true);
    onTrigger(chooseDeviceAction, &MainWindow::chooseDevice);
    onTrigger(lineSettingsAction, &MainWindow::chooseLineSettings);
    onTrigger(port1Action, &MainWindow::choosePort1);
    onTrigger(port2Action, &MainWindow::choosePort2);
    onTrigger(bothPortsAction, &MainWindow::chooseBothPorts);
    onTrigger(autoListenAction, &MainWindow::toggleAutoListen);
    onTrigger(runMinimizedAction, &MainWindow::toggleRunMinimized);
    onTrigger(transparentAction, &MainWindow::toggleTransparent);
    onTrigger(definePort1Action, &MainWindow::definePort1);
    onTrigger(definePort2Action, &MainWindow::definePort2);
    onTrigger(changeKeyAction, &MainWindow::changeKey);
    onTrigger(aboutAction, &MainWindow::showAbout);

    connect(listenButton, &QPushButton::clicked, this, &MainWindow::listen);
    connect(closeButton, &QPushButton::clicked, this, &MainWindow::closeListeners);
    connect(testButton, &QPushButton::clicked, this, &MainWindow::sendTestMessage);
    connect(exitButton, &QPushButton::clicked, this, &MainWindow::exit);
    connect(netPane, &DataPane::KeyPress, this, &MainWindow::typedToClients);
    connect(comPane, &DataPane::KeyPress, this, &MainWindow::typedToDevice);
}

// What the relay says is shown: the status line, the lamps, the panes.
void MainWindow::connectRelay() {
    connect(&relay_, &Relay::statusChanged, this, &MainWindow::showStatus);
    connect(&relay_, &Relay::listenerChanged, this, &MainWindow::showListener);
    connect(&relay_, &Relay::fromDevice, this, [this](const QByteArray& bytes) {
        QString text = QString::fromLatin1(bytes);  // one character per byte
        showInPane(*comPane, text);
    });
    connect(&relay_, &Relay::fromClient, this, [this](int, const QByteArray& piece) {
        QString text = QString::fromUtf8(piece);
        showInPane(*netPane, text);
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
        for (QPushButton* b : {listenButton, closeButton, testButton}) b->setEnabled(false);
        emit stopped(undelivered, report);
        if (stopClosesWindow_ && !inCloseEvent_) QTimer::singleShot(0, this, &QWidget::close);
    });
}

void MainWindow::showListener(int listener, ListenerState state) {
    static constexpr std::uint32_t colours[] = {colour::WindowBackground, colour::Yellow,
                                                colour::Green, colour::Red};
    lamp(listener)->setFillColor(colours[int(state)]);
}

// The window's own captions go through the relay, which says every one.
void MainWindow::setStatus(const QString& caption) {
    relay_.say(caption);
}

void MainWindow::showStatus(const QString& caption) {
    statusLine->setText(caption);
    static_cast<StatusLabel*>(statusLine)->syncToolTip();
}

void MainWindow::reportBox(const QString& prefix, const Error& e) {
    dialogs_.MsgBox(prefix + QString::number(e.number()) + QStringLiteral(" - ") +
                        QString::fromStdString(e.description()),
                    mb::Information, kAppTitle);
}

void MainWindow::trapBox(const QString& prefix, const std::function<void()>& body) {
    try {
        body();
    } catch (const Error& e) {
        errorRecord_ = {e.number(), QString::fromStdString(e.description())};
        reportBox(prefix, e);
    }
    errorRecord_.clear();
}

void MainWindow::trapStatus(const QString& caption, const std::function<void()>& body) {
    try {
        body();
    } catch (const Error& e) {
        errorRecord_ = {e.number(), QString::fromStdString(e.description())};
        setStatus(caption);
    }
    errorRecord_.clear();
}

float MainWindow::Top() const {
    return float(pixelsToTwips(pos().y()));
}
float MainWindow::Left() const {
    return float(pixelsToTwips(pos().x()));
}
void MainWindow::setTop(float twips) {
    move(pos().x(), twipsToPixels(twips));
}
void MainWindow::setLeft(float twips) {
    move(twipsToPixels(twips), pos().y());
}

void MainWindow::beginStop() {
    relay_.stop();
}

void MainWindow::closeEvent(QCloseEvent* event) {
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
        unload(cancel);
        unloaded_ = cancel == 0;
        if (cancel != 0) {
            event->ignore();
            return;
        }
    }
    event->accept();
}

}  // namespace zv
