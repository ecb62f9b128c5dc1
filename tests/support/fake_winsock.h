#pragma once
// A socket control whose state the test sets and whose events the test raises;
// it records what the window asks of it. Stands in where a real socket cannot
// be driven, such as the error state 9.
#include <QStringList>
#include <functional>

#include "net/winsock.h"

namespace zv::test {

class FakeWinsock : public Winsock {
  public:
    using Winsock::Winsock;

    void setLocalPort(std::int32_t port) override { localPort = port; }
    void setBindAddress(const QString& address) override { bindAddress = address; }
    std::int32_t LocalPort() const override { return localPort; }
    void Listen() override;
    void Close() override;
    void Accept(std::int32_t requestID) override;
    void SendData(const QString& text) override;
    QString GetData() override;
    std::int16_t State() const override { return state; }
    QString LocalHostName() const override { return QStringLiteral("fakehost"); }
    QString LocalIP() const override { return QStringLiteral("127.0.0.1"); }
    qint64 BytesToWrite() const override { return bytesToWrite; }
    void Reset() override { Close(); }
    void setReading(bool on) override { reading = on; }
    quint64 ConnectionId() const override { return connection; }

    // Raise the control's events as the real one would.
    void raiseError(int number, const QString& description) {
        emit socketError(number, description);
    }

    std::int16_t state = sck::Closed;
    std::int32_t localPort = 0;
    QString bindAddress;
    qint64 bytesToWrite = 0;
    bool reading = true;
    quint64 connection = 0;          // bumped by Accept and Close
    QString received;                // what the next GetData() returns
    QStringList sent;                // every SendData, in order
    QStringList calls;               // "Listen", "Close", "Accept <id>", in order
    std::function<void()> onListen;  // runs inside Listen()
    bool failAccept = false;         // Accept raises 40006
    bool failListen = false;         // Listen raises 10048
};

}  // namespace zv::test
