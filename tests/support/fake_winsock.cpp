#include "support/fake_winsock.h"

#include "cipher/error.h"

namespace zv::test {

void FakeWinsock::Listen() {
    calls << QStringLiteral("Listen");
    if (onListen) onListen();
    if (failListen) throw Error(errc::AddressInUse, "Address in use");
    state = sck::Listening;
}

void FakeWinsock::Close() {
    calls << QStringLiteral("Close");
    state = sck::Closed;
    ++connection;
}

void FakeWinsock::Accept(std::int32_t requestID) {
    calls << QStringLiteral("Accept %1").arg(requestID);
    if (failAccept) throw Error(errc::NotConnected, "unknown request id");
    state = sck::Connected;
    ++connection;
}

void FakeWinsock::SendData(const QString& text) {
    if (state != sck::Connected) throw Error(errc::NotConnected, "not connected");
    sent << text;
}

QString FakeWinsock::GetData() {
    QString out;
    out.swap(received);
    return out;
}

}  // namespace zv::test
