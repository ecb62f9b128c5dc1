#pragma once
// The cipher for Qt text: texts go in and come out as UTF-8.
#include <QString>

#include "cipher/envelope.h"

namespace zv {

inline QString EncryptText(const QString& Source, const QString& PassPhrase) {
    return QString::fromStdString(
        EncryptText(std::string_view(Source.toStdString()), PassPhrase.toStdString()));
}

inline QString DecryptText(const QString& Source, const QString& PassPhrase) {
    return QString::fromStdString(
        DecryptText(std::string_view(Source.toStdString()), PassPhrase.toStdString()));
}

}  // namespace zv
