#pragma once
// A socket control whose state the test sets and whose events the test raises;
// it records what the window asks of it. Stands in where a real socket cannot
// be driven: the error state 9, a call failing at a chosen moment.
#include <QStringList>
#include <functional>
#include <utility>

#include "cipher/error.h"
#include "net/winsock.h"

namespace zv::test {

class FakeWinsock : public Winsock {
  public:
    void setLocalPort(std::int32_t port) override { localPort = port; }
    std::int32_t LocalPort() const override { return localPort; }
    void Listen() override { step("Listen", failListen, sck::Listening); }
    void Close() override { step("Close", failClose, sck::Closed); }
    void Accept(std::int32_t id) override {
        step(QStringLiteral("Accept %1").arg(id), failAccept, sck::Connected);
    }
    void SendData(const QString& text) override {
        step({}, state != sck::Connected || failSend, state);  // raises when not connected
        sent << text;
    }
    QString GetData() override { return std::exchange(received, {}); }
    std::int16_t State() const override { return state; }
    QString LocalHostName() const override { return "fakehost"; }
    QString LocalIP() const override { return "127.0.0.1"; }
    qint64 BytesToWrite() const override { return bytesToWrite; }
    void Reset() override { Close(); }
    void setReading(bool on) override { reading = on; }
    quint64 ConnectionId() const override { return connection; }
    void setBindAddress(const QString& address) override { bindAddress = address; }
    void setAllowedClients(const AddressFilter&) override {}
    void raiseError(int number, const QString& text) { emit socketError(number, text); }

    std::int16_t state = sck::Closed;
    std::int32_t localPort = 0;
    qint64 bytesToWrite = 0;
    bool reading = true;
    quint64 connection = 0;  // a new one at every Accept and Close
    QString bindAddress;
    QString received;                // what the next GetData() returns
    QStringList sent;                // every SendData, in order
    QStringList calls;               // "Listen", "Close", "Accept <id>", in order
    std::function<void()> onListen;  // runs inside Listen()
    bool failAccept = false, failListen = false, failClose = false, failSend = false;

  private:
    // Records the call, then raises 40006 or enters state `to`.
    void step(const QString& call, bool fail, std::int16_t to) {
        if (!call.isEmpty()) calls << call;
        if (call == "Listen" && onListen) onListen();
        if (fail) throw Error(errc::NotConnected, "Wrong protocol or connection state");
        if (to != state || call.startsWith("Accept")) ++connection;
        state = to;
    }
};

}  // namespace zv::test
