#include "ImageIO.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <libheif/heif.h>

#include <vector>

#include <cmath>
#include <memory>
#include <mutex>

namespace vellora {

namespace {

// HEIF --------------------------------------------------------------------

void initHeif()
{
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
}

bool looksLikeHeif(const QByteArray &bytes)
{
    if (bytes.size() < 12)
        return false;
    initHeif();
    return heif_check_filetype(reinterpret_cast<const uint8_t *>(bytes.constData()), int(bytes.size()))
        == heif_filetype_yes_supported;
}

struct HeifContextDeleter {
    void operator()(heif_context *c) const { heif_context_free(c); }
};
struct HeifHandleDeleter {
    void operator()(heif_image_handle *h) const { heif_image_handle_release(h); }
};
struct HeifImageDeleter {
    void operator()(heif_image *i) const { heif_image_release(i); }
};
using HeifContext = std::unique_ptr<heif_context, HeifContextDeleter>;
using HeifHandle = std::unique_ptr<heif_image_handle, HeifHandleDeleter>;
using HeifImage = std::unique_ptr<heif_image, HeifImageDeleter>;

// The primary image's handle; the context must outlive it and the bytes both.
HeifHandle openHeif(const QByteArray &bytes, HeifContext &context)
{
    initHeif();
    context.reset(heif_context_alloc());
    if (!context)
        return nullptr;
    if (heif_context_read_from_memory_without_copy(context.get(), bytes.constData(), size_t(bytes.size()), nullptr).code
        != heif_error_Ok)
        return nullptr;
    heif_image_handle *handle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &handle).code != heif_error_Ok)
        return nullptr;
    return HeifHandle(handle);
}

std::optional<ImageInfo> heifInfo(const QByteArray &bytes)
{
    HeifContext context;
    HeifHandle handle = openHeif(bytes, context);
    if (!handle)
        return std::nullopt;
    // libheif reports the size with the rotation and mirroring applied.
    ImageInfo info;
    info.pixelWidth = heif_image_handle_get_width(handle.get());
    info.pixelHeight = heif_image_handle_get_height(handle.get());
    if (info.pixelWidth <= 0 || info.pixelHeight <= 0)
        return std::nullopt;
    info.withinPixelBudget = qint64(info.pixelWidth) * info.pixelHeight <= kMaxDecodedPixels
        || heif_image_handle_get_number_of_thumbnails(handle.get()) > 0;
    return info;
}

// The embedded thumbnail with the most pixels, or nothing.
HeifHandle largestThumbnail(const heif_image_handle *image)
{
    const int count = heif_image_handle_get_number_of_thumbnails(image);
    if (count <= 0)
        return {};
    std::vector<heif_item_id> ids(static_cast<size_t>(count));
    heif_image_handle_get_list_of_thumbnail_IDs(image, ids.data(), count);
    HeifHandle best;
    qint64 bestPixels = 0;
    for (heif_item_id id : ids) {
        heif_image_handle *thumbnail = nullptr;
        if (heif_image_handle_get_thumbnail(image, id, &thumbnail).code != heif_error_Ok)
            continue;
        HeifHandle handle(thumbnail);
        const qint64 pixels = qint64(heif_image_handle_get_width(thumbnail)) * heif_image_handle_get_height(thumbnail);
        if (pixels > bestPixels && pixels <= kMaxDecodedPixels) {
            bestPixels = pixels;
            best = std::move(handle);
        }
    }
    return best;
}

QImage decodeHeif(const QByteArray &bytes)
{
    HeifContext context;
    HeifHandle handle = openHeif(bytes, context);
    if (!handle)
        return {};
    // libheif decodes the whole picture at once: a small file may describe
    // a huge one. Above the budget only an embedded thumbnail is decoded.
    const qint64 pixels = qint64(heif_image_handle_get_width(handle.get())) * heif_image_handle_get_height(handle.get());
    if (pixels > kMaxDecodedPixels) {
        handle = largestThumbnail(handle.get());
        if (!handle)
            return {};
    }
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get());
    heif_image *raw = nullptr;
    if (heif_decode_image(handle.get(), &raw, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr)
            .code
        != heif_error_Ok)
        return {};
    HeifImage image(raw);
    int stride = 0;
    const uint8_t *plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || width <= 0 || height <= 0)
        return {};
    // The plane belongs to the heif image: copy before it goes.
    return QImage(plane, width, height, stride, alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888).copy();
}

