#pragma once
// The decorated views of a data pane: blocks as they arrived, each shown as a
// hex dump and/or after its arrival time. Kept only while a view is on.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <deque>

namespace zv {

// "0000  48 65 6c 6c 6f  Hello": offset, `perLine` bytes in hex (the last
// line padded), the bytes 0x20-0x7E as themselves and others as '.'; one
// line per `perLine` bytes, each ending in a line feed.
QString hexDump(const QByteArray& bytes, int perLine);
// Bytes per hex line that fit in `columns` characters: 1 to 16.
int hexBytesPerLine(int columns);

class BlockLog {
  public:
    static constexpr qsizetype kMaxBytes = 4096;  // kept, newest first; older blocks go

    // `data` one character per byte (Latin-1; a character above 0xFF as '?').
    void add(const QString& data, const QDateTime& when);
    void clear() { blocks_.clear(), bytes_ = 0; }
    // Every block: its local arrival time "[HH:mm:ss.zzz]" when `stamps`,
    // then its hex dump when `hex`, else its text as the plain view shows it
    // (backspaces applied, each CR a line end), starting on a line of its own.
    QString render(bool hex, bool stamps, int perLine) const;

  private:
    struct Block {
        QDateTime when;
        QByteArray bytes;
    };
    std::deque<Block> blocks_;
    qsizetype bytes_ = 0;
};

}  // namespace zv
