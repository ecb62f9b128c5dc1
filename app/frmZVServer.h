#pragma once
// The one window. It owns every control and window field for its whole life;
// its handlers are named after the object and the event. Members are defined
// in the folder of the subsystem that owns them (app/, serial/, net/).
#include <QElapsedTimer>
#include <QList>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/error_record.h"
#include "stream/envelope_stream.h"

class QAction;
class QIcon;
class QLabel;
class QMenu;
class QPushButton;
class QTimer;

namespace zv {

class ClientArea;
class DataPane;
class DerivationPool;
struct DeviceEntry;
class Dialogs;
class Error;
class KeyPool;
class Lamp;
class MSComm;
class SettingsStore;
class TrafficTrace;
class Winsock;

// The program's icon, 32 x 32 and larger.
QIcon appIcon();

// The fixed pass phrase under which the encryption key itself is stored.
inline const QString kStorePassPhrase = QStringLiteral("QJ7X KD Wander");

class frmZVServer : public QMainWindow {
    Q_OBJECT

  public:
    // Everything tests replace is passed in; main.cpp builds the real ones.
    frmZVServer(Dialogs& dialogs, SettingsStore& settings, MSComm& comm, Winsock& server1,
                Winsock& server2, QWidget* parent = nullptr);
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
    QString stripLF(const QString& strToStrip);

    // COM port selection: one routine for all sixteen items.
    void mnuPortsCom_Click(int n);
    void mnuPortsCom1_Click() { mnuPortsCom_Click(1); }
    void mnuPortsCom2_Click() { mnuPortsCom_Click(2); }
    void mnuPortsCom3_Click() { mnuPortsCom_Click(3); }
    void mnuPortsCom4_Click() { mnuPortsCom_Click(4); }
    void mnuPortsCom5_Click() { mnuPortsCom_Click(5); }
    void mnuPortsCom6_Click() { mnuPortsCom_Click(6); }
    void mnuPortsCom7_Click() { mnuPortsCom_Click(7); }
    void mnuPortsCom8_Click() { mnuPortsCom_Click(8); }
    void mnuPortsCom9_Click() { mnuPortsCom_Click(9); }
    void mnuPortsCom10_Click() { mnuPortsCom_Click(10); }
    void mnuPortsCom11_Click() { mnuPortsCom_Click(11); }
    void mnuPortsCom12_Click() { mnuPortsCom_Click(12); }
    void mnuPortsCom13_Click() { mnuPortsCom_Click(13); }
    void mnuPortsCom14_Click() { mnuPortsCom_Click(14); }
    void mnuPortsCom15_Click() { mnuPortsCom_Click(15); }
    void mnuPortsCom16_Click() { mnuPortsCom_Click(16); }
    // The device a COM number opens, and the line settings of every open.
    void mnuChooseDevice_Click();
    void mnuLineSettings_Click();
    // A COM item's caption without the device shown after it ("Com&3").
    static QString captionOf(const QAction* item);

    // Serial receive path and keyboard entry.
    void MSComm1_OnComm();
    void MSComm1_InputOverflow(qint64 droppedBytes);
    // Device bytes read for the clients and not yet handed to a client socket
    // (waiting for a key derived ahead), counted once for each client.
    qint64 pendingForClients() const;
    void txtRxData_KeyPress(int KeyAscii);
    void txtTxData_KeyPress(int KeyAscii);

    // Listener ports and listening.
    void cmdListen_Click();
    void mnuTCPPort1_Click();
    void mnuTCPPort2_Click();
    void mnuTCPBoth_Click();
    void mnuDefineTCP1_Click();
    void mnuDefineTCP2_Click();

    // Connection lifecycle and network receive path.
    void wskServer1_ConnectionRequest(std::int32_t requestID) { connectionRequest(0, requestID); }
    void wskServer2_ConnectionRequest(std::int32_t requestID) { connectionRequest(1, requestID); }
    void wskServer1_Close() { clientClosed(0); }
    void wskServer2_Close() { clientClosed(1); }
    void wskServer1_Error(int number, const QString& description) {
        socketError(0, number, description);
    }
    void wskServer2_Error(int number, const QString& description) {
        socketError(1, number, description);
    }
    void wskServer1_DataArrival(qint64 bytesTotal) { dataArrival(0, bytesTotal); }
    void wskServer2_DataArrival(qint64 bytesTotal) { dataArrival(1, bytesTotal); }

