#pragma once
// Pictures made on the spot for the media tests and benchmarks: plain PNG and
// JPEG files, JPEGs that carry an EXIF orientation, damaged files.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QString>

#include "platform/ImageIO.h"

namespace fixtures {

// A PNG of one colour, as a page or an icon server would send it.
inline QByteArray pngBytes(int width, int height, const QColor &colour)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A picture whose four quadrants have different colours (red top left, green
// top right, blue bottom left, white bottom right), so a test can tell how it
// was turned.
inline QImage quadrants(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    const int w2 = width / 2, h2 = height / 2;
    p.fillRect(0, 0, w2, h2, Qt::red);
    p.fillRect(w2, 0, width - w2, h2, Qt::green);
    p.fillRect(0, h2, w2, height - h2, Qt::blue);
    p.fillRect(w2, h2, width - w2, height - h2, Qt::white);
    return image;
}

// The picture that the self-check generates for index i: one flat colour.
inline QImage flatTestImage(int i, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor::fromRgbF(float(i % 256) / 255.0f, float(i / 256) * 0.125f, 0.5f));
    return image;
}

// An EXIF APP1 segment holding only the orientation tag, big-endian TIFF.
inline QByteArray exifOrientationSegment(int orientation)
{
    QByteArray tiff;
    tiff.append("MM\x00\x2a", 4);
    tiff.append("\x00\x00\x00\x08", 4);         // IFD0 right after the header
    tiff.append("\x00\x01", 2);                 // one entry
    tiff.append("\x01\x12", 2);                 // tag 0x0112, Orientation
    tiff.append("\x00\x03", 2);                 // SHORT
    tiff.append("\x00\x00\x00\x01", 4);         // count 1
    tiff.append(char(0));
    tiff.append(char(orientation));
    tiff.append("\x00\x00", 2);                 // value padding
    tiff.append("\x00\x00\x00\x00", 4);         // no next IFD
    QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    const int length = int(payload.size()) + 2;
    QByteArray segment("\xff\xe1", 2);
    segment.append(char(length >> 8));
    segment.append(char(length & 0xff));
    return segment + payload;
}

// A JPEG of `image` with the EXIF orientation written right after its SOI marker.
inline QByteArray jpegWithOrientation(const QImage &image, int orientation, double quality = 0.8)
{
    QByteArray jpeg = vellora::encodeJPEG(image, quality);
    return jpeg.left(2) + exifOrientationSegment(orientation) + jpeg.mid(2);
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A PNG signature and header followed by noise: the size reads, the pixels don't.
inline QByteArray damagedPNG()
{
    QByteArray png = vellora::encodePNG(quadrants(64, 48));
    QByteArray damaged = png.left(33);
    for (int i = 0; i < 400; ++i)
        damaged.append(char((i * 37) & 0xff));
    return damaged;
}

} // namespace fixtures
