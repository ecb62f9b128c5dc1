#pragma once
// Cuts standard input into the messages the client sends: one per line, the
// line feed removed. A line longer than kMaxPiece bytes goes as several pieces,
// cut between UTF-8 characters, so one message stays well inside what the
// server's receive buffer holds and memory stays bounded.
#include <string>
#include <string_view>
#include <vector>

namespace zv::client {

struct Piece {
    std::string text;
    bool lineEnd = false;  // the last piece of a line: the line end goes after it
};

class LineSplitter {
  public:
    static constexpr std::size_t kMaxPiece = 256 * 1024;  // bytes

    // Adds bytes read; returns the pieces complete so far, in order.
    std::vector<Piece> append(std::string_view bytes);
    // End of input: a last line without a line feed is still a line.
    std::vector<Piece> finish();

  private:
    std::string pending_;
};

}  // namespace zv::client
