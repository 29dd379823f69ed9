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

} // namespace

UpdateBanner::UpdateBanner(Updater &updater, QWidget *parent)
    : QWidget(parent), m_updater(updater),
      m_capsule(new GlassCapsule(QColor(0, 0, 0, 38), 0.12, this)),
      m_text(plainLabel(QString(), m_capsule)),
      m_update(plainButton(QStringLiteral("Update"), m_capsule)),
      m_dismiss(plainButton(QStringLiteral("Dismiss"), m_capsule))
{
    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 8, 0);
    outer->addWidget(m_capsule);
    auto *row = new QHBoxLayout(m_capsule);
    row->setContentsMargins(14, 0, 8, 0);
    row->setSpacing(4);
    m_text->setStyleSheet(QStringLiteral("color: rgb(214,214,214); font-size: 13px; font-weight: 500;"));
    m_text->setMaximumWidth(320);
    row->addWidget(m_text, 1);
    row->addWidget(m_update);
    row->addWidget(m_dismiss);
    m_capsule->setFixedHeight(36);
    auto *line = new ProgressLine(m_capsule);
    line->setFraction(-1);
    m_progress = line;

    connect(m_update, &QPushButton::clicked, this, [this] { m_updater.install(); });
    connect(m_dismiss, &QPushButton::clicked, this, [this] { m_updater.setDismissed(true); });
    for (auto signal : {&Updater::statusChanged, &Updater::availableChanged, &Updater::busyChanged,
                        &Updater::dismissedChanged, &Updater::downloadProgressChanged})
        connect(&m_updater, signal, this, &UpdateBanner::refresh);
    refresh();
}

QString UpdateBanner::text() const
{
    if (const auto status = m_updater.status(); status && (m_updater.busy() || !m_updater.available()))
        return *status;
    if (const auto release = m_updater.available())
        return QStringLiteral("Vellora %1 is available").arg(release->version);
    return m_updater.status().value_or(QString());
}

double UpdateBanner::progress() const
{
    return m_updater.downloadProgress().value_or(-1.0);
}

void UpdateBanner::refresh()
{
    setVisible(m_updater.bannerVisible());
    const QString full = text();
    m_text->setToolTip(plainToolTip(full));
    m_text->setText(m_text->fontMetrics().elidedText(full, Qt::ElideMiddle, m_text->maximumWidth()));
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
      m_check(new QPushButton(QStringLiteral("Check for Updates…"), this))
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    // The settings form gives the section its "Updates" heading.
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("Last checked"), this));
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
        return QStringLiteral("Never");
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
