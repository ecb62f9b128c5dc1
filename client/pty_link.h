#pragma once
// `connect --pty PATH`: a pseudo-terminal whose slave side is linked at PATH,
// so that any program opens PATH as it would a local serial port. We keep a
// descriptor of the slave open ourselves: once the last descriptor of the
// slave closes, the master reads EIO for good, and a program that closes the
// link and opens it again would find the bridge gone.
#include <string>

#include "client/descriptor.h"

namespace zv::client {

class PtyLink {
  public:
    // Makes the pseudo-terminal (raw: no echo, no line editing, 8 bits) and
    // the link. An existing file at `path` is refused, except a link to a
    // pseudo-terminal that no longer exists (one a killed client left).
    // Raises Failure.
    explicit PtyLink(std::string path);
    // Removes the link if it is still ours; closes both sides.
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    int master() const { return master_.get(); }  // non-blocking
    const std::string& path() const { return path_; }

  private:
    void makeLink();

    std::string path_;
    std::string slaveName_;  // /dev/pts/N: what the link points to
    Descriptor master_;
    Descriptor slave_;  // never read: keeps the master from hanging up
    bool linked_ = false;
};

}  // namespace zv::client
