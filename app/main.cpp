// Entry point: builds the real controls, runs start-up, shows the one window
// (or, with --headless, runs the same window unseen and logs to standard error).
#include <dlfcn.h>

#include <QApplication>
#include <QCommandLineParser>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/dialogs.h"
#include "app/frmZVServer.h"
#include "app/hangup_signal.h"
#include "app/headless.h"
#include "app/instance.h"
#include "app/settings_store.h"
#include "app/traffic_trace.h"
#include "net/tcp_winsock.h"
#include "net/winsock.h"
#include "serial/com_devices.h"
#include "serial/serial_comm.h"

namespace {

constexpr char kHeadless[] = "--headless";

// What the command line chose besides Qt's own options.
struct CommandLine {
    QString instance;  // "" for the default one
    QString trace;     // --trace FILE; empty without one
};

// The program's own options: --headless, --instance and --trace besides help
// and version.
CommandLine parseCommandLine(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Links one serial port to TCP clients with encrypted text envelopes.\n"
        "Everything is set in the window and kept in\n"
        "$XDG_CONFIG_HOME/Tandro ZV Server/Tandro ZV Server.ini (NAME.ini with --instance NAME)."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(
        QStringLiteral("headless"),
        QStringLiteral("Run without a window or display: the same start-up and relay, status "
                       "and message boxes as lines on standard error; SIGTERM or SIGINT ends it "
                       "after delivering what it took (at most 10 s; a second signal: at once).")));
    const QCommandLineOption instance(
        QStringLiteral("instance"),
        QStringLiteral("Run the bridge NAME (letters, digits, - _ .): its own settings file "
                       "NAME.ini in the same folder, NAME in the title and on every log line, "
                       "one program per NAME."),
        QStringLiteral("NAME"));
    parser.addOption(instance);
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
    const QString name = parser.value(instance);
    if (parser.isSet(instance) && !zv::validInstanceName(name)) {
        std::fprintf(stderr,
                     "%s: --instance \"%s\": use 1 to 64 letters, digits, '-', '_' or '.'\n",
                     qPrintable(QCoreApplication::applicationName()), qPrintable(name));
        std::exit(2);
    }
    return {name, parser.value(trace)};
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

// Whether the listeners of the stored mode listen after start-up.
bool listening(const zv::frmZVServer& window) {
    const bool one = window.wskServer1.State() == zv::sck::Listening;
    return window.netport == u"3" ? one && window.wskServer2.State() == zv::sck::Listening : one;
}

// The window is built and loaded but never shown. SIGTERM or SIGINT stops as
// Exit would, without the position. Status 1 when the start cannot serve
// (nothing listens) or a stop could not deliver everything.
int runHeadless(zv::frmZVServer& window, const zv::SettingsStore& settings, const QString& trace) {
    zv::TerminationSignals termination;
    if (!termination.ok()) {
        zv::logLine(termination.error());
        return 1;
    }
    if (const QString why = settings.readError(); !why.isEmpty()) {
        zv::logLine(why + QStringLiteral("; ending with status 1"));
        return 1;
    }
    QObject::connect(&window, &zv::frmZVServer::statusChanged, &zv::logLine);
    QObject::connect(
        &termination, &zv::TerminationSignals::terminationRequested, &window,
        [&window](int number) {
            zv::logLine(QStringLiteral("ending on signal %1 (%2)%3")
                            .arg(number)
                            .arg(QString::fromLocal8Bit(strsignal(number)))
                            .arg(window.stopping() ? QStringLiteral(": at once") : QString()));
            window.beginStop();
        });
    QObject::connect(&window, &zv::frmZVServer::stopped, &window, [&window](qint64 undelivered) {
        window.unloadUnshown();
        QCoreApplication::exit(undelivered > 0 ? 1 : 0);
    });
    zv::logLine(QStringLiteral("running without a window, settings in ") + settings.path());
    window.Form_Load();
    if (!listening(window)) {
        zv::logLine(window.autoconnect == u"1"
                        ? QStringLiteral("cannot serve: a listener could not start (see above); "
                                         "ending with status 1")
                        : QStringLiteral("cannot serve: automatic listening is off (autoconnect=1 "
                                         "in the settings turns it on); ending with status 1"));
        window.unloadUnshown();
        return 1;
    }
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
    // A reader of standard error that goes away (a logger restarting) must not
    // end the program; sockets send with MSG_NOSIGNAL besides.
    (void)std::signal(SIGPIPE, SIG_IGN);
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
    const auto [instance, trace] = parseCommandLine(app);  // Qt's own options are gone by now
    QApplication::setApplicationName(zv::kAppTitle);
    QApplication::setWindowIcon(zv::appIcon());
    zv::setLogInstance(instance);

    zv::InstanceLock lock(instance);
    if (!lock.ok()) {
        zv::logLine(lock.error() + QStringLiteral("; ending with status 1"));
        if (!headless) zv::QtDialogs().MsgBox(lock.error(), zv::mb::Information, zv::kAppTitle);
        return 1;
    }
    zv::SettingsStore settings(zv::instanceSettingsPath(instance));
    zv::SerialComm comm(zv::comDeviceResolver(settings));
    zv::TcpWinsock server1;
    zv::TcpWinsock server2;
    zv::QtDialogs windowDialogs;
    zv::LogDialogs logDialogs;
    zv::Dialogs& dialogs = headless ? static_cast<zv::Dialogs&>(logDialogs) : windowDialogs;
    zv::frmZVServer window(dialogs, settings, comm, server1, server2);
    windowDialogs.setParent(&window);

    if (headless) return runHeadless(window, settings, trace);
    // SIGTERM and SIGINT close the window as Exit would; a second one at once.
    zv::TerminationSignals termination;
    QObject::connect(&termination, &zv::TerminationSignals::terminationRequested, &window,
                     [&window] { window.close(); });
    int stopStatus = 0;
    QObject::connect(&window, &zv::frmZVServer::stopped, &window,
                     [&stopStatus](qint64 undelivered, const QString& report) {
                         if (undelivered > 0) zv::logLine(report);
                         stopStatus = undelivered > 0 ? 1 : 0;
                     });
    window.Form_Load();
    if (!trace.isEmpty()) window.traceTo(trace);
    if (!instance.isEmpty())
        window.setWindowTitle(zv::kAppTitle + QStringLiteral(" [") + instance + QLatin1Char(']'));
    window.showAsStored();
    const int status = QApplication::exec();
    return status != 0 ? status : stopStatus;
}
