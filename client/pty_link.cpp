#include "client/pty_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/cli_error.h"

namespace zv::client {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw Failure(what + ": " + std::strerror(errno));
}

// Where the link at `path` points; empty when it is no link.
std::string linkTarget(const std::string& path) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n > 0 && size_t(n) < sizeof target ? std::string(target, size_t(n)) : std::string();
}

}  // namespace

PtyLink::PtyLink(std::string path)
    : path_(std::move(path)), master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_.get() < 0) fail("cannot make a pseudo-terminal");
    char name[128];
    if (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0 ||
        ::ptsname_r(master_.get(), name, sizeof name) != 0)
        fail("cannot make a pseudo-terminal");
    slaveName_ = name;
    // O_NOCTTY: the slave must not become our controlling terminal.
    slave_ = Descriptor(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios tio{};
    if (slave_.get() < 0 || ::tcgetattr(slave_.get(), &tio) != 0) fail("cannot open " + slaveName_);
    ::cfmakeraw(&tio);
    const int flags = ::fcntl(master_.get(), F_GETFL);
    if (::tcsetattr(slave_.get(), TCSANOW, &tio) != 0 || flags < 0 ||
        ::fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        fail("cannot set up " + slaveName_);
    makeLink();
}

void PtyLink::makeLink() {
    if (::symlink(slaveName_.c_str(), path_.c_str()) == 0) {
        linked_ = true;
        return;
    }
    if (errno != EEXIST) fail("cannot make the link " + path_);
    // A link to a pseudo-terminal that is gone was left by a client that was
    // killed: it may go. Anything else at the path is someone's.
    struct stat st {};
    const bool stale = linkTarget(path_).starts_with("/dev/pts/") &&
                       ::stat(path_.c_str(), &st) != 0 && errno == ENOENT;
    if (!stale)
        throw Failure(path_ +
                      " already exists and is not a link left by this program: remove it or "
                      "choose another path");
    if (::unlink(path_.c_str()) != 0 || ::symlink(slaveName_.c_str(), path_.c_str()) != 0)
        fail("cannot make the link " + path_);
    linked_ = true;
}

PtyLink::~PtyLink() {
    // Only our own link: someone may have put something else there meanwhile.
    if (linked_ && linkTarget(path_) == slaveName_ && ::unlink(path_.c_str()) != 0)
        std::fprintf(stderr, "tandro-zv-client: cannot remove the link %s: %s\n", path_.c_str(),
                     std::strerror(errno));
}

}  // namespace zv::client
