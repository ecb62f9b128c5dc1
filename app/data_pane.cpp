#include "app/data_pane.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTextCursor>

#include "app/activity_display.h"

namespace zv {

namespace {

// CR LF, lone CR and lone LF each end one line on screen.
QString displayText(QStringView text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\r') {
            out.append(u'\n');
            if (i + 1 < text.size() && text[i + 1] == u'\n') ++i;
        } else {
            out.append(c);
        }
    }
    return out;
}

bool splitsCrLf(QStringView text, qsizetype pos) {
    return pos > 0 && pos < text.size() && text[pos - 1] == u'\r' && text[pos] == u'\n';
}

}  // namespace

DataPane::DataPane(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    // Read-only must still take focus and a caret, so keys reach the KeyPress handlers.
    setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    setFocusPolicy(Qt::StrongFocus);
    setTabChangesFocus(true);
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    redraw_.setSingleShot(true);
    connect(&redraw_, &QTimer::timeout, this, &DataPane::sync);
}

void DataPane::setView(bool hex, bool stamps) {
    if (hex == hex_ && stamps == stamps_) return;
    if (!decorated()) blocks_.clear();
    hex_ = hex;
    stamps_ = stamps;
    QFont font = parentWidget() ? parentWidget()->font() : this->font();
    if (hex_) {
        const qreal size = font.pointSizeF();
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSizeF(size);
    }
    setFont(font);
    setLineWrapMode(hex_ ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
    shown_.clear();  // the plain view is drawn afresh when it comes back
    setPlainText(QString());
    sync();
}

void DataPane::addBlock(const QString& data) {
    if (decorated() && !data.isEmpty()) blocks_.add(data, QDateTime::currentDateTime());
}

void DataPane::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    if (hex_) syncLater();
}

void DataPane::sync() {
    if (!isVisible()) return;  // showEvent() draws it: a server without a window lays out nothing
    QElapsedTimer took;
    took.start();
    redraw();
    // Laying out a long line costs milliseconds: the display takes at most a
    // tenth of the window's thread, so the link's traffic is never held up by it.
    nextRedrawMs_ = qMax<qint64>(kRedrawMs, 9 * took.elapsed());
}

void DataPane::showEvent(QShowEvent* event) {
    QPlainTextEdit::showEvent(event);
    sync();
}

void DataPane::redraw() {
    if (decorated()) {
        const int columns =
            viewport()->width() / qMax(1, fontMetrics().horizontalAdvance(QLatin1Char('0')));
        setPlainText(blocks_.render(hex_, stamps_, hexBytesPerLine(columns)));
        moveCursor(QTextCursor::End);
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
        return;
    }
    const QString& now = model_.Text();
    const QStringView old(shown_);

    // Usual case: the model dropped whole trims from its start and grew at its end.
    qsizetype dropped = -1;
    for (qsizetype t = 0; t <= old.size(); t += pane::kTrimChars) {
        const QStringView kept = old.mid(t);
        if (QStringView(now).startsWith(kept) && !splitsCrLf(old, t) &&
            !(kept.endsWith(u'\r') && now.size() > kept.size() && now[kept.size()] == u'\n')) {
            dropped = t;
            break;
        }
    }

    if (dropped < 0 || old.isEmpty()) {
        setPlainText(displayText(now));
    } else {
        const qsizetype keptLength = old.size() - dropped;
        QTextCursor cursor(document());
        cursor.beginEditBlock();
        if (dropped > 0) {
            cursor.setPosition(0);
            cursor.setPosition(static_cast<int>(displayText(old.left(dropped)).size()),
                               QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(displayText(QStringView(now).mid(keptLength)));
        cursor.endEditBlock();
    }
    shown_ = now;

    moveCursor(QTextCursor::End);
    ensureCursorVisible();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void DataPane::syncLater() {
    // A device that sends without line ends would otherwise pay a layout on
    // every block it sends.
    if (!redraw_.isActive()) redraw_.start(int(nextRedrawMs_));
}

void DataPane::keyPressEvent(QKeyEvent* event) {
    const QString text = event->text();
    // Alt chords are access keys, not characters to send.
    if (!text.isEmpty() && !(event->modifiers() & Qt::AltModifier)) {
        int code = text.at(0).unicode();
        // Ctrl+letter is its control code (Ctrl+C = 3) even where the platform reports the letter.
        if (event->modifiers() & Qt::ControlModifier) {
            if (code >= u'a' && code <= u'z')
                code -= 0x60;
            else if (code >= 0x40 && code <= 0x5F)
                code &= 0x1F;  // @, A-Z, [ \ ] ^ _
        }
        emit KeyPress(code);
    }
    QPlainTextEdit::keyPressEvent(event);
}

}  // namespace zv
