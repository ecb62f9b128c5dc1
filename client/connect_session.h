#pragma once
// `connect`: one TCP connection to the server. Lines of standard input go out
// as envelopes, one write each (--raw: each read as it came); envelopes
// received are decrypted and written to standard output as they arrive.
// --pty: a pseudo-terminal's master in place of standard input and output.
// One Qt event loop; the keys of the messages sent are derived ahead on a
// worker thread (KeyPool).
#include <QEventLoop>
#include <QObject>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>
#include <memory>
#include <string>

#include "cipher/key_pool.h"
#include "client/line_splitter.h"
#include "client/options.h"
#include "client/output.h"
#include "client/pty_link.h"
#include "client/stop_signals.h"
#include "stream/byte_queue.h"
#include "stream/envelope_stream.h"

namespace zv::client {

class ConnectSession : public QObject {
    Q_OBJECT

  public:
    static constexpr int kConnectTimeoutMs = 10000;
    static constexpr int kDrainTimeoutMs = 10000;  // to hand the last bytes on (server or --pty)
    static constexpr qint64 kMaxUnsent = 1024 * 1024;  // bytes; stdin is not read above this
    // Bytes for the program on the --pty link that it has not read yet; the
    // socket is not read above this.
    static constexpr qint64 kMaxForPty = 1024 * 1024;

    // With options.pty, makes the link (raises Failure) and uses neither fd.
    ConnectSession(const Options& options, std::string passPhrase, int inFd, int outFd);

    // Runs to the end; returns the exit status. Errors go to stderr as one line.
    int run();

  private:
    void onConnected();
    void onInput();
    void onBytesWritten();
    void onReadyRead();
    void onError(QAbstractSocket::SocketError error);
    void onDisconnected();
    bool wasReset() const;
    void releaseWatch();
    void endOfInput();
    void hangUp();
    void show();  // what the stream hands on
    void send(const Piece& piece);
    void sendText(const std::string& utf8);
    void toPty(const QByteArray& bytes);
    void writePty();
    void onPtyRoom();
    void onStopSignal();
    void endAfterPty(int status, const std::string& message = {});
    void finish(int status, const std::string& message = {});
    std::string where() const;

    Options options_;
    std::string passPhrase_;
    KeyPool keys_;  // for passPhrase_, so a line goes out without waiting for a derivation
    std::unique_ptr<StopSignals> signals_;  // --pty: the link must go on a signal
    std::unique_ptr<PtyLink> pty_;          // --pty
    int inFd_;
    Output out_;
    QTcpSocket socket_;
    QSocketNotifier input_;
    QSocketNotifier ptyRoom_;  // the pty takes more of ptyQueue_
    QSocketNotifier stopped_;  // a signal came
    ByteQueue ptyQueue_;       // device bytes the pty did not take yet
    QTimer connectTimer_;
    QTimer waitTimer_;  // --wait after end of input
    QTimer drainTimer_;
    LineSplitter lines_;
    EnvelopeStream stream_;  // keys derived at once: one server, one reader
    QEventLoop loop_;
    int watch_ = -1;  // a duplicate of the socket's descriptor, see wasReset()
    bool connected_ = false;
    bool inputEnded_ = false;
    int goneStatus_ = -1;  // --pty, the server gone: the status once the program read the rest
    bool done_ = false;
    int status_ = 0;
};

}  // namespace zv::client
