#include "app/activity_display.h"

#include "app/pane_text.h"

namespace zv {

namespace {
constexpr QChar kBackspace(8);
constexpr QChar kLF(10);
constexpr QChar kCR(13);
// Each backspace removes the character before it; one with nothing before it
// is dropped and noted in `hitStart`. Line feeds still count here: they go
// after backspaces are applied.
QString applyBackspaces(const QString& data, bool* hitStart) {
    if (!data.contains(kBackspace)) return data;  // most messages: nothing to do
    QString edited;
    edited.reserve(data.size());
    for (const QChar c : data) {
        if (c != kBackspace)
            edited.append(c);
        else if (!edited.isEmpty())
            edited.chop(1);
        else
            *hitStart = true;
    }
    return edited;
}

// Line feeds dropped, one added after every carriage return.
QString lineEdit(const QString& edited) {
    if (!edited.contains(kLF) && !edited.contains(kCR)) return edited;
    QString shown;
    shown.reserve(edited.size() * 2);
    for (const QChar c : edited) {
        if (c == kLF) continue;
        shown.append(c);
        if (c == kCR) shown.append(kLF);
    }
    return shown;
}
}  // namespace

QString paneEdit(const QString& data) {
    bool hitStart = false;
    return lineEdit(applyBackspaces(data, &hitStart));
}

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

    // A backspace with nothing before it in `data` selects the pane's last
    // character (all such select the same one); an empty pane has none.
    bool hitStart = false;
    data = lineEdit(applyBackspaces(data, &hitStart));
    if (hitStart && n > 0) {
        pane.setSelStart(n - 1);
        pane.setSelLength(1);
    }
    pane.setSelText(data);
    pane.setSelStart(static_cast<int>(pane.Text().size()));
}

}  // namespace zv
