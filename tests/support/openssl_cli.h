#pragma once
// The real `openssl enc` command as a peer: it must open our envelopes and we
// must open its own.
#include <QByteArray>
#include <QString>

namespace zv::test {

// Decrypts one envelope with `openssl enc -d -aes-256-ctr -pbkdf2 -md sha512
// -iter 10000 -a -A`; the pass phrase goes through the environment.
QByteArray opensslDecrypt(const QByteArray& envelope, const QString& passPhrase);
// Encrypts bytes the same way; returns the one-line envelope.
QByteArray opensslEncrypt(const QByteArray& plain, const QString& passPhrase);

}  // namespace zv::test
