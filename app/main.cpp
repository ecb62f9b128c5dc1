// Entry point of the window: builds the relay, runs start-up, shows the one
// window. With --headless it becomes the service program, which runs the
// same relay without any of the window's libraries.
#include <dlfcn.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/dialogs.h"
#include "app/main_window.h"
#include "cipher/engine.h"
#include "core/instance.h"
#include "core/process_log.h"
#include "core/relay.h"
#include "core/settings_store.h"
#include "core/stored_settings.h"
#include "net/tcp_server.h"
#include "serial/serial_line.h"

namespace {

constexpr char kHeadless[] = "--headless";
// The service program, installed beside this one.
constexpr char kService[] = "tandro-zv-service";

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
        QStringLiteral("Run tandro-zv-service in this program's place: the same relay without a "
                       "window or display, status lines on standard error; SIGTERM or SIGINT "
                       "ends it after delivering what it took (at most 10 s; a second signal: at "
                       "once).")));
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

// Runs the service program in this process's place, with the same
// arguments but --headless; returns only when it cannot.
int becomeService(int argc, char** argv) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const QString dir =
        n > 0 ? QFileInfo(QString::fromLocal8Bit(self, int(n))).absolutePath() : QString();
    const QByteArray beside = (dir + QLatin1Char('/') + QLatin1String(kService)).toLocal8Bit();
    std::vector<char*> args{const_cast<char*>(kService)};
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], kHeadless) != 0) args.push_back(argv[i]);
    args.push_back(nullptr);
    if (!dir.isEmpty()) (void)::execv(beside.constData(), args.data());
    (void)::execvp(kService, args.data());  // not beside us: wherever PATH has it
    std::fprintf(stderr, "%s --headless: cannot run %s: %s\n", argv[0], kService,
                 std::strerror(errno));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of standard error that goes away (a logger restarting) must not
    // end the program; sockets send with MSG_NOSIGNAL besides.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)zv::KeepOpensslUntilExit();  // a failure is said where the cipher is used
    if (asksForInfoOnly(argc, argv)) {
        // Answered without a display: the window system is not started.
        QCoreApplication info(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("tandro-zv-server"));
        QCoreApplication::setApplicationVersion(QStringLiteral(ZV_VERSION));
        parseCommandLine(info);
    }
    if (hasArgument(argc, argv, kHeadless)) return becomeService(argc, argv);
    if (!displayAvailable(argc, argv)) {
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
        zv::QtDialogs().MsgBox(lock.error(), zv::mb::Information, zv::kAppTitle);
        return 1;
    }
    zv::SettingsStore settings(zv::instanceSettingsPath(instance));
    zv::Relay relay(std::make_unique<zv::SerialLine>(zv::comDeviceResolver(settings)),
                    std::make_unique<zv::ListeningSocket>(),
                    std::make_unique<zv::ListeningSocket>());
    zv::QtDialogs dialogs;
    zv::MainWindow window(dialogs, settings, relay);
    dialogs.setParent(&window);

    // SIGTERM and SIGINT close the window as Exit would; a second one at once.
    // An open box closes first: start-up's would otherwise hold the ending.
    zv::TerminationSignals termination;
    QObject::connect(&termination, &zv::TerminationSignals::terminationRequested, &window,
                     [&window, &dialogs] {
                         dialogs.endAll();
                         window.close();
                     });
    int stopStatus = 0;
    QObject::connect(&window, &zv::MainWindow::stopped, &window,
                     [&stopStatus](qint64 undelivered, const QString& report) {
                         if (undelivered > 0) zv::logLine(report);
                         stopStatus = undelivered > 0 ? 1 : 0;
                     });
    window.startUp();
    if (dialogs.ending() && relay.hasStopped()) return stopStatus;  // ended during start-up's boxes
    if (!trace.isEmpty()) window.traceTo(trace);
    if (!instance.isEmpty())
        window.setWindowTitle(zv::kAppTitle + QStringLiteral(" [") + instance + QLatin1Char(']'));
    window.showAsStored();
    const int status = QApplication::exec();
    return status != 0 ? status : stopStatus;
}
