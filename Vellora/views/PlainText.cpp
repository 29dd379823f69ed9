#include "PlainText.h"

#include <QLabel>
#include <QMessageBox>
#include <QTextDocument>

namespace vellora {

QLabel *plainLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QString plainToolTip(const QString &text)
{
    if (!Qt::mightBeRichText(text))
        return text;
    // The paragraph makes the tool tip rich text, so the escapes are read
    // back as the characters they stand for.
    return QStringLiteral("<p style=\"white-space:pre-wrap\">") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

QString actionText(const QString &text)
{
    QString out;
    out.reserve(text.size() + 4);
    for (const QChar c : text) {
        if (c == QLatin1Char('&'))
            out += QLatin1String("&&");
        else if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r')
                 || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            out += QLatin1Char(' ');
        else
            out += c;
    }
    return out;
}

QString windowTitleText(const QString &text)
{
    QString out = text;
    out.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
    return out;
}

void makePlain(QMessageBox &box)
{
    box.setTextFormat(Qt::PlainText);
    // The informative text has a label of its own, made on first use.
    if (auto *informative = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
}

void warnPlainly(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Warning, windowTitleText(title), QString(), QMessageBox::Ok, parent);
    makePlain(box);
    box.setText(text);
    box.exec();
}

} // namespace vellora
