#pragma once
// What a person reads where Qt shows a text, worked out the way Qt shows it:
// a label or tool tip renders markup whenever Qt takes its text for rich
// text; a menu entry or button hides the '&' that marks a mnemonic and
// starts its shortcut column at a tab.

#include <QApplication>
#include <QLabel>
#include <QTextDocument>

namespace shown {

inline QString labelText(const QLabel *label)
{
    const Qt::TextFormat format = label->textFormat();
    const bool rich = format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(label->text()));
    if (format == Qt::MarkdownText) {
        QTextDocument doc;
        doc.setMarkdown(label->text());
        return doc.toPlainText();
    }
    if (!rich)
        return label->text();
    QTextDocument doc;
    doc.setHtml(label->text());
    // Line breaks of a paragraph come back as U+2028.
    return doc.toPlainText().replace(QChar::LineSeparator, QLatin1Char('\n'));
}

// The title of a menu entry, check box or button as drawn.
inline QString titleText(const QString &title)
{
    const QString shownPart = title.section(QLatin1Char('\t'), 0, 0);
    QString out;
    for (qsizetype i = 0; i < shownPart.size(); ++i) {
        if (shownPart.at(i) == QLatin1Char('&')) {
            if (i + 1 < shownPart.size())
                out += shownPart.at(++i);
            continue;
        }
        out += shownPart.at(i);
    }
    return out;
}

// The tool tip on screen, if one is.
inline QLabel *toolTipLabel()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->inherits("QTipLabel") && widget->isVisible())
            return qobject_cast<QLabel *>(widget);
    return nullptr;
}

// Whether some label under `root` shows exactly `text`.
inline bool someLabelShows(const QWidget *root, const QString &text)
{
    for (const QLabel *label : root->findChildren<QLabel *>())
        if (labelText(label) == text)
            return true;
    return false;
}

} // namespace shown
