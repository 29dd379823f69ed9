#include "ImageAnalysis.h"

#include "AnalysisImage.h"
#include "platform/TextRecognizer.h"

#include <QPainter>
#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <cmath>

namespace vellora {

namespace {
constexpr int kMeasureSide = 96;

int wordCount(const QString &text)
{
    static const QRegularExpression word(QStringLiteral("[\\p{L}\\p{N}]{2,}"));
    int count = 0;
    auto it = word.globalMatch(text);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}
} // namespace

QStringList measuredLabels(const QImage &source)
{
    if (source.isNull())
        return {};
    QImage image = source.width() > kMeasureSide || source.height() > kMeasureSide
        ? source.scaled(kMeasureSide, kMeasureSide, Qt::KeepAspectRatio, Qt::SmoothTransformation)
        : source;
    const bool alpha = image.hasAlphaChannel();
    image = image.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);

    constexpr int kHues = 12;
    std::array<int, kHues> hues{};
    int pixels = 0, greyish = 0, vivid = 0;
    double brightness = 0;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (alpha && qAlpha(line[x]) == 0)
                continue;
            const QColor c = QColor::fromRgb(line[x]);
            float h, s, v;
            c.getHsvF(&h, &s, &v);
            ++pixels;
            brightness += 0.299 * c.redF() + 0.587 * c.greenF() + 0.114 * c.blueF();
            if (s < 0.12f || v < 0.08f)
                ++greyish;
            if (s > 0.45f && v > 0.35f && h >= 0) {
                ++vivid;
                hues[std::min(kHues - 1, int(h * kHues))] += 1;
            }
        }
    }
    QStringList labels;
    if (pixels == 0)
        return labels;
    if (greyish >= pixels * 0.97)
        labels << QStringLiteral("monochrome");
    else if (vivid >= pixels * 0.3) {
        int strong = 0;
        for (int n : hues)
            if (n >= vivid * 0.08)
                ++strong;
        if (strong >= 3)
            labels << QStringLiteral("colorful");
    }
    const double meanBrightness = brightness / pixels;
    if (meanBrightness < 0.2)
        labels << QStringLiteral("dark");
    else if (meanBrightness > 0.85)
        labels << QStringLiteral("bright");
    const double aspect = double(source.width()) / source.height();
    labels << (aspect > 1.1 ? QStringLiteral("landscape")
                            : aspect < 1.0 / 1.1 ? QStringLiteral("portrait") : QStringLiteral("square"));
    return labels;
}

ImageAnalysis analyzeDecodedImage(const QImage &image)
{
    ImageAnalysis result;
    QImage page = image;
    if (image.hasAlphaChannel()) {
        // Text on a transparent picture is usually dark: read it on white.
        page = QImage(image.size(), QImage::Format_RGB32);
        page.fill(Qt::white);
        QPainter painter(&page);
        painter.drawImage(0, 0, image);
    }
    const QStringList lines = TextRecognizer::recognizeLines(page);
    result.text = lines.join(QLatin1Char('\n'));
    if (wordCount(result.text) >= 2)
        result.labels << QStringLiteral("text");
    result.labels << measuredLabels(image);
    return result;
}

std::optional<ImageAnalysis> analyzeImage(const QString &path, const QString &original)
{
    // A thumbnail is at most 1024 pixels and text needs all of them; the cap
    // only guards against a full-size picture standing in for one.
    const std::optional<QImage> image = decodeAnalysisSource(path, original, 2048);
    if (!image)
        return std::nullopt;
    return analyzeDecodedImage(*image);
}

} // namespace vellora
