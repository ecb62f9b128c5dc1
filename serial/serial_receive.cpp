// Serial receive path: every block from the device goes to each connected
// client as an envelope of its own, then into the "Rx from Com:" pane.
#include <QLabel>
#include <exception>

#include "app/data_pane.h"
#include "app/frmZVServer.h"
#include "app/listener.h"
#include "app/traffic_trace.h"
#include "cipher/error.h"
#include "net/winsock.h"
#include "serial/mscomm.h"

namespace zv {

// An error leaving a Qt slot would end the program: every step is caught
// here and shown in the status line instead.
void frmZVServer::MSComm1_OnComm() {
    try {
        if (wskServer1.State() != sck::Connected && wskServer2.State() != sck::Connected) {
            // The bytes stay waiting in the control (up to its input cap) and go
            // with a later event.
            setStatus(QStringLiteral("com send failed, client not connected") + comDiscardedText() +
                      stoppedReadingText());
            return;
        }
        // One character per byte; EncryptText sends the text's UTF-8, so a byte
        // 0x80-0xFF reaches the client as the UTF-8 of that Latin-1 character.
        QString received = MSComm1.Input();
        trace_->deviceToClients(received);
        comDiscarded_ = 0;
        // Bytes that piled up while no client was there go out in messages
        // that every receiver can buffer whole (1 MiB of text at most).
        constexpr qsizetype kMaxMessageChars = 256 * 1024;
        qsizetype at = 0;
        do {
            const QString piece = received.mid(at, kMaxMessageChars);
            for (int i = 0; i < 2; ++i) {
                if (listener(i).sock.State() != sck::Connected) continue;
                // Each client on its own: one failing must not cost the other its copy.
                try {
                    if (sendToClient(i, encryptForNet(piece)))
                        setStatus(QStringLiteral("com data sent to winsock ") + listener(i).name +
                                  stoppedReadingText());
                } catch (const Error& e) {
                    errorRecord_ = {e.number(), QString::fromStdString(e.description())};
                    setStatus(QStringLiteral("com data send error on ") + listener(i).name);
                }
            }
            at += kMaxMessageChars;
        } while (at < received.size());
        errorRecord_.clear();
        ShowData(*txtTxData, received);
    } catch (const Error& e) {  // the read failed: nothing was sent or shown
        errorRecord_ = {e.number(), QString::fromStdString(e.description())};
        setStatus(QStringLiteral("com data read error"));
        errorRecord_.clear();
    } catch (const std::exception&) {  // e.g. out of memory
        setStatus(QStringLiteral("com data read error"));
    }
}

// The control dropped the oldest waiting bytes (its input cap): the running
// total since the last read that went to a client is shown until then.
void frmZVServer::MSComm1_InputOverflow(qint64 droppedBytes) {
    comDiscarded_ += droppedBytes;
    const bool client =
        wskServer1.State() == sck::Connected || wskServer2.State() == sck::Connected;
    setStatus((client ? QStringLiteral("com buffer full: %1 oldest bytes discarded")
                      : QStringLiteral("com buffer full, no client: %1 oldest bytes discarded"))
                  .arg(comDiscarded_));
}

QString frmZVServer::stoppedReadingText() const {
    return stoppedReading_.isEmpty() ? QString() : QStringLiteral("; ") + stoppedReading_;
}

QString frmZVServer::comDiscardedText() const {
    return comDiscarded_ > 0 ? QStringLiteral("; %1 oldest bytes discarded").arg(comDiscarded_)
                             : QString();
}

}  // namespace zv
