#pragma once
// The settings store's text read as typed values, each key by one rule that
// says what it makes of odd text. Start-up reads them all at once
// (readRelayConfig); the window also reads single keys again where its
// handlers do. Every notice is a short sentence for the status line or log.
#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <optional>

#include "net/address_filter.h"
#include "serial/line_settings.h"

namespace zv {

class SettingsStore;

// The fixed pass phrase under which the encryption key itself is stored.
inline const QString kStorePassPhrase = QStringLiteral("QJ7X KD Wander");

// Which listeners listen, on which port numbers: "1" listener 1 on port 1,
// "2" listener 1 on port 2, "3" both listeners; any other text: none.
enum class ListenerMode { Port1, Port2, Both, Other };
ListenerMode listenerModeOf(const QString& text);

// "0" off, "1" on; any other text leaves what it sets as it is.
enum class Switch { Off, On, Other };
Switch switchOf(const QString& text);

// A TCP port as stored: its text, or the default when the stored number is
// outside 1025..65535 (0 would let the kernel pick any port); `refused` then.
// Text that is no number is kept as it is, for its use to fail.
struct StoredPort {
    QString text;
    bool refused = false;
};
StoredPort readPort(const SettingsStore& store, const QString& key, const QString& defaultPort);

// The encryption key: "Password" opened under kStorePassPhrase ("ResetNow"
// when there is none); `envelope` is false when the stored value is no
// envelope at all (it then opens to meaningless text, as the cipher reads it).
struct StoredKey {
    QString passPhrase;
    bool envelope = true;
};
StoredKey readKey(const SettingsStore& store);

// "com settings" and "flow control"; an invalid value is said and the
// default (9600,N,8,1, none) used.
LineSettings readLineSettings(const SettingsStore& store, QStringList* notices = nullptr);
// "allowed clients"; a value that cannot be read in full allows nobody, an
// entry that is no address or network is said.
AddressFilter readAllowedClients(const SettingsStore& store, QStringList* notices);
// Which device COM n opens: "com device n" when set, else /dev/ttyS<n-1>;
// read afresh at each call.
std::function<QString(int)> comDeviceResolver(const SettingsStore& store);
// "transparent": "1" on; said when on.
bool readTransparent(const SettingsStore& store, QStringList* notices = nullptr);

// What the relay starts with, read at once.
struct RelayConfig {
    StoredKey key;
    Switch autoListen = Switch::Off;  // "autoconnect"
    ListenerMode mode = ListenerMode::Port1;
    std::array<std::optional<qint32>, 2> ports;  // "TCP Port", "TCP Port 2"; none: no number
    int comPort = 0;                             // 1..16; 0: none stored, or not 1..16
    bool comPortStored = false;                  // "com port" holds any text at all
    LineSettings line;
    AddressFilter allowedClients;
    QString bindAddress;  // empty: every interface
    QString traceFile;    // empty: no trace
    bool transparent = false;
};
RelayConfig readRelayConfig(const SettingsStore& store, QStringList* notices);

}  // namespace zv
