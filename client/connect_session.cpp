#include "client/connect_session.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cipher/envelope.h"
#include "cipher/error.h"
#include "cipher/key_pool.h"
#include "client/cli_error.h"
#include "stream/wire_bytes.h"

namespace zv::client {

ConnectSession::ConnectSession(const Options& options, std::string passPhrase, int inFd, int outFd)
    : options_(options),
      passPhrase_(std::move(passPhrase)),
      signals_(options.pty.isEmpty() ? nullptr : std::make_unique<StopSignals>()),
      pty_(options.pty.isEmpty()
               ? nullptr
               : std::make_unique<PtyLink>(QFile::encodeName(options.pty).toStdString())),
      inFd_(pty_ ? pty_->master() : inFd),
      out_(outFd, options.raw),
      input_(inFd_, QSocketNotifier::Read),
      ptyRoom_(QSocketNotifier::Write),
      stopped_(QSocketNotifier::Read),
      stream_([](EnvelopeStream::Batch batch) {
          for (const auto& d : batch) d->run();
      }) {
    input_.setEnabled(false);  // nothing is read before the connection stands
    if (pty_) {
        ptyRoom_.setSocket(pty_->master());  // enabled while bytes wait for the pty
        stopped_.setSocket(signals_->fd());
        stopped_.setEnabled(true);
        connect(&ptyRoom_, &QSocketNotifier::activated, this, &ConnectSession::onPtyRoom);
        connect(&stopped_, &QSocketNotifier::activated, this, &ConnectSession::onStopSignal);
        // Qt stops reading the connection once this much waits unread in it.
        socket_.setReadBufferSize(256 * 1024);
    }
    keys_.setPassPhrase(passPhrase_);
    connectTimer_.setSingleShot(true);
    waitTimer_.setSingleShot(true);
    drainTimer_.setSingleShot(true);

    connect(&socket_, &QTcpSocket::connected, this, &ConnectSession::onConnected);
    connect(&socket_, &QTcpSocket::readyRead, this, &ConnectSession::onReadyRead);
    connect(&socket_, &QTcpSocket::bytesWritten, this, &ConnectSession::onBytesWritten);
    connect(&socket_, &QTcpSocket::errorOccurred, this, &ConnectSession::onError);
    connect(&socket_, &QTcpSocket::disconnected, this, &ConnectSession::onDisconnected);
    connect(&input_, &QSocketNotifier::activated, this, &ConnectSession::onInput);
    connect(&connectTimer_, &QTimer::timeout, this,
            [this] { finish(kExitFailure, "cannot connect to " + where() + ": timed out"); });
    connect(&waitTimer_, &QTimer::timeout, this, &ConnectSession::hangUp);
    connect(&drainTimer_, &QTimer::timeout, this, [this] {
        if (goneStatus_ >= 0)  // run() says how many bytes the program did not read
            finish(kExitFailure);
        else
            finish(kExitFailure, "could not hand " + std::to_string(socket_.bytesToWrite()) +
                                     " bytes to " + where() + " in time");
    });
}

int ConnectSession::run() {
    connectTimer_.start(kConnectTimeoutMs);
    socket_.connectToHost(options_.host, options_.port);
    if (!done_) (void)loop_.exec();  // the result is status_, set by finish()
    socket_.abort();
    releaseWatch();
    if (pty_ && ptyQueue_.size() > 0)
        std::fprintf(stderr, "tandro-zv-client: %lld bytes from the device were not read from %s\n",
                     static_cast<long long>(ptyQueue_.size()), pty_->path().c_str());
    return status_;
}

std::string ConnectSession::where() const {
    return options_.host.toStdString() + ":" + std::to_string(options_.port);
}

void ConnectSession::finish(int status, const std::string& message) {
    if (done_) return;
    done_ = true;
    status_ = status;
    if (!message.empty()) std::fprintf(stderr, "tandro-zv-client: %s\n", message.c_str());
    input_.setEnabled(false);
    loop_.quit();
}

void ConnectSession::onConnected() {
    connectTimer_.stop();
    connected_ = true;
    // Small messages must not wait for a delayed acknowledgement.
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    watch_ = ::fcntl(int(socket_.socketDescriptor()), F_DUPFD_CLOEXEC, 0);  // -1: no reset check
    input_.setEnabled(true);
}

void ConnectSession::onInput() {
    char buf[65536];
    const ssize_t n = ::read(inFd_, buf, sizeof buf);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) return;
        finish(kExitFailure, "cannot read " + (pty_ ? pty_->path() : "standard input") + ": " +
                                 std::strerror(errno));
        return;
    }
    try {
        if (!options_.raw)
            for (const Piece& p :
                 n > 0 ? lines_.append(std::string_view(buf, size_t(n))) : lines_.finish())
                send(p);
        else if (n > 0)  // as it came, each byte one character
            sendText(bytesAsText(QByteArray(buf, n)).toStdString());
        if (n == 0) {
            endOfInput();
            return;
        }
    } catch (const Failure& e) {
        finish(kExitFailure, e.what());
        return;
    } catch (const Error& e) {
        finish(kExitFailure, "cipher failure: " + e.description());
        return;
    }
    // Bounded memory when the server reads slower than we are fed.
    if (socket_.bytesToWrite() > kMaxUnsent) input_.setEnabled(false);
}