    // Test message.
    void cmdSend_Click();

    // Options and Help menus.
    void mnuMinimized_Click();
    void mnuNetAutoconnect_Click();
    void mnuChangeKey_Click();
    void mnuHelpAbout_Click();

    // Shutdown.
    void cmdClose_Click();
    void cmdExit_Click();
    void Form_Unload(std::int16_t& cancel);
    // Ends a run whose window was never shown (--headless): the unload steps
    // without the position, which such a window does not have, and the second
    // listener closed too. Form_Unload will not run afterwards.
    void unloadUnshown();

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

    // The window's objects, named as the operator's documentation names them.
    MSComm& MSComm1;
    Winsock& wskServer1;
    Winsock& wskServer2;
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
    QAction* mnuDefineTCP1 = nullptr;
    QAction* mnuDefineTCP2 = nullptr;
    QAction* mnuChangeKey = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuHelpAbout = nullptr;

    ErrorRecord& errorRecord() { return errorRecord_; }

    // Text one listener may have waiting to be deciphered or handled before
    // its socket is no longer read (TCP flow control then slows the sender).
    static constexpr qsizetype kMaxWaitingChars = 1024 * 1024;
    static constexpr qsizetype kMaxWaitingMessages = 256;
    // A piece handed on waits for the serial line whole: longer ones are cut.
    static constexpr qsizetype kMaxPieceChars = 256 * 1024;

    // Bytes a client may leave unread (Qt's send queue) before it is dropped.
    static constexpr qint64 kMaxClientBacklog = 4 * 1024 * 1024;
    void setMaxClientBacklog(qint64 bytes) { maxClientBacklog_ = bytes > 0 ? bytes : 1; }
    qint64 maxClientBacklog() const { return maxClientBacklog_; }

    // --- Stopping without loss (app/drain.cpp) ---
    // How long a stop may go on delivering what was taken (milliseconds).
    static constexpr int kStopDrainMs = 10000;
    // Exit, closing the window and SIGTERM/SIGINT stop through here: nothing
    // new is taken (no listening, no reading), what was taken keeps going to
    // the device and to the clients until nothing waits or the bound passes,
    // then stopped() says what was not delivered. Asked again while stopping:
    // ends at once.
    void beginStop();
    bool stopping() const { return stopTimer_ != nullptr; }
    // Received bytes on their way to the device: in the streams, waiting for
    // the serial line, and queued by the serial control.
    qint64 bytesWaitingForDevice() const;
    // Bytes for clients: device bytes waiting for a key, and bytes queued
    // and not yet handed to the kernel.
    qint64 bytesWaitingForClients() const;
    // Drops what the streams still hold, so no derivation is waited for.
    void stopReceiving();

  signals:
    // Every caption given to lblStatus, as it is set.
    void statusChanged(const QString& caption);
    // The stop is over: `undelivered` bytes waited still (0: nothing lost);
    // `report` is the last status caption, which says so.
    void stopped(qint64 undelivered, const QString& report);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    // One listener's control, lamp and texts; index 0 is listener 1.
    struct Listener;
    Listener& listener(int index);
    Listener& otherListener(int index);

    void buildWindow();
    void buildMenus();
    void connectControls();
    // Items show their devices; run again when a mapping changes.
    void refreshComCaptions();
    // The stored "com settings" when valid, else the default.
    QString lineSettings() const;
    QString lineSettingsNotice() const;  // empty while "com settings" is valid
    int defaultDeviceCom(const QList<DeviceEntry>& present) const;
    // Size in twips: read at start-up, saved with the position.
    void restoreSize();
    void saveSize();

