#include "client/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/cli_error.h"

namespace zv::client {

std::string terminalLineEnds(std::string_view bytes, bool& afterCr) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 16);
    for (char c : bytes) {
        if (c == '\n' && afterCr) {
            afterCr = false;
            continue;
        }
        afterCr = c == '\r';
        out.push_back(c);
        if (afterCr) out.push_back('\n');
    }
    return out;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

Output::Output(int fd, bool raw) : fd_(fd), terminal_(!raw && ::isatty(fd) == 1) {}

void Output::write(std::string_view bytes) {
    const bool ok =
        terminal_ ? writeAll(fd_, terminalLineEnds(bytes, afterCr_)) : writeAll(fd_, bytes);
    if (!ok) throw Failure(std::string("cannot write standard output: ") + std::strerror(errno));
}

}  // namespace zv::client
