// Entry point: builds the real controls, runs start-up, shows the one window.
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/dialogs.h"
#include "app/frmZVServer.h"
#include "app/settings_store.h"
#include "net/tcp_winsock.h"
#include "serial/com_devices.h"
#include "serial/serial_comm.h"

namespace {

// The program has no options of its own besides these two.
void parseCommandLine(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Links one serial port to TCP clients with encrypted text envelopes.\n"
                       "Everything is set in the window and kept in\n"
                       "$XDG_CONFIG_HOME/Tandro ZV Server/Tandro ZV Server.ini."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);  // prints help, version or the error, and exits
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "%s: takes no arguments (try --help)\n",
                     qPrintable(QCoreApplication::applicationName()));
        std::exit(2);
    }
}

bool asksForInfoOnly(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h") || !std::strcmp(a, "--version") ||
            !std::strcmp(a, "-v") || !std::strcmp(a, "--help-all"))
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (asksForInfoOnly(argc, argv)) {
        // Answered without a display: the window system is not started.
        QCoreApplication info(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("tandro-zv-server"));
        QCoreApplication::setApplicationVersion(QStringLiteral(ZV_VERSION));
        parseCommandLine(info);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(ZV_VERSION));
    parseCommandLine(app);  // Qt's own options (-platform, ...) are gone by now
    QApplication::setApplicationName(zv::kAppTitle);
    QApplication::setWindowIcon(zv::appIcon());

    zv::SettingsStore settings(zv::SettingsStore::defaultPath());
    zv::SerialComm comm(zv::comDeviceResolver(settings));
    zv::TcpWinsock server1;
    zv::TcpWinsock server2;
    zv::QtDialogs dialogs;
    zv::frmZVServer window(dialogs, settings, comm, server1, server2);
    dialogs.setParent(&window);

    window.Form_Load();
    window.showAsStored();
    return QApplication::exec();
}
