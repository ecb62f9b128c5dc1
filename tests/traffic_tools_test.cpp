// Seeing and shaping the traffic on real parts: the trace file and the pane
// views of a known exchange, and who may connect.
#include <signal.h>
#include <sys/stat.h>

#include <QAction>
#include <QLabel>
#include <QRegularExpression>

#include "app/data_pane.h"
#include "app/traffic_view.h"
#include "core/hangup_signal.h"
#include "core/traffic_trace.h"
#include "support/e2e_process.h"
#include "support/server_rig.h"

using namespace zv;

namespace {
QStringList linesOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString(f.readAll()).split('\n', Qt::SkipEmptyParts)
                                       : QStringList{"<" + path + " missing>"};
}
}  // namespace

TEST(TrafficTools, TraceFileAndPaneViewsOfAKnownExchange) {
    test::ServerRig rig;
    const QString trace = rig.dir.filePath("trace.log");
    for (const char* key : {"hex view com", "time stamps net"}) rig.set(key, "1");
    rig.set("trace file", trace);
    ASSERT_TRUE(rig.link("1"));
    const QByteArray block("A\0\xe9\r", 4);
    rig.run({{.act = "join1"},
             {.act = "dev",
              .in = block,
              .to1 = test::latin1AsUtf8(block),
              .rxCom = QString::fromLatin1(block) + "\n"},
             {.act = "c1", .in = "OK\r\n", .dev = "OK\r", .rxNet = "OK\r\n"},
             {.act = "key2", .in = "z", .dev = "z"}});
    // One line per block, in order, each stamped in UTC to the millisecond.
    const QRegularExpression stamped(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (.*)$)");
    QStringList rest, stamps;
    for (const QString& line : linesOf(trace)) {
        const auto m = stamped.match(line);
        stamps << m.captured(1), rest << (m.hasMatch() ? m.captured(2) : line);
    }
    EXPECT_EQ(rest, QStringList({"device -> clients 4 bytes: 41 00 e9 0d",
                                 "port 1 -> device 3 bytes: 4f 4b 0d",
                                 "keyboard -> device 1 bytes: 7a"}));
    const QDateTime first = QDateTime::fromString(stamps.value(0), Qt::ISODateWithMs);
    EXPECT_LT(qAbs(first.msecsTo(QDateTime::currentDateTimeUtc())), 60000);
    EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));
    // The plain text models went on as before; the views show the blocks.
    rig.window->show();
    rig.window->resize(1000, 600);  // room for 16 bytes a line
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return rig.window->comPane->toPlainText().startsWith("0000  41 00 e9 0d");
    })) << rig.window->comPane->toPlainText().toStdString();
    EXPECT_TRUE(QRegularExpression(R"(^\[\d\d:\d\d:\d\d\.\d{3}\] OK$)")
                    .match(rig.window->netPane->toPlainText())
                    .hasMatch())
        << rig.window->netPane->toPlainText().toStdString();
    EXPECT_EQ(hexDump(QByteArray("Hello, device\0\xff", 15), 8),
              "0000  48 65 6c 6c 6f 2c 20 64  Hello, d\n0008  65 76 69 63 65 00 ff     evice..\n");

    // A file that cannot be written is said once, after the path's own
    // status, and the relay goes on.
    rig.window->traceTo("/dev/full");
    const QString full = "trace file /dev/full: cannot write (No space left on device)";
    rig.run({{.act = "dev", .in = "1", .to1 = "1", .status = full},
             {.act = "dev", .in = "2", .to1 = "2", .status = "com data sent to winsock port 1"}});

    // From the menu: a click while tracing stops it, the next one chooses a
    // file; switched back, a pane shows its text, kept all along. All stored.
    const QString chosen = rig.dir.filePath("chosen.log");
    rig.dialogs.answer(chosen);
    for (QAction* item :
         {rig.window->traceFileAction, rig.window->traceFileAction, rig.window->hexComAction})
        item->trigger();
    EXPECT_EQ(rig.dialogs.shown.back().defaultText, "");
    EXPECT_TRUE(rig.window->traceFileAction->isChecked() && rig.relay->trace().path() == chosen);
    EXPECT_EQ(rig.get("trace file") + rig.get("hex view com"), chosen + "0");
    EXPECT_TRUE(QTest::qWaitFor([&] { return rig.window->comPane->toPlainText().endsWith("12"); }));

    // Past its bound the file becomes .1 (one older file kept); SIGHUP asks
    // for a reopen, which starts a new file where logrotate moved the old one.
    QStringList reports;
    TrafficTrace small([&](const QString& r) { reports << r; });
    small.setMaxBytes(100);
    small.setPath(trace);
    for (const char* bytes : {"first", "second", "third"}) small.deviceToClients(bytes);
    EXPECT_TRUE(linesOf(trace).value(0).endsWith("5 bytes: 74 68 69 72 64"));
    EXPECT_TRUE(linesOf(trace + ".1").value(0).endsWith("6 bytes: 73 65 63 6f 6e 64"));
    HangupSignal hangup;
    bool hungUp = false;
    QObject::connect(&hangup, &HangupSignal::hangUp, [&] { hungUp = true, small.reopen(); });
    ASSERT_TRUE(QFile::rename(trace, trace + ".old") && ::raise(SIGHUP) == 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return hungUp; }));
    small.clientToDevice(1, "x");
    EXPECT_EQ(linesOf(trace).size(), 1);
    EXPECT_TRUE(reports.isEmpty()) << reports.join('\n').toStdString();

    // Nothing blocks, follows a link or writes to a file others may read;
    // each is said once and the next block tries again.
    const QString fifo = rig.dir.filePath("fifo"), link = rig.dir.filePath("link"),
                  shared = rig.dir.filePath("shared.log");
    QFile kept(shared);
    ASSERT_TRUE(kept.open(QIODevice::WriteOnly) && kept.write("kept\n") == 5 && kept.flush() &&
                ::chmod(QFile::encodeName(shared), 0644) == 0);
    ASSERT_TRUE(::mkfifo(QFile::encodeName(fifo), 0600) == 0 && QFile::link(trace, link));
    ASSERT_NE(::signal(SIGPIPE, SIG_IGN), SIG_ERR);  // as the program runs: EPIPE, no signal
    for (const auto& [path, why] : {std::pair{fifo, "cannot open (a named pipe with no reader)"},
                                    {link, "refused (a symbolic link, not followed)"},
                                    {shared, "refused (mode 0644: others may read it)"}}) {
        reports.clear();
        small.setPath(path);
        small.deviceToClients("1"), small.deviceToClients("2");
        EXPECT_EQ(reports, QStringList{"trace file " + path + ": " + why});
    }
    EXPECT_EQ(linesOf(shared), QStringList{"kept"});
    EXPECT_EQ(linesOf(trace).size(), 1);  // nothing through the link
    // A full pipe cuts a line short: it is ended before the next one. A
    // reader that leaves is said; the next block does not wait for another.
    const int reader = ::open(QFile::encodeName(fifo), O_RDONLY | O_NONBLOCK);
    auto drain = [reader, buf = QByteArray(1 << 20, 0)]() mutable {  // one read takes all
        return buf.left(std::max<ssize_t>(0, ::read(reader, buf.data(), size_t(buf.size()))));
    };
    reports.clear();
    small.setPath(fifo);
    small.deviceToClients(QByteArray(30000, 'y'));  // 90 kB of text: more than the pipe holds
    const QByteArray cut = drain();
    small.deviceToClients("z");
    const QStringList piped = QString(cut + drain()).split('\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(piped.size() == 2 && stamped.match(piped[1]).hasMatch()) << piped.size();
    EXPECT_EQ(::close(reader), 0);
    small.deviceToClients("3"), small.deviceToClients("4");
    EXPECT_EQ(reports, QStringList({"trace file " + fifo +
                                        ": cannot write (Resource temporarily unavailable)",
                                    "trace file " + fifo + ": cannot write (Broken pipe)"}));
}

