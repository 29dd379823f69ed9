#include "PageTitle.h"

#include <QGraphicsEffect>

#include "Glass.h"
#include "PlainText.h"
#include "WindowBackground.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace vellora {

PageTitle::PageTitle(QWidget *parent) : PageTitle(QString(), std::nullopt, false, parent) {}

PageTitle::PageTitle(const QString &title, std::optional<int> count, bool syncing, QWidget *parent)
    : QWidget(parent), m_title(title), m_count(count), m_syncing(syncing), m_titleLabel(plainLabel(QString(), this)),
      m_countLabel(plainLabel(QString(), this)), m_spinner(new Spinner(12, this))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(14, 52, 0, 0);
    column->setSpacing(2);
    column->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    QFont big = font();
    big.setPixelSize(34);
    big.setBold(true);
    m_titleLabel->setFont(big);
    QPalette light = m_titleLabel->palette();
    light.setColor(QPalette::WindowText, lightGrey());
    m_titleLabel->setPalette(light);

    QFont small = font();
    small.setPixelSize(13);
    m_countLabel->setFont(small);
    // The empty line may quote a search typed by the user.
    m_countLabel->setTextFormat(Qt::PlainText);
    m_titleLabel->setTextFormat(Qt::PlainText);
    QPalette mid = m_countLabel->palette();
    mid.setColor(QPalette::WindowText, midGrey());
    m_countLabel->setPalette(mid);

    auto *row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    row->addWidget(m_countLabel, 0, Qt::AlignVCenter);
    row->addWidget(m_spinner, 0, Qt::AlignVCenter);
    row->addStretch(1);

    column->addWidget(m_titleLabel);
    column->addLayout(row);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // No background of its own: it lies on the grid's, and fades out over
    // the stage when a tile opens.
    setAttribute(Qt::WA_TranslucentBackground);
    setAutoFillBackground(false);
    refresh();
}

void PageTitle::setTitle(const QString &title)
{
    m_title = title;
    refresh();
}

void PageTitle::setCount(std::optional<int> count)
{
    m_count = count;
    refresh();
}

void PageTitle::setSyncing(bool syncing)
{
    m_syncing = syncing;
    refresh();
}

void PageTitle::setEmptyText(const QString &text)
{
    if (text == m_emptyText)
        return;
    m_emptyText = text;
    refresh();
}

QString PageTitle::countText(std::optional<int> count)
{
    if (!count)
        return tr("Loading library…");
    return *count == 1 ? tr("1 item") : tr("%1 items").arg(*count);
}

QString PageTitle::shownCountText() const { return m_countLabel->text(); }

void PageTitle::refresh()
{
    m_titleLabel->setText(m_title);
    const bool empty = m_count && *m_count == 0 && !m_emptyText.isEmpty();
    m_countLabel->setText(empty ? m_emptyText : countText(m_count));
    // The spinner belongs to the count row, which a loading library does not have.
    m_spinner->setRunning(m_count.has_value() && m_syncing);
    // The grid fades this header through an effect that paints a cached
    // picture of it: a new count must reach that picture too.
    if (QGraphicsEffect *effect = graphicsEffect())
        effect->update();
    update();
}

} // namespace vellora
