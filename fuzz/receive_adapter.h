#pragma once
// Where the receive-path fuzz target meets the server's receive path for one
// connection. When that path changes, only receive_adapter.cpp follows.
#include <cstddef>
#include <string>
#include <vector>

namespace zv::fuzz {

struct Received {
    std::string clear;            // all clear text handed on, in order (UTF-8)
    std::size_t mostPending = 0;  // most received text held back after any read
};

// The most received text the path may hold back, waiting for more.
std::size_t pendingLimit();

// Feeds `reads` (bytes as they came off the socket, one read each) through
// the path as the server does, then the client closes the connection.
Received receive(const std::vector<std::string>& reads, const std::string& passPhrase);

}  // namespace zv::fuzz
