#include "app/traffic_view.h"

#include "app/activity_display.h"

namespace zv {

QString hexDump(const QByteArray& bytes, int perLine) {
    QString out;
    for (qsizetype at = 0; at < bytes.size(); at += perLine) {
        const QByteArray row = bytes.mid(at, perLine);
        QString hex = QString::fromLatin1(row.toHex(' '));
        hex = hex.leftJustified(perLine * 3 - 1);
        QString text;
        for (char c : row) text += (c >= 0x20 && c < 0x7f) ? QChar(c) : QChar(u'.');
        out += QStringLiteral("%1  %2  %3\n").arg(at, 4, 16, QLatin1Char('0')).arg(hex, text);
    }
    return out;
}

int hexBytesPerLine(int columns) {
    // "0000" + 2 blanks, 3 characters per byte less one, 2 blanks, 1 per byte.
    return qBound(1, (columns - 7) / 4, 16);
}

void BlockLog::add(const QString& data, const QDateTime& when) {
    QByteArray bytes = data.toLatin1();
    if (bytes.size() > kMaxBytes) bytes = bytes.right(kMaxBytes);
    bytes_ += bytes.size();
    blocks_.push_back({when, bytes});
    while (bytes_ > kMaxBytes) {
        bytes_ -= blocks_.front().bytes.size();
        blocks_.pop_front();
    }
}

QString BlockLog::render(bool hex, bool stamps, int perLine) const {
    QString out;
    for (const Block& b : blocks_) {
        if (stamps) out += b.when.toLocalTime().toString(QStringLiteral("[HH:mm:ss.zzz]"));
        if (hex) {
            out += stamps ? QStringLiteral("\n") : QString();
            out += hexDump(b.bytes, perLine);
        } else {
            QString text = paneEdit(QString::fromLatin1(b.bytes));
            text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            while (text.endsWith(u'\n')) text.chop(1);
            out += (stamps ? QStringLiteral(" ") : QString()) + text + u'\n';
        }
    }
    if (out.endsWith(u'\n')) out.chop(1);  // the pane starts no empty last line
    return out;
}

}  // namespace zv
