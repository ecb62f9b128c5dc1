#include "client/pass_phrase.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "client/cli_error.h"

namespace zv::client {

namespace {

constexpr qint64 kMaxPassPhrase = 64 * 1024;  // bytes; a longer first line is refused

std::string fromFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw Failure("cannot read pass phrase file " + path.toStdString() + ": " +
                      f.errorString().toStdString());
    const QByteArray head = f.read(kMaxPassPhrase + 1);
    if (head.isEmpty()) throw Failure("pass phrase file " + path.toStdString() + " is empty");
    const qsizetype lf = head.indexOf('\n');
    if (lf < 0 && head.size() > kMaxPassPhrase)
        throw Failure("pass phrase file " + path.toStdString() + " has no line end in 64 KiB");
    return head.left(lf < 0 ? head.size() : lf).toStdString();
}

// The terminal settings to put back when a signal ends the prompt.
int gTtyFd = -1;
termios gSaved{};

extern "C" void restoreTtyAndDie(int sig) {
    (void)::tcsetattr(gTtyFd, TCSAFLUSH, &gSaved);  // nothing more to do on failure
    (void)::signal(sig, SIG_DFL);
    (void)::raise(sig);
}

class Terminal {
  public:
    Terminal() {
        fd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            throw Failure(
                "no pass phrase given (-pass pass:, env: or file:) and no terminal to ask on");
    }
    ~Terminal() { (void)::close(fd_); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    std::string ask(const char* prompt) {
        say(prompt);
        termios quiet{};
        if (::tcgetattr(fd_, &gSaved) != 0) fail("cannot read the terminal settings");
        quiet = gSaved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        gTtyFd = fd_;
        struct sigaction restore {};
        restore.sa_handler = restoreTtyAndDie;
        struct sigaction oldInt {
        }, oldTerm{}, oldHup{};
        (void)::sigaction(SIGINT, &restore, &oldInt);  // only fails for bad signal numbers
        (void)::sigaction(SIGTERM, &restore, &oldTerm);
        (void)::sigaction(SIGHUP, &restore, &oldHup);
        if (::tcsetattr(fd_, TCSAFLUSH, &quiet) != 0) fail("cannot turn off echo");

        std::string line;
        bool ended = false;
        int readError = 0;
        char c = 0;
        while (line.size() <= size_t(kMaxPassPhrase)) {
            const ssize_t n = ::read(fd_, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) readError = errno;
            if (n <= 0 || c == '\n') {
                ended = n > 0;
                break;
            }
            line.push_back(c);
        }
        const bool restored = ::tcsetattr(fd_, TCSAFLUSH, &gSaved) == 0;
        (void)::sigaction(SIGINT, &oldInt, nullptr);
        (void)::sigaction(SIGTERM, &oldTerm, nullptr);
        (void)::sigaction(SIGHUP, &oldHup, nullptr);
        if (!restored) fail("cannot turn echo back on");
        if (readError != 0) {
            errno = readError;
            fail("cannot read the pass phrase");
        }
        if (!ended) throw Failure("no pass phrase entered");
        return line;
    }

  private:
    void say(const char* text) {
        const size_t len = std::strlen(text);
        if (::write(fd_, text, len) != ssize_t(len)) fail("cannot write to the terminal");
    }
    [[noreturn]] static void fail(const char* what) {
        throw Failure(std::string(what) + ": " + std::strerror(errno));
    }
    int fd_ = -1;
};

}  // namespace

std::string readPassPhrase(const QString& source, bool confirm) {
    if (source.startsWith(QLatin1String("pass:"))) return source.mid(5).toStdString();
    if (source.startsWith(QLatin1String("env:"))) {
        const QString name = source.mid(4);
        if (!qEnvironmentVariableIsSet(name.toLocal8Bit().constData()))
            throw Failure("environment variable " + name.toStdString() + " is not set");
        return qgetenv(name.toLocal8Bit().constData()).toStdString();
    }
    if (source.startsWith(QLatin1String("file:"))) return fromFile(source.mid(5));

    Terminal tty;
    std::string first = tty.ask("Pass phrase: ");
    if (confirm && tty.ask("Pass phrase again: ") != first)
        throw Failure("the two pass phrases differ");
    return first;
}

}  // namespace zv::client
