#pragma once
// SIGTERM, SIGINT and SIGHUP as bytes on a pipe (the handler only writes one
// byte), so the event loop ends the client in order: the --pty link must go
// when the client is stopped. One instance per process; while it lives those
// signals no longer end the process.
#include "client/descriptor.h"

namespace zv::client {

class StopSignals {
  public:
    StopSignals();   // raises Failure
    ~StopSignals();  // the default actions again
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int fd() const { return read_.get(); }  // readable once a signal came
    // How many signals came since the last call; empties the pipe.
    int take();

  private:
    Descriptor read_, write_;
};

}  // namespace zv::client
