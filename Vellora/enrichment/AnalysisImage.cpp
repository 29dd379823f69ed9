#include "AnalysisImage.h"

#include "library/Media.h"

#include <QFileInfo>
#include <QImageReader>
#include <QPainter>

#include <cmath>

namespace vellora {

QImage asShownOnTile(const QImage &image)
{
    if (!image.hasAlphaChannel())
        return image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32);
    QImage flat(image.size(), QImage::Format_RGB32);
    flat.fill(QColor::fromRgb(kDisplayBackground));
    QPainter(&flat).drawImage(0, 0, image);
    return flat;
}

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
    return asShownOnTile(image);
}

} // namespace vellora
