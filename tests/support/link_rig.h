#pragma once
// The whole link: a socat pseudo-terminal pair as COM3, the window loaded over
// it with both listeners on free loopback ports, and envelope readers.
#include <QByteArrayList>
#include <QLabel>
#include <QTest>
#include <functional>
#include <memory>

#include "app/activity_display.h"
#include "app/pane_text.h"
#include "app/qt_cipher.h"
#include "net/tcp_winsock.h"
#include "support/pty_pair.h"
#include "support/server_rig.h"
#include "support/tcp_client.h"

namespace zv::test {

// A real socket control that notes which listener made each SendData, the
// largest envelope and the largest backlog right after a send.
class RecordingWinsock : public TcpWinsock {
  public:
    RecordingWinsock(int id, std::vector<int>& order) : id_(id), order_(order) {}
    void SendData(const QString& text) override {
        TcpWinsock::SendData(text);
        order_.push_back(id_);
        largestEnvelope = std::max<qint64>(largestEnvelope, text.size());
        maxBacklog = std::max(maxBacklog, BytesToWrite());
    }
    void Listen() override {
        if (onListen) onListen();
        TcpWinsock::Listen();
    }
    std::function<void()> onListen;  // runs as Listen() begins
    qint64 largestEnvelope = 0, maxBacklog = 0;

  private:
    int id_;
    std::vector<int>& order_;
};

struct LinkRig {
    PtyPair pty;
    ServerRig rig;
    std::vector<int> sendOrder;  // 1 or 2 per SendData, in order
    RecordingWinsock sock1{1, sendOrder}, sock2{2, sendOrder};
    std::unique_ptr<RawTty> device;  // the far end of the serial line
    quint16 p1 = 0, p2 = 0;
    frmZVServer* w = nullptr;

    // Loads the window in listener mode `mode`, listening at once; false (with
    // a gtest failure) when the pty, COM3 or the device end did not come up.
    bool start(const char* mode = "3") {
        EXPECT_TRUE(pty.ok()) << pty.error().toStdString();
        if (!pty.ok()) return false;
        p1 = freePort();
        p2 = freePort();
        while (p2 == p1) p2 = freePort();
        rig.set("com device 3", pty.a());
        rig.set("com port", "3");
        rig.set("TCP Port", QString::number(p1));
        rig.set("TCP Port 2", QString::number(p2));
        rig.set("netport", mode);
        rig.set("autoconnect", "1");
        rig.plug1 = &sock1;
        rig.plug2 = &sock2;
        w = &rig.load();
        device = std::make_unique<RawTty>(pty.b());
        EXPECT_TRUE(device->ok()) << device->error().toStdString();
        EXPECT_TRUE(rig.comm->PortOpen()) << "COM3: " << status().toStdString();
        return device->ok() && rig.comm->PortOpen();
    }
    QString status() const { return w->lblStatus->text(); }
    bool waitStatus(const QString& text) {
        return QTest::qWaitFor([&] { return status() == text; }, 5000);
    }
    // Connects `client` to `port` and waits until listener `sock` serves it.
    bool connect(TcpClient& client, quint16 port, TcpWinsock& sock) {
        return client.connect(port) &&
               QTest::qWaitFor([&] { return sock.State() == sck::Connected; }, 5000);
    }
};

// Reads from `client` until its envelopes carry `plainBytes` bytes in all, and
// returns them cut before each "U2FsdGVkX1" at a multiple of 4 characters.
inline QByteArrayList readEnvelopes(TcpClient& client, qsizetype plainBytes, int ms = 10000) {
    QByteArray buf;
    QByteArrayList out;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        buf += client.read(1);
        out.clear();
        qsizetype start = 0, sum = 0;
        for (qsizetype k = 4; k + 10 <= buf.size(); k += 4) {
            if (buf.mid(k, 10) == "U2FsdGVkX1") {
                out << buf.mid(start, k - start);
                start = k;
            }
        }
        out << buf.mid(start);
        for (const QByteArray& e : out)  // Base64 bytes less padding, salt header
            sum += e.size() / 4 * 3 - e.count('=') - 16;
        if (buf.size() % 4 == 0 && sum >= plainBytes) return out;
    }
    return out;
}

// What the device gets for a received text: DecryptText, ShowData's edits, stripLF.
inline QByteArray serialLineFor(const QString& received, const QString& pass) {
    QString clear = DecryptText(received, pass);
    PaneText scratch;
    appendToPane(scratch, clear);
    return stripLF(clear).toLatin1();
}

}  // namespace zv::test