    void connectionRequest(int index, std::int32_t requestID);
    void clientClosed(int index);
    void socketError(int index, int number, const QString& description);
    void dataArrival(int index, qint64 bytesTotal);
    // The listener's last stream, a new one when its client is new.
    EnvelopeStream& readingStream(int index);
    // Finishes the last stream once its connection is over (the client left,
    // Listen, Close, a reset): what it holds is handed on as it stands.
    void endStream(int index);
    // Takes what the streams can hand on, in order, and runs its steps.
    void pump(int index);
    void pumpBoth();
    // Runs the steps of waiting pieces in order, each once the serial line
    // has room for it.
    void handleReady(int index);
    void handleClientMessage(int index, EnvelopeStream::Piece::Kind kind, const QString& text);
    void updateReading(int index);
    void mnuDefineTCP_Click(int index);
    // The port number stored under `key`. A number outside 1025..65535 (0
    // would let the kernel pick any port) is refused with the port dialog's
    // box and `defaultPort` is used; text that is no number is returned as it
    // is, for the caller's conversion to report.
    QString storedPort(const QString& key, const QString& defaultPort);
    void listenInMode();
    bool refuseModeChange(bool listener2Too);  // true: refused, box shown
    void markMode(bool port1, bool port2Item, bool both);
    // Sends one envelope to a client that keeps reading; a client with more
    // than kMaxClientBacklog bytes unsent is disconnected instead (false).
    bool sendToClient(int index, const QString& envelope);
    // The envelope of text under Password for a client: every envelope on the
    // network is made here, with key material derived ahead when there is some.
    QString encryptForNet(const QString& text);
    qint64 maxClientBacklog_ = kMaxClientBacklog;  // bytes
    // Said with the serial path's status until a client connects again: the
    // next device block would otherwise overwrite it at once.
    QString stoppedReading_;
    // Received serial bytes the control discarded (input cap) since the last
    // read that went to a client; shown in the status line.
    qint64 comDiscarded_ = 0;
    QString comDiscardedText() const;
    QString stoppedReadingText() const;
    // Device text read for one client and not yet sent to it.
    struct ComBacklog {
        QString text;            // one character per byte, in the device's order
        bool owed = false;       // an envelope is due: a device event came
        quint64 connection = 0;  // the client's ConnectionId()
    };
    std::array<ComBacklog, 2> comFor_;  // per listener
    bool comHeld_ = false;              // an event left the device's bytes in the control
    // Sends what waits for listener index's client, one envelope per key
    // ready; the rest waits for the pool's call once another is.
    void sendComBacklog(int index);
    qint64 comWaitingFor(int index) const;  // of a client still there; characters
    bool comBacklogFull() const;            // a client waits for too much: stop reading

    // Error traps. A trapped handler runs `body`; an error ends it and is
    // reported either in a message box "<prefix><number> - <description>"
    // (flags 64, application title) or as a status caption.
    void trapBox(const QString& prefix, const std::function<void()>& body);
    void trapStatus(const QString& caption, const std::function<void()>& body);
    void reportBox(const QString& prefix, const Error& e);
    void setStatus(const QString& caption);

    ClientArea* clientArea_ = nullptr;
    Dialogs& dialogs_;
    SettingsStore& settings_;
    ErrorRecord errorRecord_;
    std::array<std::unique_ptr<Listener>, 2> listeners_;
    // Keys of received envelopes; destroyed first, so no derivation calls back
    // into a window being torn down.
    std::unique_ptr<DerivationPool> derivations_;
    std::atomic<bool> pumpPosted_{false};  // a pump of both listeners is queued
    std::unique_ptr<KeyPool> keyPool_;     // keys ahead for Password, set with it
    bool unloaded_ = false;                // Form_Unload ran (the window closes once)

    // Traffic tools: the View menu (hex dump and arrival times in the panes),
    // the trace file, the serial line's flow control and the allowed clients.
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
    TrafficTrace& trace() { return *trace_; }
    // The stored "flow control" when valid ("none", "rtscts", "xonxoff"), else "none".
    QString flowControl() const;
    QString flowControlNotice() const;  // empty while "flow control" is valid

  private:
    void buildTrafficTools();
    void loadTrafficTools(QStringList& notices);  // at start-up: settings to view, trace, filter
    void applyView();
    std::unique_ptr<TrafficTrace> trace_;

    // Stopping without loss (app/drain.cpp).
    void pollStop();
    void finishStop();
    bool settled() const;          // nothing came from a client for a while
    QTimer* stopTimer_ = nullptr;  // polls while a stop drains
    QElapsedTimer stopClock_;      // since the stop began
    QElapsedTimer lastTaken_;      // since bytes last came from a client
    int quietPolls_ = 0;           // polls in a row that found nothing waiting
    bool stopFinished_ = false;
    bool stopClosesWindow_ = false;  // the stop began by closing the window
    bool inCloseEvent_ = false;
};

}  // namespace zv
