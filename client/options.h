#pragma once
// The command line of tandro-zv-client.
#include <QString>
#include <QStringList>
#include <string>

namespace zv::client {

enum class Command { Connect, Encrypt, Decrypt, Help, Version };

struct Options {
    Command command = Command::Help;
    QString host;            // connect: server name or address
    quint16 port = 0;        // connect: TCP port
    std::string eol = "\r";  // connect: put inside each message after the line
    QString passSource;      // "pass:…", "env:…", "file:…"; empty: ask on the terminal
    int waitMs = 0;          // connect: keep receiving this long after end of input
    bool raw = false;        // connect: each read goes out as one message, one byte per character
    QString pty;             // connect: a pseudo-terminal linked here in place of stdin and stdout
};

// `arguments` starts with the program name. Raises UsageError.
Options parseOptions(const QStringList& arguments);

QString usageText();

}  // namespace zv::client
