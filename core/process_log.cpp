#include "core/process_log.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QDateTime>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zv {

namespace {
int signalPipe[2] = {-1, -1};  // [0] read by the event loop, [1] written by the handler

void onTerminationSignal(int number) {
    const int saved = errno;
    const char byte = char(number);
    (void)!write(signalPipe[1], &byte, 1);  // a full pipe already holds a request
    errno = saved;
}

QString logInstance;  // "[NAME] " or empty

QString systemError(const char* what) {
    return QString::fromLatin1(what) + QStringLiteral(": ") +
           QString::fromLocal8Bit(std::strerror(errno));
}
}  // namespace

void setLogInstance(const QString& name) {
    logInstance = name.isEmpty() ? QString() : QLatin1Char('[') + name + QStringLiteral("] ");
}

void logLine(const QString& text) {
    QString line = logInstance + text;
    line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QString stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    // With SIGPIPE ignored a write to a reader that went away fails with
    // EPIPE; the program goes on, and a later reader gets later lines.
    if (std::fprintf(stderr, "%s %s\n", qPrintable(stamp), line.toLocal8Bit().constData()) < 0 ||
        std::fflush(stderr) != 0)
        std::clearerr(stderr);
}

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = systemError("pipe2");
        return;
    }
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::readPipe);
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT})
        if (sigaction(number, &action, nullptr) != 0) error_ = systemError("sigaction");
}

TerminationSignals::~TerminationSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGTERM, SIGINT}) (void)sigaction(number, &action, nullptr);
    delete notifier_;
    for (int& fd : signalPipe) {
        if (fd >= 0) (void)close(fd);
        fd = -1;
    }
}

void TerminationSignals::readPipe() {
    char byte = 0;
    while (read(signalPipe[0], &byte, 1) == 1) emit terminationRequested(int(byte));
}

}  // namespace zv
