// Entry point of the service: the relay from the settings store, without a
// window and without linking any window library, logging on standard error.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "cipher/engine.h"
#include "core/instance.h"
#include "core/process_log.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/stored_settings.h"
#include "net/tcp_server.h"
#include "serial/serial_line.h"
#include "service/service.h"

int main(int argc, char** argv) {
    // A reader of standard error that goes away (a logger restarting) must not
    // end the program; sockets send with MSG_NOSIGNAL besides.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)zv::KeepOpensslUntilExit();  // a failure is said where the cipher is used
    // Nothing here needs the GLib main loop; Qt's own poll loop does less
    // per event.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tandro-zv-service"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZV_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Links one serial port to TCP clients with encrypted text envelopes, without a window:\n"
        "the settings made in the window (tandro-zv-server), status lines on standard error.\n"
        "SIGTERM or SIGINT ends it after delivering what it took (at most 10 s; a second "
        "signal: at once); SIGHUP reopens the trace file."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption instance(
        QStringLiteral("instance"),
        QStringLiteral("Run the bridge NAME (letters, digits, - _ .): its own settings file "
                       "NAME.ini beside the default one, NAME on every log line, one program "
                       "per NAME."),
        QStringLiteral("NAME"));
    const QCommandLineOption trace(
        QStringLiteral("trace"),
        QStringLiteral("Append every block both ways to FILE (in place of the \"trace file\" "
                       "setting, not stored); past 10 MiB it becomes FILE.1."),
        QStringLiteral("FILE"));
    // What `tandro-zv-server --headless` started: the same as without it.
    const QCommandLineOption headless(QStringLiteral("headless"),
                                      QStringLiteral("Accepted and ignored: there is no window."));
    parser.addOption(instance);
    parser.addOption(trace);
    parser.addOption(headless);
    parser.process(app);  // prints help, version or the error, and exits
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "tandro-zv-service: takes no arguments (try --help)\n");
        return 2;
    }
    const QString name = parser.value(instance);
    if (parser.isSet(instance) && !zv::validInstanceName(name)) {
        std::fprintf(stderr,
                     "tandro-zv-service: --instance \"%s\": use 1 to 64 letters, digits, '-', "
                     "'_' or '.'\n",
                     qPrintable(name));
        return 2;
    }
    QCoreApplication::setApplicationName(QStringLiteral("Tandro ZV Server"));
    zv::setLogInstance(name);

    zv::InstanceLock lock(name);
    if (!lock.ok()) {
        zv::logLine(lock.error() + QStringLiteral("; ending with status 1"));
        return 1;
    }
    zv::SettingsStore settings(zv::instanceSettingsPath(name));
    zv::Relay relay(std::make_unique<zv::SerialLine>(zv::comDeviceResolver(settings)),
                    std::make_unique<zv::ListeningSocket>(),
                    std::make_unique<zv::ListeningSocket>());
    zv::Service service(settings, relay);
    return service.run(parser.value(trace));
}
