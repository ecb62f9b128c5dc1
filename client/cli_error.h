#pragma once
// The two ways the client fails: wrong use of the command line (exit 2) and
// everything else (exit 1). main() prints the text as one line on stderr.
#include <stdexcept>
#include <string>

namespace zv::client {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct UsageError : std::runtime_error {
    explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

struct Failure : std::runtime_error {
    explicit Failure(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace zv::client
