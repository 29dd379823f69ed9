#include "AddLinkSheet.h"

#include "Glass.h"
#include "WindowBackground.h"
#include "library/LinkParser.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace vellora {

AddLinkSheet::AddLinkSheet(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("Add Link"));
    if (parent)
        setWindowModality(Qt::WindowModal);
    setStyleSheet(QStringLiteral(
        "QDialog { background: rgb(38,38,38); }"
        "QLabel { color: rgb(214,214,214); font-size: 13px; }"
        "QLabel#caption { color: rgba(255,255,255,130); font-size: 11px; font-weight: 600; letter-spacing: 1px; }"
        "QLabel#hint { color: rgba(255,255,255,120); font-size: 12px; }"
        "QLineEdit { background: rgba(255,255,255,16); color: rgb(214,214,214); border: 1px solid rgba(255,255,255,30);"
        " border-radius: 7px; padding: 5px 8px; font-size: 14px; }"
        "QPushButton { color: rgb(214,214,214); background: rgba(255,255,255,20); border: 1px solid rgba(255,255,255,36);"
        " border-radius: 13px; padding: 4px 16px; font-size: 13px; }"
        "QPushButton:default { background: rgb(10,132,255); border-color: rgb(10,132,255); color: white; }"
        "QPushButton:disabled { color: rgba(255,255,255,90); background: rgba(255,255,255,10); }"));
    setFixedWidth(420);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(22, 20, 22, 18);
    column->setSpacing(10);
    auto *caption = new QLabel(tr("ADD LINK"));
    caption->setObjectName(QStringLiteral("caption"));
    column->addWidget(caption);
    m_field = new QLineEdit;
    m_field->setPlaceholderText(QStringLiteral("https://example.com/page"));
    column->addWidget(m_field);
    m_hint = new QLabel;
    m_hint->setObjectName(QStringLiteral("hint"));
    column->addWidget(m_hint);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_cancel = new QPushButton(tr("Cancel"));
    m_cancel->setAutoDefault(false);
    m_add = new QPushButton(tr("Add"));
    m_add->setDefault(true);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_add);
    column->addLayout(buttons);

    connect(m_field, &QLineEdit::textChanged, this, &AddLinkSheet::refresh);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_add, &QPushButton::clicked, this, &AddLinkSheet::submit);
    refresh();
}

void AddLinkSheet::refresh()
{
    const QString text = m_field->text().trimmed();
    const bool isLink = normalizedLinkURL(text).has_value();
    m_add->setEnabled(isLink);
    m_hint->setText(text.isEmpty() || isLink ? QString() : tr("That is not a web address."));
}

void AddLinkSheet::submit()
{
    const std::optional<QString> url = normalizedLinkURL(m_field->text().trimmed());
    if (!url)
        return;
    if (add)
        add(*url);
    accept();
}

} // namespace vellora