// A client from an address outside the list is closed at once and the
// listener stays free; one from inside is served. A mistyped entry is said
// at start-up and allows nobody.
TEST(TrafficTools, AllowedClientsKeepTheSlotForAddressesInTheList) {
    const std::pair<const char*, const char*> table[] = {
        // a list, which peers it allows
        {"127.0.0.1, 10.1.0.0/16; fd00::/8 10.9.9.300", "11010100"},
        {"::/0", "00000111"},                   // every IPv6 peer, no IPv4 one
        {"::ffff:127.0.0.0/104", "11100000"}};  // IPv4 networks written as IPv6
    for (const auto& [list, want] : table) {
        QString allowed;
        for (const char* a : {"127.0.0.1", "::ffff:127.0.0.1", "127.0.0.2", "10.1.200.3",
                              "10.2.0.1", "fd12::1", "fe80::1", "::1"})
            allowed += AddressFilter(list).allows(QHostAddress(a)) ? '1' : '0';
        EXPECT_EQ(allowed, want) << list;
    }
    EXPECT_EQ(AddressFilter(table[0].first).invalid(), QStringList{"10.9.9.300"});
    EXPECT_FALSE(AddressFilter("bogus").allows(QHostAddress("127.0.0.1")));

    test::ServerRig rig;  // unquoted, as typed in an editor: QSettings reads a list
    rig.setByHand("allowed clients", "127.0.0.1, bogus");
    ASSERT_TRUE(rig.link("1"));
    EXPECT_EQ(rig.status(), "listening on port " + QString::number(rig.p1) +
                                "; allowed clients: \"bogus\" is no address or network");
    test::TcpClient stranger;
    ASSERT_TRUE(stranger.socket().bind(QHostAddress("127.0.0.2")));
    EXPECT_TRUE(stranger.connect(rig.p1) && stranger.waitForClose());
    EXPECT_TRUE(test::settles([&] { return rig.status(); },
                              "port 1 refused 127.0.0.2: not in allowed clients"));
    EXPECT_EQ(rig.state(1), ListenerState::Listening);
    rig.run({{.act = "join1", .status = "client # connected on port 1", .lamps = "G-"},
             {.act = "dev", .in = "hi", .to1 = "hi"}});
}
