#include "LinkCover.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QTextLayout>
#include <QTextOption>

namespace vellora {

namespace {

constexpr double kLeft = 96;
constexpr double kIconTop = 270;
constexpr double kIconSide = 88;
constexpr double kTitleTopWithIcon = 398;
constexpr double kTitleTopWithoutIcon = 270;
constexpr double kTitleWidth = 1088;
constexpr double kTitleHeight = 140;
constexpr double kDomainOffset = 150;

struct CoverFonts {
    QString regular;
    QString bold;
};

// Loaded once; when a file is missing the family falls back to whatever the
// system matches for "DejaVu Sans", and failing that to the default font.
const CoverFonts &coverFonts()
{
    static const CoverFonts fonts = [] {
        auto load = [](const char *file) {
            const int id = QFontDatabase::addApplicationFont(
                QStringLiteral("/usr/share/fonts/truetype/dejavu/") + QLatin1String(file));
            const QStringList families = id >= 0 ? QFontDatabase::applicationFontFamilies(id) : QStringList();
            return families.isEmpty() ? QStringLiteral("DejaVu Sans") : families.front();
        };
        return CoverFonts{load("DejaVuSans.ttf"), load("DejaVuSans-Bold.ttf")};
    }();
    return fonts;
}

QFont coverFont(const QString &family, int pixelSize, QFont::Weight weight)
{
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

// Wraps the title at word boundaries (anywhere when one word is too wide)
// into the box, and cuts the last line that fits with an ellipsis when the
// text goes on past it.
void drawTitle(QPainter &painter, const QString &text, const QFont &font, const QRectF &box)
{
    const QString title = text.simplified();
    const QFontMetricsF metrics(font);
    QTextLayout layout(title, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);

    struct Line { int start; int length; double y; };
    QList<Line> lines;
    bool cut = false;
    layout.beginLayout();
    double y = 0;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(box.width());
        if (y + line.height() > box.height()) {
            cut = true;
            break;
        }
        line.setPosition(QPointF(0, y));
        lines.append({line.textStart(), line.textLength(), y});
        y += line.height();
    }
    layout.endLayout();

    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Line &l = lines[i];
        const bool last = i == lines.size() - 1;
        QString shown = (cut && last ? title.mid(l.start) : title.mid(l.start, l.length)).trimmed();
        if (cut && last)
            shown = metrics.elidedText(shown + QChar(0x2026), Qt::ElideRight, box.width());
        painter.drawText(QPointF(box.left(), box.top() + l.y + metrics.ascent()), shown);
    }
}

} // namespace

std::optional<QImage> renderLinkCover(const QString &title, const QString &domain,
                                      const std::optional<QImage> &icon)
{
    QImage image(kLinkCoverWidth, kLinkCoverHeight, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return std::nullopt;
    image.fill(Qt::transparent);

    QPainter painter(&image);
    if (!painter.isActive())
        return std::nullopt;
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);

    // Lighter at the top, darker at the bottom.
    QLinearGradient gradient(QPointF(0, 0), QPointF(0, kLinkCoverHeight));
    gradient.setColorAt(0, QColor::fromRgbF(0.17f, 0.17f, 0.17f));
    gradient.setColorAt(1, QColor::fromRgbF(0.09f, 0.09f, 0.09f));
    painter.fillRect(QRectF(0, 0, kLinkCoverWidth, kLinkCoverHeight), gradient);

    double titleTop = kTitleTopWithoutIcon;
    if (icon && !icon->isNull()) {
        painter.drawImage(QRectF(kLeft, kIconTop, kIconSide, kIconSide), *icon);
        titleTop = kTitleTopWithIcon;
    }

    const CoverFonts &fonts = coverFonts();
    painter.setPen(Qt::white);
    const QFont titleFont = coverFont(fonts.bold, 56, QFont::Bold);
    painter.setFont(titleFont);
    drawTitle(painter, title, titleFont, QRectF(kLeft, titleTop, kTitleWidth, kTitleHeight));

    if (!domain.isEmpty()) {
        const QFont domainFont = coverFont(fonts.regular, 30, QFont::Normal);
        painter.setFont(domainFont);
        painter.setPen(QColor::fromRgbF(1, 1, 1, 0.5f));
        const QFontMetricsF metrics(domainFont);
        painter.drawText(QPointF(kLeft, titleTop + kDomainOffset + metrics.ascent()), domain);
    }
    painter.end();
    return image.convertToFormat(QImage::Format_RGB32);
}

} // namespace vellora
