// tandro-zv-client: talks to Tandro ZV Server from a terminal or a script.
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>

#include "cipher/engine.h"
#include "cipher/error.h"
#include "client/cli_error.h"
#include "client/connect_session.h"
#include "client/filter.h"
#include "client/options.h"
#include "client/pass_phrase.h"

using namespace zv::client;

int main(int argc, char** argv) {
    (void)zv::KeepOpensslUntilExit();  // a failure is said where the cipher is used
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tandro-zv-client"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZV_VERSION));
    try {
        const Options o = parseOptions(QCoreApplication::arguments());
        switch (o.command) {
            case Command::Help:
                std::fputs(usageText().toLocal8Bit().constData(), stdout);
                return 0;
            case Command::Version:
                std::puts("tandro-zv-client " ZV_VERSION);
                return 0;
            case Command::Encrypt:
                runEncrypt(readPassPhrase(o.passSource, true), STDIN_FILENO, STDOUT_FILENO);
                return 0;
            case Command::Decrypt:
                runDecrypt(readPassPhrase(o.passSource, false), STDIN_FILENO, STDOUT_FILENO);
                return 0;
            case Command::Connect: {
                ConnectSession session(o, readPassPhrase(o.passSource, false), STDIN_FILENO,
                                       STDOUT_FILENO);
                return session.run();
            }
        }
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tandro-zv-client: %s (try --help)\n", e.what());
        return kExitUsage;
    } catch (const Failure& e) {
        std::fprintf(stderr, "tandro-zv-client: %s\n", e.what());
        return kExitFailure;
    } catch (const zv::Error& e) {
        std::fprintf(stderr, "tandro-zv-client: cipher failure: %s\n", e.what());
        return kExitFailure;
    }
    return kExitFailure;
}
