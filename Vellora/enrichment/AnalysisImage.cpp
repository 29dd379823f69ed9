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

} // namespace vellora
