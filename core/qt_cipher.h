#pragma once
// The cipher for Qt text: texts go in and come out as UTF-8.
#include <QString>

#include <QByteArray>

#include "cipher/codec.h"
#include "cipher/envelope.h"
#include "cipher/key_pool.h"

namespace zv {

inline QString EncryptText(const QString& Source, const QString& PassPhrase) {
    return QString::fromStdString(
        EncryptText(std::string_view(Source.toStdString()), PassPhrase.toStdString()));
}

// With key material from Pool when it holds some for PassPhrase.
inline QString EncryptText(const QString& Source, const QString& PassPhrase, KeyPool& Pool) {
    return QString::fromStdString(
        EncryptText(std::string_view(Source.toStdString()), PassPhrase.toStdString(), Pool));
}

// Under key material derived ahead, consumed. The envelope is ASCII: read as
// Latin-1, which costs a fraction of a UTF-8 decode on large device blocks.
inline QString EncryptText(const QString& Source, PreparedKey Key) {
    const std::string envelope =
        EncryptText(std::string_view(Source.toStdString()), std::move(Key));
    return QString::fromLatin1(envelope.data(), qsizetype(envelope.size()));
}

inline QString DecryptText(const QString& Source, const QString& PassPhrase) {
    return QString::fromStdString(
        DecryptText(std::string_view(Source.toStdString()), PassPhrase.toStdString()));
}

// The deciphered bytes of an envelope, before they are read as UTF-8.
inline QByteArray DecryptBytes(const QString& Source, const QString& PassPhrase) {
    const Bytes clear = DecryptBytes(std::string_view(Source.toStdString()),
                                     std::string_view(PassPhrase.toStdString()));
    return QByteArray(reinterpret_cast<const char*>(clear.data()), qsizetype(clear.size()));
}

// UTF-8 bytes as text, each broken sequence as U+FFFD (as DecryptText reads them).
inline QString DecodeUtf8(QByteArrayView bytes) {
    return QString::fromStdString(DecodeUtf8(
        ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()), size_t(bytes.size()))));
}

}  // namespace zv