void ConnectSession::send(const Piece& piece) {
    sendText(piece.lineEnd ? piece.text + options_.eol : piece.text);
}

void ConnectSession::sendText(const std::string& utf8) {
    const std::string envelope = EncryptText(utf8, passPhrase_, keys_);
    const qint64 written = socket_.write(envelope.data(), qint64(envelope.size()));
    if (written != qint64(envelope.size()))
        throw Failure("cannot send to " + where() + ": " + socket_.errorString().toStdString());
}

void ConnectSession::onBytesWritten() {
    if (!inputEnded_ && !done_ && socket_.bytesToWrite() <= kMaxUnsent / 2) input_.setEnabled(true);
}

void ConnectSession::endOfInput() {
    inputEnded_ = true;
    input_.setEnabled(false);
    if (options_.waitMs > 0) {
        waitTimer_.start(options_.waitMs);
    } else {
        hangUp();
    }
}

void ConnectSession::hangUp() {
    drainTimer_.start(kDrainTimeoutMs);
    // Qt writes what is still queued, then closes and emits disconnected.
    socket_.disconnectFromHost();
}

void ConnectSession::onReadyRead() {
    // While the program on the link is behind, what arrives waits in the socket.
    if (pty_ && ptyQueue_.size() > kMaxForPty) return;
    stream_.append(socket_.readAll(), QByteArray::fromStdString(passPhrase_));
    show();
}

void ConnectSession::show() {
    try {
        for (const EnvelopeStream::Piece& p : stream_.take()) {
            switch (p.kind) {
                case EnvelopeStream::Piece::Text:
                    if (pty_)
                        toPty(textAsBytes(p.text));
                    else
                        out_.write(options_.raw ? textAsBytes(p.text).toStdString()
                                                : p.text.toStdString());
                    break;
                case EnvelopeStream::Piece::NotEnvelope:
                    std::fprintf(stderr,
                                 "tandro-zv-client: ignored text from %s that is not an "
                                 "envelope\n",
                                 where().c_str());
                    break;
                case EnvelopeStream::Piece::CutShort:
                    std::fprintf(stderr,
                                 "tandro-zv-client: ignored an envelope from %s that ended "
                                 "before its salt\n",
                                 where().c_str());
                    break;
                case EnvelopeStream::Piece::Failed:
                    throw Failure("cipher failure: " + p.text.toStdString());
            }
        }
    } catch (const Failure& e) {
        finish(kExitFailure, e.what());
    }
}

void ConnectSession::toPty(const QByteArray& bytes) {
    ptyQueue_.append(bytes);
    writePty();
}

