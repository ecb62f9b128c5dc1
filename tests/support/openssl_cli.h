#pragma once
// The real `openssl enc` command as a peer: it must open our envelopes and we
// must open its own. The pass phrase goes through the environment.
#include <gtest/gtest.h>
#include <QByteArrayList>
#include <QProcess>

namespace zv::test {

// `openssl enc [-d] -aes-256-ctr -pbkdf2 -md sha512 -iter 10000 -a -A` of
// `input`; without oneLine, no -A: lines of 64 characters.
inline QByteArray openssl(bool decrypt, const QByteArray& input, const QString& passPhrase,
                          bool oneLine = true) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZV_TEST_PASS", passPhrase);
    p.setProcessEnvironment(env);
    p.start("openssl",
            {"enc", decrypt ? "-d" : "-e", "-aes-256-ctr", "-pbkdf2", "-md", "sha512", "-iter",
             "10000", "-a", oneLine ? "-A" : "-a", "-pass", "env:ZV_TEST_PASS"});
    p.write(decrypt ? input + '\n' : input);  // `-d -a -A` wants its one line ended
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(30000) && !p.exitCode())
        << p.readAllStandardError().toStdString();
    return decrypt ? p.readAllStandardOutput() : p.readAllStandardOutput().trimmed();
}
inline QByteArray opensslDecrypt(const QByteArray& envelope, const QString& passPhrase) {
    return openssl(true, envelope, passPhrase);
}
inline QByteArray opensslEncrypt(const QByteArray& plain, const QString& passPhrase,
                                 bool oneLine = true) {
    return openssl(false, plain, passPhrase, oneLine);
}

// Opens each envelope with `openssl enc -d` and joins the clear bytes; fails
// the test for an envelope not in the form the cipher writes: "U2FsdGVkX1"
// first, 4 x ceil((n + 16) / 3) characters for n message bytes, nothing else.
inline QByteArray opensslOpen(const QByteArrayList& envelopes, const QString& passPhrase) {
    QByteArray clear;
    for (const QByteArray& e : envelopes) {
        const QByteArray part = opensslDecrypt(e, passPhrase);
        EXPECT_TRUE(e.startsWith("U2FsdGVkX1") && e.size() == (part.size() + 18) / 3 * 4)
            << e.toStdString();
        clear += part;
    }
    return clear;
}

}  // namespace zv::test
