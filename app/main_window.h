#pragma once
// The one window: it shows the relay and asks it. It owns the widgets and
// the operator's window fields; its handlers turn clicks into relay calls and
// settings writes, and it draws panes, lamps and the status line from the
// relay's signals.
#include <QMainWindow>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>

#include "app/error_record.h"
#include "core/stored_settings.h"

class QAction;
class QIcon;
class QLabel;
class QMenu;
class QPushButton;

namespace zv {

class ClientArea;
class DataPane;
struct DeviceEntry;
class Dialogs;
class Error;
class Lamp;
class Relay;
class SettingsStore;
enum class ListenerState;

// The program's icon, 32 x 32 and larger.
QIcon appIcon();

class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    // Everything tests replace is passed in; main.cpp builds the real ones.
    MainWindow(Dialogs& dialogs, SettingsStore& settings, Relay& relay, QWidget* parent = nullptr);
    ~MainWindow() override;

    // What start-up read and the menus changed since. The two switches keep
    // other stored text as Other: their items then change nothing.
    Switch runMinimized = Switch::Other;      // "WindowState": start minimised
    Switch autoListen = Switch::Other;        // "autoconnect": listen at start-up
    ListenerMode mode = ListenerMode::Other;  // "netport"; Other: Listen does nothing
    // The port numbers as stored or typed (the status and the items show them
    // so): listener 1's, and listener 2's, which is empty unless both listen.
    std::array<QString, 2> listenerPorts;
    int comPort = 0;  // "com port": the COM number chosen, 1..16; 0: none

    // Start-up: restores every setting; run once before the window is shown.
    void startUp();
    // Shows the window in the state start-up restored (normal, minimised,
    // maximised), in force from the first map on.
    void showAsStored();

    // Activity display.
    void showInPane(DataPane& pane, QString& data);

    // COM port selection: one routine for all sixteen items.
    void chooseComPort(int n);
    // The device a COM number opens, and the line settings of every open.
    void chooseDevice();
    void chooseLineSettings();
    // A COM item's caption without the device shown after it ("Com&3").
    static QString captionOf(const QAction* item);

    // Keyboard entry.
    void typedToClients(int key);
    void typedToDevice(int key);

    // Listener ports and listening.
    void listen();
    void choosePort1();
    void choosePort2();
    void chooseBothPorts();
    void definePort1();
    void definePort2();

    // Test message.
    void sendTestMessage();

    // Options and Help menus.
    void toggleRunMinimized();
    void toggleAutoListen();
    void toggleTransparent();
    void changeKey();
    void showAbout();

    // Shutdown.
    void closeListeners();
    void exit();
    void unload(std::int16_t& cancel);

    // Window position in twips (1/1440 inch), as stored.
    float Top() const;
    float Left() const;
    void setTop(float twips);
    void setLeft(float twips);
    int twipsToPixels(double twips) const;
    double pixelsToTwips(int pixels) const;
    // The client area (below the menu bar) in pixels: at least the design's
    // 4680 x 3690 twips; for a maximised or minimised window its normal size.
    QSize clientSize() const;
    void setClientSize(QSize pixels);

    Relay& relay() { return relay_; }

    // The window's objects, named as the operator's documentation names them.
    DataPane* comPane = nullptr;
    DataPane* netPane = nullptr;
    QPushButton* listenButton = nullptr;
    QPushButton* closeButton = nullptr;
    QPushButton* testButton = nullptr;
    QPushButton* exitButton = nullptr;
    Lamp* lamp2 = nullptr;
    Lamp* lamp1 = nullptr;
    QLabel* statusTitle = nullptr;
    QLabel* comLabel = nullptr;
    QLabel* netLabel = nullptr;
    QLabel* statusLine = nullptr;
    QLabel* hostLabel = nullptr;
    QLabel* addressLabel = nullptr;
    QLabel* lampsLabel = nullptr;
    QMenu* comMenu = nullptr;
    std::array<QAction*, 16> comActions{};  // Com1 .. Com16
    QAction* chooseDeviceAction = nullptr;
    QAction* lineSettingsAction = nullptr;
    QMenu* networkMenu = nullptr;
    QAction* port1Action = nullptr;
    QAction* port2Action = nullptr;
    QAction* bothPortsAction = nullptr;
    QMenu* optionsMenu = nullptr;
    QAction* autoListenAction = nullptr;
    QAction* runMinimizedAction = nullptr;
    QAction* transparentAction = nullptr;
    QAction* definePort1Action = nullptr;
    QAction* definePort2Action = nullptr;
    QAction* changeKeyAction = nullptr;
    QMenu* helpMenu = nullptr;
    QAction* aboutAction = nullptr;

    ErrorRecord& errorRecord() { return errorRecord_; }

    // Exit, closing the window and SIGTERM/SIGINT stop the relay through
    // here; the window closes once it stopped. Asked again: at once.
    void beginStop();

  signals:
    // The relay stopped: `undelivered` bytes waited still (0: nothing lost).
    void stopped(qint64 undelivered, const QString& report);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildWindow();
    void buildMenus();
    void connectControls();
    void connectRelay();
    // Items show their devices; run again when a mapping changes.
    void refreshComCaptions();
    int defaultDeviceCom(const QList<DeviceEntry>& present) const;
    // Size in twips: read at start-up, saved with the position.
    void restoreSize();
    void saveSize();

    void definePort(int index);
    // The port number stored under `key`; a number outside 1025..65535 is
    // refused with the port dialog's box and `defaultPort` is used.
    QString storedPort(const QString& key, const QString& defaultPort);
    void listenInMode();
    bool refuseModeChange(bool listener2Too);  // true: refused, box shown
    void markMode(bool port1, bool port2Item, bool both);
    Lamp* lamp(int listener) const { return listener == 0 ? lamp1 : lamp2; }
    void showListener(int listener, ListenerState state);

    // Error traps. A trapped handler runs `body`; an error ends it and is
    // reported either in a message box "<prefix><number> - <description>"
    // (flags 64, application title) or as a status caption.
    void trapBox(const QString& prefix, const std::function<void()>& body);
    void trapStatus(const QString& caption, const std::function<void()>& body);
    void reportBox(const QString& prefix, const Error& e);
    void setStatus(const QString& caption);
    void showStatus(const QString& caption);

    ClientArea* clientArea_ = nullptr;
    Dialogs& dialogs_;
    SettingsStore& settings_;
    Relay& relay_;
    ErrorRecord errorRecord_;
    QString bindAddress_;            // "bind address"; empty: every interface
    bool unloaded_ = false;          // unload ran (the window closes once)
    bool stopClosesWindow_ = false;  // the stop began by closing the window
    bool inCloseEvent_ = false;

    // Traffic tools: the View menu (hex dump and arrival times in the panes)
    // and the trace file.
  public:
    QMenu* viewMenu = nullptr;
    QAction* hexNetAction = nullptr;     // Rx from Net as a hex dump
    QAction* hexComAction = nullptr;     // Rx from Com as a hex dump
    QAction* stampsNetAction = nullptr;  // arrival time before each block of Rx from Net
    QAction* stampsComAction = nullptr;
    QAction* traceFileAction = nullptr;  // checked while tracing; a click chooses or stops
    void toggleView(QAction* item);
    void chooseTraceFile();
    // Traces to `path` (empty: off) without storing it: --trace.
    void traceTo(const QString& path);

  private:
    void buildTrafficTools();
    void loadTrafficTools(QStringList& notices);  // at start-up: settings to view, trace, filter
    void applyView();
};

}  // namespace zv
