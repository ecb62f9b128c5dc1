#include "client/options.h"

#include <QCommandLineParser>

#include "client/cli_error.h"

namespace zv::client {

namespace {

std::string eolFor(const QString& name) {
    if (name == QLatin1String("cr")) return "\r";
    if (name == QLatin1String("lf")) return "\n";
    if (name == QLatin1String("crlf")) return "\r\n";
    if (name == QLatin1String("none")) return "";
    throw UsageError("--eol takes cr, lf, crlf or none, not '" + name.toStdString() + "'");
}

bool knownPassSource(const QString& s) {
    return s.startsWith(QLatin1String("pass:")) || s.startsWith(QLatin1String("env:")) ||
           s.startsWith(QLatin1String("file:"));
}

}  // namespace

QString usageText() {
    return QStringLiteral(
        "Usage: tandro-zv-client connect HOST PORT [--eol cr|lf|crlf|none] [--wait SECONDS]\n"
        "                        [-pass SOURCE]\n"
        "       tandro-zv-client connect HOST PORT --raw [--wait SECONDS] [-pass SOURCE]\n"
        "       tandro-zv-client connect HOST PORT --pty PATH [-pass SOURCE]\n"
        "       tandro-zv-client encrypt [-pass SOURCE] < text > envelope\n"
        "       tandro-zv-client decrypt [-pass SOURCE] < envelopes > text\n"
        "\n"
        "Talks to Tandro ZV Server. Every message is one line of Base64 of \"Salted__\", an\n"
        "8-byte salt and the AES-256-CTR ciphertext of the text's UTF-8 bytes, key from\n"
        "PBKDF2-HMAC-SHA-512 (10000 iterations) - what this command writes and reads:\n"
        "  openssl enc -aes-256-ctr -pbkdf2 -md sha512 -iter 10000 -a -A\n"
        "\n"
        "connect   Sends each line of standard input as one message (the line feed is\n"
        "          replaced by the --eol line end, default cr, inside the message; lines\n"
        "          longer than 256 KiB go as several messages) and writes every message\n"
        "          received, decrypted, to standard output as it arrives. On a terminal a\n"
        "          lone CR is shown as CR LF; otherwise the bytes are written unchanged.\n"
        "          Ends at the end of input (after --wait, default 0) or when the server\n"
        "          closes.\n"
        "          --raw: byte-exact, for binary devices. Each read of standard input\n"
        "          goes out at once as one message, unchanged (no line end is waited\n"
        "          for or added; --eol is refused), each byte one character, and each\n"
        "          byte from the device is written as that one byte (never CR LF for\n"
        "          CR). Without --raw the text's UTF-8 goes both ways: a device byte\n"
        "          0xE9 prints as C3 A9. In its default text mode the server removes\n"
        "          line feeds and applies backspaces on the way to the device; in its\n"
        "          transparent mode every byte reaches the device unchanged.\n"
        "          --pty PATH: as --raw, but through a pseudo-terminal in raw mode whose\n"
        "          other side is linked at PATH, for programs that open a serial port\n"
        "          (minicom -D PATH, rz, Modbus tools); standard input is not read. It\n"
        "          may be opened and closed again and again; ends when the server\n"
        "          closes or on SIGTERM, SIGINT or SIGHUP, and removes the link.\n"
        "encrypt   Encrypts all of standard input as one message; writes one line.\n"
        "decrypt   Decrypts one envelope per line; writes the texts one after another.\n"
        "\n"
        "-pass SOURCE   pass:TEXT, env:VARIABLE or file:PATH (its first line); without it\n"
        "               the pass phrase is asked for on the terminal.\n"
        "--help, --version\n"
        "\n"
        "Exit status: 0 done, 1 failure (connection refused or lost, unreadable pass\n"
        "phrase, input that is not an envelope), 2 wrong command line.\n");
}

Options parseOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption pass(QStringLiteral("pass"), QString(), QStringLiteral("source"));
    const QCommandLineOption eol(QStringLiteral("eol"), QString(), QStringLiteral("end"));
    const QCommandLineOption wait(QStringLiteral("wait"), QString(), QStringLiteral("seconds"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption raw(QStringLiteral("raw"));
    const QCommandLineOption pty(QStringLiteral("pty"), QString(), QStringLiteral("path"));
    parser.addOptions({pass, eol, wait, help, version, raw, pty});
    if (!parser.parse(arguments)) throw UsageError(parser.errorText().toStdString());

    Options o;
    if (parser.isSet(help)) return o;
    if (parser.isSet(version)) {
        o.command = Command::Version;
        return o;
    }

    QStringList args = parser.positionalArguments();
    if (args.isEmpty()) throw UsageError("no command given (connect, encrypt or decrypt)");
    const QString command = args.takeFirst();
    if (command == QLatin1String("connect")) {
        o.command = Command::Connect;
        if (args.size() != 2) throw UsageError("connect takes HOST and PORT");
        o.host = args[0];
        bool ok = false;
        const uint port = args[1].toUInt(&ok);
        if (!ok || port == 0 || port > 65535)
            throw UsageError("'" + args[1].toStdString() + "' is not a TCP port (1 to 65535)");
        o.port = quint16(port);
        o.raw = parser.isSet(raw) || parser.isSet(pty);
        if (parser.isSet(pty)) {
            o.pty = parser.value(pty);
            if (o.pty.isEmpty()) throw UsageError("--pty takes the path of the link to make");
            if (parser.isSet(wait)) throw UsageError("--pty reads no standard input: no --wait");
        }
        if (parser.isSet(eol) && o.raw)
            throw UsageError("--eol with --raw or --pty: their bytes go out as read");
        if (parser.isSet(eol)) o.eol = eolFor(parser.value(eol));
        if (parser.isSet(wait)) {
            const double seconds = parser.value(wait).toDouble(&ok);
            if (!ok || seconds < 0 || seconds > 86400)
                throw UsageError("--wait takes seconds from 0 to 86400");
            o.waitMs = int(seconds * 1000);
        }
    } else if (command == QLatin1String("encrypt") || command == QLatin1String("decrypt")) {
        o.command = command == QLatin1String("encrypt") ? Command::Encrypt : Command::Decrypt;
        if (!args.isEmpty()) throw UsageError(command.toStdString() + " takes no arguments");
        if (parser.isSet(eol) || parser.isSet(wait) || parser.isSet(raw) || parser.isSet(pty))
            throw UsageError("--eol, --wait, --raw and --pty belong to connect");
    } else {
        throw UsageError("unknown command '" + command.toStdString() + "'");
    }

    if (parser.isSet(pass)) {
        o.passSource = parser.value(pass);
        if (!knownPassSource(o.passSource))
            throw UsageError("-pass takes pass:TEXT, env:VARIABLE or file:PATH");
    }
    return o;
}

}  // namespace zv::client
