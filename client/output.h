#pragma once
// Standard output of the client: decrypted bytes unchanged, except that on a
// terminal a carriage return without a line feed after it also moves to a new
// line (devices end lines with CR alone; the next line would overwrite it).
// Raw output is every byte unchanged, terminal or not.
#include <string>
#include <string_view>

namespace zv::client {

class Output {
  public:
    explicit Output(int fd, bool raw = false);
    // Writes every byte; raises Failure when the file descriptor fails.
    void write(std::string_view bytes);

  private:
    int fd_;
    bool terminal_;
    bool afterCr_ = false;  // the last byte shown was CR (its LF was added)
};

// CR becomes CR LF; an LF right after a CR, even in the next call, is dropped.
std::string terminalLineEnds(std::string_view bytes, bool& afterCr);

// Writes all of `bytes` to `fd`; false with errno set on failure.
bool writeAll(int fd, std::string_view bytes);

}  // namespace zv::client
