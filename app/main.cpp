// Entry point: builds the real controls, runs start-up, shows the one window
// (or, with --headless, runs the same window unseen and logs to standard error).
#include <dlfcn.h>

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/dialogs.h"
#include "app/frmZVServer.h"
#include "app/hangup_signal.h"
#include "app/headless.h"
#include "app/settings_store.h"
#include "app/traffic_trace.h"
#include "net/tcp_winsock.h"
#include "serial/com_devices.h"
#include "serial/serial_comm.h"

namespace {

constexpr char kHeadless[] = "--headless";

// The program's own options: --headless and --trace besides help and
// version. Returns the --trace file, empty without one.
QString parseCommandLine(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Links one serial port to TCP clients with encrypted text envelopes.\n"
                       "Everything is set in the window and kept in\n"
                       "$XDG_CONFIG_HOME/Tandro ZV Server/Tandro ZV Server.ini."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(
        QStringLiteral("headless"),
        QStringLiteral(
            "Run without a window or display: the same start-up and relay, status "
            "and message boxes as lines on standard error; SIGTERM or SIGINT ends it.")));
    const QCommandLineOption trace(
        QStringLiteral("trace"),
        QStringLiteral("Append every block both ways to FILE (in place of the \"trace file\" "
                       "setting, not stored); past 10 MiB it becomes FILE.1. With --headless, "
                       "SIGHUP reopens it (for logrotate)."),
        QStringLiteral("FILE"));
    parser.addOption(trace);
    parser.process(app);  // prints help, version or the error, and exits
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "%s: takes no arguments (try --help)\n",
                     qPrintable(QCoreApplication::applicationName()));
        std::exit(2);
    }
    return parser.value(trace);
}

bool hasArgument(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], name)) return true;
    return false;
}

bool asksForInfoOnly(int argc, char** argv) {
    for (const char* a : {"--help", "-h", "--version", "-v", "--help-all"})
        if (hasArgument(argc, argv, a)) return true;
    return false;
}

// The value after a Qt option such as -platform (Qt also takes --platform).
const char* qtOptionValue(int argc, char** argv, const char* name) {
    for (int i = 1; i + 1 < argc; ++i) {
        const char* a = argv[i];
        if (a[0] == '-' && a[1] == '-') ++a;
        if (!std::strcmp(a, name)) return argv[i + 1];
    }
    return nullptr;
}

// Asks the X server itself, through the library Qt's X platform loads anyway;
// without that library Qt reports the failure on its own.
bool xServerAnswers(const char* display) {
    void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr) return true;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
    bool answers = true;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* connection = connect(display, nullptr);  // never null: an error object at worst
        answers = hasError(connection) == 0;
        disconnect(connection);
    }
    (void)dlclose(xcb);
    return answers;
}

// Without a display Qt's window platforms abort the process; decide first.
// A platform the user names explicitly is the user's choice.
bool displayAvailable(int argc, char** argv) {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || qtOptionValue(argc, argv, "-platform"))
        return true;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return true;
    const char* display = qtOptionValue(argc, argv, "-display");
    if (display == nullptr) display = std::getenv("DISPLAY");
    return display != nullptr && *display != '\0' && xServerAnswers(display);
}

// The window is built and loaded but never shown; SIGTERM or SIGINT ends the
// run as Exit would, without the position.
int runHeadless(zv::frmZVServer& window, const QString& settingsPath, const QString& trace) {
    zv::TerminationSignals termination;
    if (!termination.ok()) {
        zv::logLine(termination.error());
        return 1;
    }
    QObject::connect(&window, &zv::frmZVServer::statusChanged, &zv::logLine);
    QObject::connect(&termination, &zv::TerminationSignals::terminationRequested, &window,
                     [&window](int number) {
                         zv::logLine(QStringLiteral("ending on signal %1 (%2)")
                                         .arg(number)
                                         .arg(QString::fromLocal8Bit(strsignal(number))));
                         window.unloadUnshown();
                         QCoreApplication::exit(0);
                     });
    zv::logLine(QStringLiteral("running without a window, settings in ") + settingsPath);
    window.Form_Load();
    if (!trace.isEmpty()) window.traceTo(trace);
    zv::HangupSignal hangup;  // logrotate moved the trace file: start a new one
    if (!hangup.error().isEmpty()) zv::logLine(QStringLiteral("SIGHUP: ") + hangup.error());
    QObject::connect(&hangup, &zv::HangupSignal::hangUp, &window, [&window] {
        window.trace().reopen();
        if (window.trace().on()) zv::logLine(QStringLiteral("trace file reopened"));
    });
    return QApplication::exec();
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
    const bool headless = hasArgument(argc, argv, kHeadless);
    if (headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");  // an explicit -platform still wins
    } else if (!displayAvailable(argc, argv)) {
        std::fprintf(stderr, "cannot open a display; use --headless to run without a window\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(ZV_VERSION));
    // Qt's own options (-platform, ...) are gone by now.
    const QString trace = parseCommandLine(app);
    QApplication::setApplicationName(zv::kAppTitle);
    QApplication::setWindowIcon(zv::appIcon());

    const QString settingsPath = zv::SettingsStore::defaultPath();
    zv::SettingsStore settings(settingsPath);
    zv::SerialComm comm(zv::comDeviceResolver(settings));
    zv::TcpWinsock server1;
    zv::TcpWinsock server2;
    zv::QtDialogs windowDialogs;
    zv::LogDialogs logDialogs;
    zv::Dialogs& dialogs = headless ? static_cast<zv::Dialogs&>(logDialogs) : windowDialogs;
    zv::frmZVServer window(dialogs, settings, comm, server1, server2);
    windowDialogs.setParent(&window);

    if (headless) return runHeadless(window, settingsPath, trace);
    window.Form_Load();
    if (!trace.isEmpty()) window.traceTo(trace);
    window.showAsStored();
    return QApplication::exec();
}
