#include "UpdateBanner.h"

#include "Glass.h"
#include "PlainText.h"

#include "update/Updater.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>

namespace vellora {

namespace {

QPushButton *plainButton(const QString &title, QWidget *parent)
{
    auto *button = new QPushButton(title, parent);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { color: rgb(214,214,214); border: none; padding: 0 6px;"
                                         " font-size: 13px; font-weight: 600; }"
                                         "QPushButton:disabled { color: rgb(98,98,98); }"));
    return button;
}

// A thin bar along the capsule's foot that shows how much has arrived. It is
// a child of the capsule so that it lies over the capsule's glass.
class ProgressLine : public QWidget {
public:
    explicit ProgressLine(QWidget *parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    void setFraction(double fraction)
    {
        m_fraction = fraction;
        setVisible(fraction >= 0);
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF track(0, 0, width(), height());
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 255, 255, 40));
        painter.drawRoundedRect(track, height() / 2.0, height() / 2.0);
        painter.setBrush(QColor(214, 214, 214));
        painter.drawRoundedRect(QRectF(0, 0, width() * std::clamp(m_fraction, 0.0, 1.0), height()), height() / 2.0,
                                height() / 2.0);
    }

private:
    double m_fraction = -1;
};

QString textStyle(int pixelSize)
{
    return QStringLiteral("QLabel#updateBannerText { color: rgb(214,214,214); font-size: %1px; font-weight: 500; }"
                          "QToolTip { color: rgb(236,236,236); background-color: rgb(44,44,46);"
                          " border: 1px solid rgb(86,86,90); padding: 4px; font-size: 12px; }")
        .arg(pixelSize);
}

// Where a line may break: after a space, which the break swallows, or after a
// "/" of an address or a path, so that neither is ever cut inside a word.
QStringList breakPieces(const QString &text)
{
    QStringList pieces;
    QString piece;
    for (const QChar c : text) {
        piece += c;
        if (c == QLatin1Char(' ') || c == QLatin1Char('/')) {
            pieces << piece;
            piece.clear();
        }
    }
    if (!piece.isEmpty())
        pieces << piece;
    return pieces;
}

// The banner's words. The header gives them up to the width they want
// (kTextWidth at most) and takes it back from them first when it is short of
// room, so that the buttons keep their whole titles; the words are then laid
// out again for the width they got.
class BannerText : public QLabel {
public:
    explicit BannerText(QWidget *parent) : QLabel(parent) { setTextFormat(Qt::PlainText); }

    void setWantedWidth(int width)
    {
        if (width == m_wanted)
            return;
        m_wanted = width;
        updateGeometry();
    }
    QSize sizeHint() const override { return QSize(m_wanted, QLabel::sizeHint().height()); }
    QSize minimumSizeHint() const override { return QSize(0, QLabel::minimumSizeHint().height()); }

    std::function<void()> resized;

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QLabel::resizeEvent(event);
        if (resized)
            resized();
    }

private:
    int m_wanted = 0;
};

} // namespace

QStringList fitBannerLines(const QString &text, const QFontMetrics &metrics, int width, int maxLines)
{
    const QString ellipsis = QStringLiteral("\u2026");
    const QStringList pieces = breakPieces(text.simplified());
    QStringList lines;
    QString line;
    qsizetype i = 0;
    while (i < pieces.size() && lines.size() < maxLines) {
        const QString candidate = line + pieces[i];
        if (metrics.horizontalAdvance(candidate.trimmed()) <= width) {
            line = candidate;
            ++i;
            continue;
        }
        if (line.isEmpty() || lines.size() + 1 == maxLines)
            break; // a piece too long for a line of its own, or the last line is full
        lines << line.trimmed();
        line.clear();
    }
    if (i == pieces.size()) {
        if (!line.isEmpty())
            lines << line.trimmed();
        return lines;
    }
    // Something is left over: the last line ends with whole pieces and "…".
    while (!line.isEmpty() && metrics.horizontalAdvance(line.trimmed() + ellipsis) > width) {
        QStringList kept = breakPieces(line);
        kept.removeLast();
        line = kept.join(QString());
    }
    lines << line.trimmed() + ellipsis;
    return lines;
}

UpdateBanner::UpdateBanner(Updater &updater, QWidget *parent)
    : QWidget(parent), m_updater(updater),
      m_capsule(new GlassCapsule(QColor(0, 0, 0, 38), 0.12, this)),
      m_text(new BannerText(m_capsule)),
      m_update(plainButton(tr("Update"), m_capsule)),
      m_dismiss(plainButton(tr("Dismiss"), m_capsule))
{
    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 8, 0);
    outer->addWidget(m_capsule);
    auto *row = new QHBoxLayout(m_capsule);
    row->setContentsMargins(14, 0, 8, 0);
    row->setSpacing(4);
    // The tooltip takes its look from here too: it keeps the window's dark
    // look rather than light text on the default pale yellow.
    m_text->setObjectName(QStringLiteral("updateBannerText"));
    m_text->setStyleSheet(textStyle(13));
    m_text->setMaximumWidth(kTextWidth);
    static_cast<BannerText *>(m_text)->resized = [this] { fitText(); };
    row->addWidget(m_text, 1);
    for (QPushButton *button : {m_update, m_dismiss}) {
        button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        row->addWidget(button);
    }
    m_capsule->setFixedHeight(36);
    auto *line = new ProgressLine(m_capsule);
    line->setFraction(-1);
    m_progress = line;

    connect(m_update, &QPushButton::clicked, this, [this] { m_updater.install(); });
    connect(m_dismiss, &QPushButton::clicked, this, [this] { m_updater.setDismissed(true); });
    for (auto signal : {&Updater::statusChanged, &Updater::availableChanged, &Updater::busyChanged,
                        &Updater::installFailedChanged, &Updater::dismissedChanged, &Updater::downloadProgressChanged})
        connect(&m_updater, signal, this, &UpdateBanner::refresh);
    refresh();
}

