#pragma once
// A listening socket and connections whose failures the test chooses; they
// record what the relay asks of them. They stand in where a real socket
// cannot be driven: a call failing at a chosen moment, an error of its own.
#include <QStringList>
#include <functional>
#include <utility>

#include "cipher/error.h"
#include "net/tcp_server.h"

namespace zv::test {

class FakeConnection : public TcpConnection {
  public:
    explicit FakeConnection(qintptr id, bool failWrite) : id_(id), failWrite_(failWrite) {}
    qintptr id() const override { return id_; }
    QByteArray read() override { return std::exchange(received, {}); }
    void write(QByteArrayView bytes) override {
        if (!open_ || failWrite_)
            throw Error(errc::NotConnected, "Wrong protocol or connection state");
        sent += bytes.toByteArray();
    }
    qint64 written() const override { return sent.size(); }
    qint64 acknowledged() const override { return sent.size(); }
    qint64 unsent() const override { return 0; }
    qint64 arriving() const override { return received.size(); }
    void setReading(bool) override {}
    void close() override { open_ = false; }
    void abort() override { open_ = false; }

    QByteArray received;  // what the next read() returns
    QByteArray sent;      // everything written

  private:
    qintptr id_;
    bool failWrite_;
};

class FakeServer : public TcpServer {
  public:
    void setLocalPort(qint32 port) override { port_ = port; }
    qint32 localPort() const override { return port_; }
    void setBindAddress(const QString& address) override { bindAddress = address; }
    void setAllowedClients(const AddressFilter&) override {}
    void listen() override { step("Listen", failListen), listening_ = true; }
    void close() override { step("Close", failClose), listening_ = false; }
    bool listening() const override { return listening_; }
    std::unique_ptr<TcpConnection> accept(qintptr id) override {
        step(QStringLiteral("Accept %1").arg(id), failAccept);
        auto c = std::make_unique<FakeConnection>(id, failSend);
        last = c.get();
        return c;
    }
    QString localHostName() const override { return "fakehost"; }
    QString localIP() const override { return "127.0.0.1"; }

    qint32 port_ = 0;
    QString bindAddress;
    QStringList calls;               // "Listen", "Close", "Accept <id>", in order
    std::function<void()> onListen;  // runs inside listen()
    FakeConnection* last = nullptr;  // the connection accepted last
    bool failAccept = false, failListen = false, failClose = false, failSend = false;

  private:
    // Records the call, then raises 40006 when it is to fail.
    void step(const QString& call, bool fail) {
        calls << call;
        if (call == "Listen" && onListen) onListen();
        if (fail) throw Error(errc::NotConnected, "Wrong protocol or connection state");
    }
    bool listening_ = false;
};

}  // namespace zv::test
