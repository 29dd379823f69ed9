#pragma once
// Text that comes from outside (a page, the language model, text recognition,
// a remote record, a drop, a file name) is shown as the characters it holds,
// never read as markup. Qt reads markup in a label (AutoText), a tool tip or
// a message box whenever the text looks like HTML, and '&' in a menu or
// button title as a mnemonic; these helpers make each of those literal.

#include <QString>

class QLabel;
class QMessageBox;
class QWidget;

namespace vellora {

// A label that shows `text` literally.
QLabel *plainLabel(const QString &text, QWidget *parent = nullptr);

// A tool tip that shows `text` literally: unchanged when Qt would take it as
// plain text anyway, else escaped inside a paragraph that keeps its breaks.
QString plainToolTip(const QString &text);

// A menu entry's or button's title that shows `text` literally: '&' is
// doubled, and a tab (which a menu takes for the start of the shortcut
// column) or line break becomes a space.
QString actionText(const QString &text);

// A window title that shows `text` literally ("[*]" is Qt's placeholder
// for the modified mark).
QString windowTitleText(const QString &text);

// The message box's text and informative text are shown literally; call it
// once both are set.
void makePlain(QMessageBox &box);

// A warning with a literal message, run modally; for reasons that carry a
// server's or a file's words.
void warnPlainly(QWidget *parent, const QString &title, const QString &text);

} // namespace vellora