QString UpdateBanner::text() const
{
    // While an install runs, and after one failed, its own words stand in
    // for the offer; the offer's "Update" stays there to try again.
    const bool own = m_updater.busy() || m_updater.installFailed() || !m_updater.available();
    if (const auto status = m_updater.status(); status && own)
        return *status;
    if (const auto release = m_updater.available())
        return tr("Vellora %1 is available").arg(release->version);
    return m_updater.status().value_or(QString());
}

QStringList UpdateBanner::shownLines() const
{
    return m_text->text().split(QLatin1Char('\n'));
}

double UpdateBanner::progress() const
{
    return m_updater.downloadProgress().value_or(-1.0);
}

UpdateBanner::Layout UpdateBanner::layoutText(int width) const
{
    const QString full = text();
    QFont font = m_text->font();
    font.setWeight(QFont::Medium); // as the style sheet sets it
    font.setPixelSize(13);
    QStringList lines = fitBannerLines(full, QFontMetrics(font), width, 1);
    if (lines.value(0) != full.simplified()) {
        // Too long for one line: two smaller ones, still cut only between words.
        font.setPixelSize(11);
        lines = fitBannerLines(full, QFontMetrics(font), width, 2);
    }
    int widest = 0;
    for (const QString &line : std::as_const(lines))
        widest = std::max(widest, QFontMetrics(font).horizontalAdvance(line));
    return {lines, font.pixelSize(), widest};
}

void UpdateBanner::fitText()
{
    const QString full = text();
    const int width = std::min(m_text->contentsRect().width(), int(kTextWidth));
    Layout shown = layoutText(width);
    // Not even "…" fits: the label shows nothing, the tool tip all of it.
    if (shown.width > width)
        shown.lines = QStringList{QString()};
    if (const QString style = textStyle(shown.pixelSize); style != m_text->styleSheet())
        m_text->setStyleSheet(style);
    const QString joined = shown.lines.join(QLatin1Char('\n'));
    if (joined != m_text->text())
        m_text->setText(joined);
    // The whole text, when the banner could not show all of it.
    const auto squeezed = [](QString text) { return text.remove(QLatin1Char(' ')); };
    const QString tip = squeezed(shown.lines.join(QString())) == squeezed(full) ? QString() : plainToolTip(full);
    if (tip != m_text->toolTip())
        m_text->setToolTip(tip);
}

void UpdateBanner::refresh()
{
    setVisible(m_updater.bannerVisible());
    static_cast<BannerText *>(m_text)->setWantedWidth(layoutText(kTextWidth).width + m_text->contentsMargins().left()
                                                      + m_text->contentsMargins().right());
    fitText();
    m_update->setVisible(m_updater.available().has_value());
    m_update->setEnabled(!m_updater.busy());
    m_dismiss->setEnabled(!m_updater.busy());
    static_cast<ProgressLine *>(m_progress)->setFraction(progress());
    m_progress->setGeometry(14, m_capsule->height() - 6, std::max(0, m_capsule->width() - 28), 3);
    m_progress->raise();
}

void UpdateBanner::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_progress->setGeometry(14, m_capsule->height() - 6, std::max(0, m_capsule->width() - 28), 3);
}

UpdateSettingsSection::UpdateSettingsSection(Updater &updater, QWidget *parent)
    : QWidget(parent), m_updater(updater), m_lastChecked(new QLabel(this)), m_status(plainLabel(QString(), this)),
      m_check(new QPushButton(tr("Check for Updates…"), this))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    // The settings form gives the section its "Updates" heading.
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(tr("Last checked"), this));
    row->addStretch(1);
    row->addWidget(m_lastChecked);
    column->addLayout(row);
    m_status->setWordWrap(true);
    column->addWidget(m_status);
    column->addWidget(m_check, 0, Qt::AlignLeft);
    connect(m_check, &QPushButton::clicked, this, [this] { m_updater.check(true); });
    for (auto signal : {&Updater::statusChanged, &Updater::lastCheckedChanged, &Updater::busyChanged})
        connect(&m_updater, signal, this, &UpdateSettingsSection::refresh);
    refresh();
}

QString UpdateSettingsSection::lastCheckedText() const
{
    const auto last = m_updater.lastChecked();
    if (!last)
        return tr("Never");
    return QLocale().toString(last->toLocalTime(), QLocale::ShortFormat);
}

void UpdateSettingsSection::refresh()
{
    m_lastChecked->setText(lastCheckedText());
    const QString status = m_updater.status().value_or(QString());
    m_status->setText(status);
    m_status->setVisible(!status.isEmpty());
    m_check->setEnabled(!m_updater.busy());
}

} // namespace vellora
