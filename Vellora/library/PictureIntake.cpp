#include "library/PictureIntake.h"

#include <cstring>

namespace vellora {

bool looksLikePicture(const QByteArray &head)
{
    const auto starts = [&head](const char *magic, qsizetype size, qsizetype at = 0) {
        return head.size() >= at + size && std::memcmp(head.constData() + at, magic, size_t(size)) == 0;
    };
    if (starts("\xFF\xD8\xFF", 3) || starts("\x89PNG\r\n\x1A\n", 8) || starts("GIF8", 4) || starts("BM", 2))
        return true;
    if (starts("RIFF", 4) && starts("WEBP", 4, 8))
        return true;
    if (starts("II*\0", 4) || starts("MM\0*", 4))
        return true;
    if (starts("ftyp", 4, 4)) // HEIF, HEIC, AVIF: an ISO media box
        return true;
    if (starts("\0\0\1\0", 4)) // ICO
        return true;
    if (head.size() >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6') // PBM, PGM, PPM
        return true;
    return false;
}

std::optional<ImageInfo> pictureHeader(const QByteArray &bytes, PictureRefusal *why)
{
    const auto refuse = [why](PictureRefusal::Kind kind, const QString &detail = {}) -> std::optional<ImageInfo> {
        if (why)
            *why = PictureRefusal{kind, detail};
        return std::nullopt;
    };
    if (!looksLikePicture(bytes.left(64)))
        return refuse(PictureRefusal::NotAPicture);
    const std::optional<ImageInfo> info = imageInfo(bytes);
    if (!info)
        return refuse(PictureRefusal::NotAPicture);
    if (!info->withinPixelBudget)
        return refuse(PictureRefusal::TooLarge,
                      QStringLiteral("%1 x %2 pixels").arg(info->pixelWidth).arg(info->pixelHeight));
    return info;
}

QImage pictureForThumbnail(const QByteArray &bytes)
{
    return downsampledImage(bytes, kThumbnailPixelSize);
}

std::optional<PictureRefusal> pictureRefusal(const QByteArray &bytes)
{
    PictureRefusal why;
    if (!pictureHeader(bytes, &why))
        return why;
    if (pictureForThumbnail(bytes).isNull())
        return PictureRefusal{PictureRefusal::NotAPicture, {}};
    return std::nullopt;
}

} // namespace vellora
