#include "PageTitle.h"

#include <QGraphicsEffect>

#include "Glass.h"
#include "PlainText.h"
#include "WindowBackground.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace vellora {

namespace {
constexpr int kTopInset = 52;

// The second line: as wide as its text on one line when there is room, and
// wrapped (taller) when the page is narrower than that, so that a long
// empty-page text is never cut off.
class CountLine : public QLabel {
public:
    explicit CountLine(QWidget *parent) : QLabel(parent)
    {
        setTextFormat(Qt::PlainText);
        setWordWrap(true);
    }
    QSize sizeHint() const override
    {
        const QMargins m = contentsMargins();
        const int width = fontMetrics().horizontalAdvance(text()) + m.left() + m.right() + 2 * margin() + 1;
        return QSize(width, heightForWidth(width));
    }
    QSize minimumSizeHint() const override { return QSize(0, fontMetrics().height()); }
};
} // namespace

PageTitle::PageTitle(QWidget *parent) : PageTitle(QString(), std::nullopt, false, parent) {}

PageTitle::PageTitle(const QString &title, std::optional<int> count, bool syncing, QWidget *parent)
    : QWidget(parent), m_title(title), m_count(count), m_syncing(syncing), m_titleLabel(plainLabel(QString(), this)),
      m_countLabel(new CountLine(this)), m_spinner(new Spinner(12, this))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(14, kTopInset, 0, 0);
    column->setSpacing(2);

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
    row->addWidget(m_countLabel);
    m_countLabel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    row->addWidget(m_spinner, 0, Qt::AlignVCenter);
    row->addStretch(1);

    column->addWidget(m_titleLabel);
    column->addLayout(row);
    // Its height follows its width (the second line wraps on a narrow
    // page): a fixed height would squeeze the wrapped line.
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    // No background of its own: it lies on the grid's, and fades out over
    // the stage when a tile opens.
    setAttribute(Qt::WA_TranslucentBackground);
    setAutoFillBackground(false);
    refresh();
}

void PageTitle::setUnderHeaderBar(bool under)
{
    // Over the grid's top the heading keeps clear of the header bar that
    // floats there; a grid that starts lower has nothing to keep clear of.
    QLayout *column = layout();
    const int top = under ? kTopInset : 10;
    if (column->contentsMargins().top() == top)
        return;
    column->setContentsMargins(14, top, 0, 0);
    updateGeometry();
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
