#pragma once
// `encrypt` and `decrypt`: standard input to standard output, for scripts.
#include <string>

namespace zv::client {

// All of the input as one message; writes its envelope and a line feed, as
// `openssl enc -a -A` does. Raises Failure.
void runEncrypt(const std::string& passPhrase, int inFd, int outFd);

// One envelope per line (blank lines and trailing blanks ignored); writes the
// texts one after another, nothing added. A line that is no envelope stops the
// run with Failure naming its number, after the lines before it were written.
void runDecrypt(const std::string& passPhrase, int inFd, int outFd);

}  // namespace zv::client