// Qt's readers -------------------------------------------------------------

int orientationOf(QImageIOHandler::Transformations t)
{
    // The EXIF orientations as Qt names them.
    switch (int(t)) {
    case QImageIOHandler::TransformationNone: return 1;
    case QImageIOHandler::TransformationMirror: return 2;
    case QImageIOHandler::TransformationRotate180: return 3;
    case QImageIOHandler::TransformationFlip: return 4;
    case QImageIOHandler::TransformationFlipAndRotate90: return 5;
    case QImageIOHandler::TransformationRotate90: return 6;
    case QImageIOHandler::TransformationMirrorAndRotate90: return 7;
    case QImageIOHandler::TransformationRotate270: return 8;
    }
    return 1;
}

std::optional<ImageInfo> qtInfo(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (!reader.canRead())
        return std::nullopt;
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty())
        return std::nullopt;
    ImageInfo info;
    info.pixelWidth = size.width();
    info.pixelHeight = size.height();
    info.orientation = orientationOf(reader.transformation());
    return info;
}

QImage qtDecode(const QByteArray &bytes, double maxPixelSize)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (!reader.canRead())
        return {};
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    if (stored.isValid() && !stored.isEmpty()) {
        // The reader scales in the stored orientation and turns afterwards.
        const bool turned = reader.transformation().testFlag(QImageIOHandler::TransformationRotate90);
        const QSize shown = turned ? stored.transposed() : stored;
        const QSize target = fittedSize(shown, maxPixelSize);
        if (target != shown)
            reader.setScaledSize(turned ? target.transposed() : target);
    }
    QImage image = reader.read();
    if (image.isNull())
        return {};
    // Readers that cannot say their size up front are brought down here.
    const QSize target = fittedSize(image.size(), maxPixelSize);
    if (target != image.size())
        image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

QByteArray encode(const QImage &image, const char *format, int quality)
{
    if (image.isNull())
        return {};
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (quality >= 0)
        writer.setQuality(quality);
    if (!writer.write(image))
        return {};
    return bytes;
}

} // namespace

QSize fittedSize(QSize size, double maxPixelSize)
{
    if (size.isEmpty() || !(maxPixelSize >= 1.0))
        return size;
    const int longer = std::max(size.width(), size.height());
    if (longer <= maxPixelSize)
        return size;
    const double scale = std::floor(maxPixelSize) / longer;
    const auto fit = [scale](int side) { return std::max(1, int(std::lround(side * scale))); };
    return QSize(fit(size.width()), fit(size.height()));
}

std::optional<ImageInfo> imageInfo(const QByteArray &bytes)
{
    if (looksLikeHeif(bytes))
        return heifInfo(bytes);
    return qtInfo(bytes);
}

QImage downsampledImage(const QByteArray &bytes, double maxPixelSize, bool hdr)
{
    Q_UNUSED(hdr);
    if (bytes.isEmpty())
        return {};
    if (looksLikeHeif(bytes)) {
        QImage image = decodeHeif(bytes);
        const QSize target = fittedSize(image.size(), maxPixelSize);
        if (!image.isNull() && target != image.size())
            image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        return image;
    }
    return qtDecode(bytes, maxPixelSize);
}

QImage downsampledImage(const QString &path, double maxPixelSize, bool hdr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return downsampledImage(file.readAll(), maxPixelSize, hdr);
}

QByteArray encodeJPEG(const QImage &image, double quality)
{
    const int q = int(std::lround(std::clamp(quality, 0.0, 1.0) * 100.0));
    // JPEG has no alpha; flatten onto white rather than letting it go black.
    if (image.hasAlphaChannel()) {
        QImage flat(image.size(), QImage::Format_RGB32);
        flat.fill(Qt::white);
        QImage source = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < flat.height(); ++y) {
            auto *dst = reinterpret_cast<QRgb *>(flat.scanLine(y));
            const auto *src = reinterpret_cast<const QRgb *>(source.constScanLine(y));
            for (int x = 0; x < flat.width(); ++x) {
                const QRgb s = src[x];
                const int a = qAlpha(s);
                dst[x] = qRgb(qRed(s) + (255 - a), qGreen(s) + (255 - a), qBlue(s) + (255 - a));
            }
        }
        return encode(flat, "jpeg", q);
    }
    return encode(image, "jpeg", q);
}

QByteArray encodePNG(const QImage &image)
{
    return encode(image, "png", -1);
}

} // namespace vellora
