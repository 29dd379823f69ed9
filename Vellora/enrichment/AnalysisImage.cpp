#include "AnalysisImage.h"

#include <QFileInfo>
#include <QImageReader>

#include <cmath>

namespace vellora {

std::optional<QImage> decodeAnalysisImage(const QString &path, int maxSide)
{
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    QImageReader reader(path);
    reader.setAutoTransform(true);
    reader.setDecideFormatFromContent(true);
    QSize size = reader.size();
    if (maxSide > 0 && size.isValid() && std::max(size.width(), size.height()) > maxSide) {
        // Orientation may swap the sides, but the longer side stays the longer one.
        const double scale = double(maxSide) / std::max(size.width(), size.height());
        size = QSize(std::max(1, int(std::lround(size.width() * scale))),
                     std::max(1, int(std::lround(size.height() * scale))));
        reader.setScaledSize(size);
    }
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    if (maxSide > 0 && std::max(image.width(), image.height()) > maxSide)
        image = image.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (image.format() != QImage::Format_RGB32)
        image = image.convertToFormat(QImage::Format_RGB32);
    return image;
}

std::optional<QImage> decodeTransparentOriginal(const QString &original, int maxSide)
{
    // Enough for any picture a person keeps; past it the thumbnail will do.
    constexpr qint64 kMaxPixels = 32ll * 1024 * 1024;
    if (original.isEmpty() || !QFileInfo(original).isFile())
        return std::nullopt;
    QImageReader reader(original);
    reader.setAutoTransform(true);
    reader.setDecideFormatFromContent(true);
    const QSize size = reader.size();
    if (!size.isValid() || qint64(size.width()) * size.height() > kMaxPixels)
        return std::nullopt;
    const QImage::Format format = reader.imageFormat();
    if (format != QImage::Format_Invalid && QImage::toPixelFormat(format).alphaUsage() != QPixelFormat::UsesAlpha)
        return std::nullopt;
    // Read whole and scale premultiplied: a decoder's own scaling may blend
    // the colour channels of transparent pixels into the edges.
    QImage image = reader.read();
    if (image.isNull() || !image.hasAlphaChannel())
        return std::nullopt;
    if (maxSide > 0 && std::max(image.width(), image.height()) > maxSide)
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                    .scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image.convertToFormat(QImage::Format_ARGB32);
}

std::optional<QImage> decodeAnalysisSource(const QString &thumbnail, const QString &original, int maxSide)
{
    if (auto transparent = decodeTransparentOriginal(original, maxSide))
        return transparent;
    return decodeAnalysisImage(thumbnail, maxSide);
}

} // namespace vellora
