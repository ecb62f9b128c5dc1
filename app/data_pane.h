#pragma once
// A data pane: read-only display of a PaneText, so typing does not edit the
// record of traffic; every key with a character code is reported instead.
#include <QPlainTextEdit>
#include <QTimer>

#include "app/pane_text.h"
#include "app/traffic_view.h"

namespace zv {

class DataPane : public QPlainTextEdit {
    Q_OBJECT

  public:
    explicit DataPane(QWidget* parent = nullptr);

    // The model; call sync() after changing it so the display follows.
    PaneText& model() { return model_; }
    const PaneText& model() const { return model_; }
    // A pane not on screen is drawn when it comes on screen.
    void sync();  // display := model (CR LF and lone CR shown as line ends), caret at end
    // sync() later: at least kRedrawMs after the last one, and at least nine
    // times as long as it took, so the link's writes never wait for text layout.
    static constexpr int kRedrawMs = 40;
    void syncLater();

    // Hex dump and/or arrival times instead of the plain text. The plain text
    // model goes on as before; blocks are kept (addBlock) only while a
    // decorated view is on, and shown from the moment it was turned on.
    void setView(bool hex, bool stamps);
    bool decorated() const { return hex_ || stamps_; }
    void addBlock(const QString& data);  // the block as received, before editing

  signals:
    // A key press with a character code (control characters included).
    void KeyPress(int keyAscii);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;  // a hex line fits the width
    void showEvent(QShowEvent* event) override;

  private:
    void redraw();

    PaneText model_;
    QTimer redraw_;
    qint64 nextRedrawMs_ = kRedrawMs;  // after the last sync()
    QString shown_;                    // the model text the display last showed
    bool hex_ = false, stamps_ = false;
    BlockLog blocks_;
};

}  // namespace zv
