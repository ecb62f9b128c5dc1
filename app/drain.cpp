// Stopping without loss: what the program took from clients still goes to the
// device, and what it queued for clients still goes to them, for a bounded
// time; what could not be delivered is said with its byte count.
#include <QCoreApplication>
#include <QPushButton>
#include <QTimer>

#include "app/frmZVServer.h"
#include "app/lamp.h"
#include "app/listener.h"
#include "net/winsock.h"
#include "serial/mscomm.h"

namespace zv {

namespace {
constexpr int kPollMs = 100;
// A receive thread hands on the end of an envelope after its quiet time and
// posts its results: nothing may have come from a client for this long
// before "nothing waits" is believed.
constexpr qint64 kSettledMs = 200;
}  // namespace

qint64 frmZVServer::bytesWaitingForClients() const {
    return pendingForClients() + wskServer1.BytesToWrite() + wskServer2.BytesToWrite();
}

void frmZVServer::stopReceiving() {
    for (auto& l : listeners_) {
        l->streams.clear();  // their derivations are cancelled
        l->ready.clear();
        l->readyChars = 0;
    }
}

void frmZVServer::beginStop() {
    if (stopFinished_) return;
    if (stopTimer_ != nullptr) return finishStop();  // asked again: at once
    stopClock_.start();
    for (auto& l : listeners_) {
        // A client that left (state 8) is closed once its messages are handled.
        if (l->sock.State() == sck::Connected || l->sock.State() == sck::Closing) {
            l->sock.StopReading();  // the kernel keeps what comes now; closing resets it
            // What the stream holds back for a next read goes on as it stands.
            if (!l->streams.empty() && !l->streams.back()->finished())
                l->streams.back()->finish(Password.toUtf8());
        } else {
            l->sock.Close();
            l->lamp->setFillColor(colour::WindowBackground);
        }
    }
    for (QPushButton* b : {cmdListen, cmdClose, cmdSend}) b->setEnabled(false);
    pumpBoth();
    stopTimer_ = new QTimer(this);
    connect(stopTimer_, &QTimer::timeout, this, &frmZVServer::pollStop);
    stopTimer_->start(kPollMs);
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);  // results already deciphered
    const qint64 device = bytesWaitingForDevice(), clients = bytesWaitingForClients();
    if (device + clients == 0 && settled()) return finishStop();
    setStatus(
        QStringLiteral("stopping: %1 bytes wait for the device, %2 for clients (at most %3 s)")
            .arg(device)
            .arg(clients)
            .arg(kStopDrainMs / 1000));
}

bool frmZVServer::settled() const {
    return !lastTaken_.isValid() || lastTaken_.elapsed() > kSettledMs;
}

void frmZVServer::pollStop() {
    const bool idle = bytesWaitingForDevice() == 0 && bytesWaitingForClients() == 0 && settled();
    quietPolls_ = idle ? quietPolls_ + 1 : 0;
    if (quietPolls_ >= 2 || stopClock_.elapsed() >= kStopDrainMs) finishStop();
}

void frmZVServer::finishStop() {
    stopTimer_->stop();
    stopTimer_->deleteLater();  // we may be in its timeout
    stopTimer_ = nullptr;
    stopFinished_ = true;
    const qint64 device = bytesWaitingForDevice(), clients = bytesWaitingForClients();
    stopReceiving();
    // A client that still had bytes coming sees a reset, not a clean end.
    for (auto& l : listeners_)
        if (l->sock.BytesToWrite() > 0) l->sock.Reset();
    const QString report =
        device + clients == 0
            ? QStringLiteral("stopped, everything delivered")
            : QStringLiteral(
                  "stopped after %1 s: %2 bytes not written to the device, %3 bytes "
                  "not sent to clients")
                  .arg(stopClock_.elapsed() / 1000.0, 0, 'f', 1)
                  .arg(device)
                  .arg(clients);
    setStatus(report);
    emit stopped(device + clients, report);
    if (stopClosesWindow_ && !inCloseEvent_) QTimer::singleShot(0, this, &QWidget::close);
}

}  // namespace zv
