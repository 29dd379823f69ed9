#pragma once
// HEIC files made on the spot with libheif's own encoder, for the tests that
// need one; where this libheif has no HEVC encoder, with Debian's heif-enc
// (libheif-examples). Empty when neither is there.

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <cstring>
#include <libheif/heif.h>

namespace fixtures {

inline QByteArray heicOf(const QImage &source)
{
    heif_encoder *encoder = nullptr;
    heif_context *context = heif_context_alloc();
    if (heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code != heif_error_Ok) {
        heif_context_free(context);
        QTemporaryDir dir;
        if (!source.convertToFormat(QImage::Format_RGB888).save(dir.path() + "/in.png", "PNG"))
            return {};
        QProcess tool;
        tool.start(QStringLiteral("heif-enc"), {"-q", "90", dir.path() + "/in.png", "-o", dir.path() + "/out.heic"});
        if (!tool.waitForFinished(60000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
            return {};
        QFile out(dir.path() + "/out.heic");
        return out.open(QIODevice::ReadOnly) ? out.readAll() : QByteArray();
    }
    const QImage rgb = source.convertToFormat(QImage::Format_RGB888);
    heif_image *image = nullptr;
    heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, rgb.width(), rgb.height(), 8);
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < rgb.height(); ++y)
        memcpy(plane + y * stride, rgb.constScanLine(y), size_t(rgb.width() * 3));
    heif_encoder_set_lossy_quality(encoder, 90);
    heif_context_encode_image(context, image, encoder, nullptr, nullptr);
    heif_encoder_release(encoder);
    heif_image_release(image);
    QByteArray bytes;
    heif_writer writer;
    writer.writer_api_version = 1;
    writer.write = [](heif_context *, const void *data, size_t size, void *userdata) {
        static_cast<QByteArray *>(userdata)->append(static_cast<const char *>(data), qsizetype(size));
        heif_error ok = {heif_error_Ok, heif_suberror_Unspecified, ""};
        return ok;
    };
    heif_context_write(context, &writer, &bytes);
    heif_context_free(context);
    return bytes;
}

} // namespace fixtures
