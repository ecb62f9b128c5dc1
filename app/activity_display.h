#pragma once
// How received text is put into a data pane, like a simple terminal would.
#include <QString>

namespace zv {

class PaneText;

namespace pane {
constexpr int kMaxChars = 16000;  // a pane longer than this is trimmed before an append
constexpr int kTrimChars = 4096;  // characters removed from the start per trim step
}  // namespace pane

// Appends `data` to the pane: backspaces applied (one at the start of `data`
// replaces the pane's last character; with an empty pane it deletes nothing),
// line feeds dropped, a line feed added after every carriage return. Trims the
// pane in steps of kTrimChars until it holds at most kMaxChars first. On return
// `data` holds exactly what was appended.
void appendToPane(PaneText& pane, QString& data);

// What appendToPane makes of `data`, whatever the pane holds: backspaces
// applied (one with nothing before it dropped), line feeds dropped, a line
// feed after every carriage return.
QString paneEdit(const QString& data);

}  // namespace zv
