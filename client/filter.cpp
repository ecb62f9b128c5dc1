#include "client/filter.h"

#include <unistd.h>

#include <QString>
#include <cerrno>
#include <cstring>

#include "cipher/envelope.h"
#include "client/cli_error.h"
#include "client/output.h"

namespace zv::client {

namespace {

// Reads what is there, up to 64 KiB; empty at end of input.
std::string readSome(int fd) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n >= 0) return std::string(buf, size_t(n));
        if (errno != EINTR)
            throw Failure(std::string("cannot read standard input: ") + std::strerror(errno));
    }
}

std::string_view trimmed(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    return line;
}

}  // namespace

void runEncrypt(const std::string& passPhrase, int inFd, int outFd) {
    std::string text;
    for (std::string chunk = readSome(inFd); !chunk.empty(); chunk = readSome(inFd)) text += chunk;
    Output out(outFd);
    out.write(EncryptText(text, passPhrase) + '\n');
}

void runDecrypt(const std::string& passPhrase, int inFd, int outFd) {
    Output out(outFd);
    std::string pending;
    long lineNumber = 0;
    auto decryptLine = [&](std::string_view raw) {
        ++lineNumber;
        const std::string_view line = trimmed(raw);
        if (line.empty()) return;
        if (!IsEnvelopeText(line))
            throw Failure("line " + std::to_string(lineNumber) + " is not an envelope");
        out.write(DecryptText(line, passPhrase));
    };
    for (std::string chunk = readSome(inFd); !chunk.empty(); chunk = readSome(inFd)) {
        pending += chunk;
        std::size_t start = 0;
        for (std::size_t lf; (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1)
            decryptLine(std::string_view(pending).substr(start, lf - start));
        pending.erase(0, start);
    }
    if (!pending.empty()) decryptLine(pending);
}

}  // namespace zv::client