void ConnectSession::writePty() {
    while (ptyQueue_.size() > 0) {
        const ssize_t n = ::write(pty_->master(), ptyQueue_.front(), size_t(ptyQueue_.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;  // the program has not read enough yet
        if (n < 0) {
            finish(kExitFailure, "cannot write the pseudo-terminal of " + pty_->path() + ": " +
                                     std::strerror(errno));
            return;
        }
        ptyQueue_.drop(n);
    }
    ptyRoom_.setEnabled(ptyQueue_.size() > 0);
    if (goneStatus_ >= 0 && ptyQueue_.size() == 0) finish(goneStatus_);
}

void ConnectSession::onPtyRoom() {
    writePty();
    // What waited in the socket while the program was behind.
    if (!done_ && ptyQueue_.size() <= kMaxForPty / 2 && socket_.bytesAvailable() > 0) onReadyRead();
}

// The first signal stops reading the pty and hangs up once what was read is
// with the server; a second one ends at once.
void ConnectSession::onStopSignal() {
    if (signals_->take() == 0) return;
    const qint64 unsent = socket_.bytesToWrite();
    if (goneStatus_ >= 0)
        finish(goneStatus_);  // the program does not wait for: run() says what it missed
    else if (socket_.state() != QAbstractSocket::ConnectedState || (inputEnded_ && unsent == 0))
        finish(0);
    else if (inputEnded_)
        finish(kExitFailure,
               "stopped before " + std::to_string(unsent) + " bytes reached " + where());
    else
        endOfInput();
}

// Qt reports a reset as RemoteHostClosedError too, and has closed its
// descriptor by then; a duplicate keeps the socket to ask the kernel: after
// the server's FIN it waits in CLOSE_WAIT, after a reset it is closed.
bool ConnectSession::wasReset() const {
    tcp_info info{};
    socklen_t size = sizeof info;
    return watch_ >= 0 && ::getsockopt(watch_, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
           info.tcpi_state == TCP_CLOSE;
}

void ConnectSession::releaseWatch() {
    if (watch_ >= 0) (void)::close(watch_);  // the last reference: the kernel closes the socket
    watch_ = -1;
}

void ConnectSession::onError(QAbstractSocket::SocketError error) {
    std::string why = socket_.errorString().toStdString();
    if (error == QAbstractSocket::RemoteHostClosedError) {
        // The server closing is an end like any other; disconnected follows.
        if (!wasReset()) return;
        why = "connection reset";
    }
    if (!connected_) {
        finish(kExitFailure, "cannot connect to " + where() + ": " + why);
        return;
    }
    if (pty_ && socket_.bytesAvailable() > 0) {  // what came before is the device's all the same
        stream_.append(socket_.readAll(), QByteArray::fromStdString(passPhrase_));
        show();
    }
    endAfterPty(kExitFailure, "connection to " + where() + " lost: " + why);
}

void ConnectSession::onDisconnected() {
    releaseWatch();
    const QByteArray pass = QByteArray::fromStdString(passPhrase_);
    if (socket_.bytesAvailable() > 0) stream_.append(socket_.readAll(), pass);
    stream_.finish(pass);
    show();
    if (!inputEnded_ && !done_ && goneStatus_ < 0)
        std::fprintf(stderr, "tandro-zv-client: %s closed the connection\n", where().c_str());
    endAfterPty(0);
}

// The server is gone. The program on the --pty link still gets what came
// before, if it reads it within kDrainTimeoutMs, unless a signal stops us.
void ConnectSession::endAfterPty(int status, const std::string& message) {
    if (goneStatus_ >= 0 || done_) return;  // the first reason stands
    if (!pty_ || ptyQueue_.size() == 0 || inputEnded_) {
        finish(status, message);
        return;
    }
    if (!message.empty()) std::fprintf(stderr, "tandro-zv-client: %s\n", message.c_str());
    goneStatus_ = status;
    input_.setEnabled(false);
    drainTimer_.start(kDrainTimeoutMs);
}

}  // namespace zv::client
