#include "core/stored_settings.h"

#include "cipher/envelope.h"
#include "cipher/error.h"
#include "core/qt_cipher.h"
#include "core/settings_store.h"
#include "core/text_number.h"
#include "serial/serial_line.h"

namespace zv {

namespace {
const QString kDefaultLine = QStringLiteral("9600,N,8,1");

// "between 1024 and 65536": both ends are refused.
bool portInRange(double value) {
    return value >= 1025 && value <= 65535;
}
}  // namespace

ListenerMode listenerModeOf(const QString& text) {
    if (text == u"1") return ListenerMode::Port1;
    if (text == u"2") return ListenerMode::Port2;
    if (text == u"3") return ListenerMode::Both;
    return ListenerMode::Other;
}

Switch switchOf(const QString& text) {
    return text == u"0" ? Switch::Off : text == u"1" ? Switch::On : Switch::Other;
}

StoredPort readPort(const SettingsStore& store, const QString& key, const QString& defaultPort) {
    const QString stored = store.read(key, defaultPort);
    try {
        if (!portInRange(toDouble(stored))) return {defaultPort, true};
    } catch (const Error&) {  // no number: its use says so
    }
    return {stored, false};
}

StoredKey readKey(const SettingsStore& store) {
    const QString missing(QChar(1));  // no text read from the file is this
    const QString stored = store.read(QStringLiteral("Password"), missing);
    if (stored == missing) return {QStringLiteral("ResetNow"), true};
    return {DecryptText(stored, kStorePassPhrase), IsEnvelopeText(stored.toStdString())};
}

LineSettings readLineSettings(const SettingsStore& store, QStringList* notices) {
    LineSettings line;
    const QString text = store.read(QStringLiteral("com settings"), kDefaultLine);
    try {
        line = LineSettings::parse(text);
    } catch (const Error&) {
        if (notices)
            *notices << QStringLiteral("stored com settings \"%1\" are not valid; using %2")
                            .arg(text, kDefaultLine);
    }
    const QString flow =
        store.read(QStringLiteral("flow control"), QStringLiteral("none")).trimmed();
    try {
        line.flow = LineSettings::parseFlow(flow);
    } catch (const Error&) {
        if (notices)
            *notices << QStringLiteral(
                            "stored flow control \"%1\" is not none, rtscts or xonxoff; using none")
                            .arg(flow);
    }
    return line;
}

AddressFilter readAllowedClients(const SettingsStore& store, QStringList* notices) {
    // A list that cannot be read whole allows nobody: a part of it must never
    // stand for all of it, nor nothing for everyone.
    const std::optional<QString> list =
        store.readInFull(QStringLiteral("allowed clients"), QString());
    const AddressFilter allowed = list ? AddressFilter(*list) : AddressFilter::nobody();
    if (!notices) return allowed;
    if (!list) *notices << QStringLiteral("allowed clients cannot be read; nobody may connect");
    for (const QString& entry : allowed.invalid())
        *notices << QStringLiteral("allowed clients: \"%1\" is no address or network").arg(entry);
    return allowed;
}

std::function<QString(int)> comDeviceResolver(const SettingsStore& store) {
    return [&store](int n) {
        const QString mapped = store.read(QStringLiteral("com device %1").arg(n), QString());
        return mapped.isEmpty() ? SerialLine::defaultDevice(n) : mapped;
    };
}

bool readTransparent(const SettingsStore& store, QStringList* notices) {
    const bool on = store.read(QStringLiteral("transparent"), QStringLiteral("0")) == u"1";
    if (on && notices)
        *notices << QStringLiteral("transparent: client messages reach the device unchanged");
    return on;
}

RelayConfig readRelayConfig(const SettingsStore& store, QStringList* notices) {
    RelayConfig c;
    c.key = readKey(store);
    if (!c.key.envelope && notices)
        *notices << QStringLiteral(
            "The stored encryption key could not be read; set it again with Change Encryption "
            "Key.");
    c.autoListen = switchOf(store.read(QStringLiteral("autoconnect"), QStringLiteral("0")));
    const QString mode = store.read(QStringLiteral("netport"), QStringLiteral("1"));
    c.mode = listenerModeOf(mode);
    if (c.mode == ListenerMode::Other && notices)
        *notices << QStringLiteral("stored listener mode \"%1\" is not 1, 2 or 3").arg(mode);
    const std::pair<const char*, const char*> ports[] = {{"TCP Port", "9876"},
                                                         {"TCP Port 2", "9875"}};
    for (int i = 0; i < 2; ++i) {
        const QString key = QLatin1String(ports[i].first);
        const StoredPort port = readPort(store, key, QLatin1String(ports[i].second));
        if (port.refused && notices)
            *notices
                << QStringLiteral("stored %1 is not 1025 to 65535; using %2").arg(key, port.text);
        try {
            c.ports[i] = toInt32(port.text);
        } catch (const Error& e) {
            if (notices)
                *notices << QStringLiteral("stored %1 \"%2\": %3")
                                .arg(key, port.text, QString::fromStdString(e.description()));
        }
    }
    const QString com = store.read(QStringLiteral("com port"), QString());
    c.comPortStored = !com.isEmpty();
    const double n = leadingNumber(com);
    if (n >= 1 && n <= 16 && n == double(int(n)))
        c.comPort = int(n);
    else if (c.comPortStored && notices)
        *notices << QStringLiteral("stored com port \"%1\" is not 1 to 16").arg(com);
    c.line = readLineSettings(store, notices);
    c.allowedClients = readAllowedClients(store, notices);
    c.bindAddress = store.read(QStringLiteral("bind address"), QString()).trimmed();
    c.traceFile = store.read(QStringLiteral("trace file"), QString()).trimmed();
    c.transparent = readTransparent(store, notices);
    return c;
}

}  // namespace zv
