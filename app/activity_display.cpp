#include "app/activity_display.h"

#include "app/pane_text.h"

namespace zv {

namespace {
constexpr QChar kBackspace(8);
constexpr QChar kLF(10);
constexpr QChar kCR(13);
}  // namespace

void appendToPane(PaneText& pane, QString& data) {
    // Trim until bounded: one trim per append let a fast device grow the pane forever.
    int n = static_cast<int>(pane.Text().size());
    if (n > pane::kMaxChars) {
        int cut = 0;
        while (n - cut > pane::kMaxChars) cut += pane::kTrimChars;
        pane.setText(pane.Text().mid(cut));
        n = static_cast<int>(pane.Text().size());
    }
    pane.setSelStart(n);

    // Backspaces in one pass: each removes the character before it in `data`; one with
    // nothing before it selects the pane's last character (all such select the same one).
    QString edited;
    edited.reserve(data.size());
    for (const QChar c : std::as_const(data)) {
        if (c == kBackspace) {
            if (!edited.isEmpty()) {
                edited.chop(1);
            } else if (n > 0) {  // empty pane: nothing to delete
                pane.setSelStart(n - 1);
                pane.setSelLength(1);
            }
        } else {  // line feeds still count here: they go after backspaces are applied
            edited.append(c);
        }
    }
    QString shown;
    shown.reserve(edited.size() * 2);
    for (const QChar c : std::as_const(edited)) {
        if (c == kLF) continue;
        shown.append(c);
        if (c == kCR) shown.append(kLF);
    }
    data = shown;
    pane.setSelText(data);
    pane.setSelStart(static_cast<int>(pane.Text().size()));
}

QString stripLF(const QString& text) {
    QString out = text;
    out.remove(kLF);
    return out;
}

}  // namespace zv
