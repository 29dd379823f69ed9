#include "StatusView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>

namespace vshare {

StatusView::StatusView(const QString &line, bool success, QWidget *parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Vellora"));
    setFixedSize(kWidth, kHeight);
    setWindowFlag(Qt::WindowStaysOnTopHint);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(24, 24, 24, 24);
    row->addStretch();
    auto *icon = new QLabel(this);
    const QIcon symbol = style()->standardIcon(success ? QStyle::SP_DialogApplyButton : QStyle::SP_MessageBoxWarning);
    icon->setPixmap(symbol.pixmap(24, 24));
    row->addWidget(icon);
    auto *text = new QLabel(this);
    // The line reaches this program as an argument: shown as it is, never as markup.
    text->setTextFormat(Qt::PlainText);
    text->setText(line);
    QFont headline = text->font();
    headline.setBold(true);
    headline.setPointSizeF(headline.pointSizeF() * 1.15);
    text->setFont(headline);
    text->setObjectName(QStringLiteral("status"));
    row->addWidget(text);
    row->addStretch();
}

} // namespace vshare
