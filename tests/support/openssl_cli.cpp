#include "support/openssl_cli.h"

#include <gtest/gtest.h>
#include <QProcess>
#include <QProcessEnvironment>

namespace zv::test {

namespace {
QByteArray runOpenssl(bool decrypt, const QByteArray& input, const QString& passPhrase) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZV_TEST_PASS"), passPhrase);
    p.setProcessEnvironment(env);
    QStringList args{QStringLiteral("enc")};
    if (decrypt) args << QStringLiteral("-d");
    args << QStringLiteral("-aes-256-ctr") << QStringLiteral("-pbkdf2") << QStringLiteral("-md")
         << QStringLiteral("sha512") << QStringLiteral("-iter") << QStringLiteral("10000")
         << QStringLiteral("-a") << QStringLiteral("-A") << QStringLiteral("-pass")
         << QStringLiteral("env:ZV_TEST_PASS");
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForStarted(10000)) {
        ADD_FAILURE() << "openssl did not start";
        return {};
    }
    // `openssl enc -d -a -A` wants its one line ended.
    p.write(decrypt ? input + '\n' : input);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000) || p.exitCode() != 0) {
        ADD_FAILURE() << "openssl failed: " << p.readAllStandardError().toStdString();
        return {};
    }
    QByteArray out = p.readAllStandardOutput();
    if (!decrypt) out = out.trimmed();
    return out;
}
}  // namespace

QByteArray opensslDecrypt(const QByteArray& envelope, const QString& passPhrase) {
    return runOpenssl(true, envelope, passPhrase);
}

QByteArray opensslEncrypt(const QByteArray& plain, const QString& passPhrase) {
    return runOpenssl(false, plain, passPhrase);
}

}  // namespace zv::test
