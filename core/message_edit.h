#pragma once
// What a client's message becomes on its way to the device and to the other
// client. Text rules (the default): each backspace deletes itself and the
// character before it in the message (one with none before it is dropped),
// then every line feed is removed. Transparent: the message as deciphered.
// The result is text (UTF-8); textAsBytes() gives the device's bytes.
#include <QByteArray>

namespace zv {

QByteArray editMessage(QByteArray utf8, bool transparent);

// editMessage() for a message that arrives in pieces. Under the text rules
// the last character of what came so far waits, until the next piece or the
// message's end shows whether a backspace deletes it; nothing else waits. So
// a message cut anywhere is edited as it would be whole, unless a piece
// starts with two or more backspaces (only the one character waits for them).
class MessageEdit {
  public:
    explicit MessageEdit(bool transparent = false) : transparent_(transparent) {}
    // The edited text that can go on now.
    QByteArray add(QByteArray utf8);
    // The message ended: the character that waited.
    QByteArray end();
    bool holding() const { return !held_.isEmpty(); }

  private:
    bool transparent_;
    QByteArray held_;  // the last character (UTF-8), line feeds included
};

}  // namespace zv
