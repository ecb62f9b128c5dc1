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

class frmZVServer : public QMainWindow {
    Q_OBJECT

  public:
    // Everything tests replace is passed in; main.cpp builds the real ones.
    frmZVServer(Dialogs& dialogs, SettingsStore& settings, Relay& relay, QWidget* parent = nullptr);
    ~frmZVServer() override;

    // Window state fields, all text and compared as text.
    QString Password;     // the encryption key in clear
    QString winstate;     // "0"/"1": start minimised
    QString autoconnect;  // "0"/"1": listen at start-up
    QString port;         // listener 1's port number
    QString port2;        // listener 2's port number ("" unless mode "3")
    QString netport;      // listener mode "1", "2" or "3"
    QString comport;      // COM port number
    // The address both listeners bind to (setting "bind address"); empty: all.
    QString bindaddress;

    // Start-up: restores every setting; run once before the window is shown.
    void Form_Load();
    // Shows the window in the state start-up restored (normal, minimised,
    // maximised), in force from the first map on.
    void showAsStored();

    // Activity display.
    void ShowData(DataPane& pane, QString& data);

    // COM port selection: one routine for all sixteen items.
    void mnuPortsCom_Click(int n);
    // The device a COM number opens, and the line settings of every open.
    void mnuChooseDevice_Click();
    void mnuLineSettings_Click();
    // A COM item's caption without the device shown after it ("Com&3").
    static QString captionOf(const QAction* item);

    // Keyboard entry.
    void txtRxData_KeyPress(int KeyAscii);
    void txtTxData_KeyPress(int KeyAscii);

    // Listener ports and listening.
    void cmdListen_Click();
    void mnuTCPPort1_Click();
    void mnuTCPPort2_Click();
    void mnuTCPBoth_Click();
    void mnuDefineTCP1_Click();
    void mnuDefineTCP2_Click();

    // Test message.
    void cmdSend_Click();

    // Options and Help menus.
    void mnuMinimized_Click();
    void mnuNetAutoconnect_Click();
    void mnuTransparent_Click();
    void mnuChangeKey_Click();
    void mnuHelpAbout_Click();

    // Shutdown.
    void cmdClose_Click();
    void cmdExit_Click();
    void Form_Unload(std::int16_t& cancel);

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
    DataPane* txtTxData = nullptr;
    DataPane* txtRxData = nullptr;
    QPushButton* cmdListen = nullptr;
    QPushButton* cmdClose = nullptr;
    QPushButton* cmdSend = nullptr;
    QPushButton* cmdExit = nullptr;
    Lamp* shpPort2 = nullptr;
    Lamp* shpPort1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* lblRxCom = nullptr;
    QLabel* lblRxNet = nullptr;
    QLabel* lblStatus = nullptr;
    QLabel* lblHost = nullptr;
    QLabel* lblIP = nullptr;
    QLabel* lblPort = nullptr;
    QMenu* mnuPorts = nullptr;
    std::array<QAction*, 16> mnuPortsCom{};  // mnuPortsCom1 .. mnuPortsCom16
    QAction* mnuChooseDevice = nullptr;
    QAction* mnuLineSettings = nullptr;
    QMenu* mnuNetwork = nullptr;
    QAction* mnuTCPPort1 = nullptr;
    QAction* mnuTCPPort2 = nullptr;
    QAction* mnuTCPBoth = nullptr;
    QMenu* mnuOptions = nullptr;
    QAction* mnuNetAutoconnect = nullptr;
    QAction* mnuMinimized = nullptr;
    QAction* mnuTransparent = nullptr;
    QAction* mnuDefineTCP1 = nullptr;
    QAction* mnuDefineTCP2 = nullptr;
    QAction* mnuChangeKey = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuHelpAbout = nullptr;

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

    void mnuDefineTCP_Click(int index);
    // The port number stored under `key`; a number outside 1025..65535 is
    // refused with the port dialog's box and `defaultPort` is used.
    QString storedPort(const QString& key, const QString& defaultPort);
    void listenInMode();
    bool refuseModeChange(bool listener2Too);  // true: refused, box shown
    void markMode(bool port1, bool port2Item, bool both);
    Lamp* lamp(int listener) const { return listener == 0 ? shpPort1 : shpPort2; }
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
    bool unloaded_ = false;          // Form_Unload ran (the window closes once)
    bool stopClosesWindow_ = false;  // the stop began by closing the window
    bool inCloseEvent_ = false;

    // Traffic tools: the View menu (hex dump and arrival times in the panes)
    // and the trace file.
  public:
    QMenu* mnuView = nullptr;
    QAction* mnuHexNet = nullptr;     // Rx from Net as a hex dump
    QAction* mnuHexCom = nullptr;     // Rx from Com as a hex dump
    QAction* mnuStampsNet = nullptr;  // arrival time before each block of Rx from Net
    QAction* mnuStampsCom = nullptr;
    QAction* mnuTraceFile = nullptr;  // checked while tracing; a click chooses or stops
    void mnuView_Click(QAction* item);
    void mnuTraceFile_Click();
    // Traces to `path` (empty: off) without storing it: --trace.
    void traceTo(const QString& path);

  private:
    void buildTrafficTools();
    void loadTrafficTools(QStringList& notices);  // at start-up: settings to view, trace, filter
    void applyView();
};

}  // namespace zv
