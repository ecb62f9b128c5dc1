#pragma once
// Bytes waiting for a non-blocking descriptor (a serial line, a client's
// socket), written from the front as the descriptor takes them.
#include <QByteArray>

namespace zv {

class ByteQueue {
  public:
    qint64 size() const { return bytes_.size() - head_; }
    const char* front() const { return bytes_.constData() + head_; }
    void append(const QByteArray& bytes) { bytes_.append(bytes); }
    void clear() { bytes_.clear(), head_ = 0; }
    // `n` bytes from the front were written; the memory stays near what waits.
    void drop(qint64 n) {
        head_ += n;
        if (head_ == bytes_.size())
            clear();
        else if (head_ > bytes_.size() / 2)
            bytes_.remove(0, head_), head_ = 0;
    }

  private:
    QByteArray bytes_;
    qint64 head_ = 0;  // bytes before it are written
};

}  // namespace zv
