#pragma once
// Generated pictures with known content, written as JPEG thumbnails would be.

#include <QBuffer>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>
#include <QString>

namespace fixtures {

inline bool saveJpeg(const QImage &image, const QString &path, int quality = 85)
{
    return image.save(path, "JPEG", quality);
}

// Left 60 % one colour, right 40 % another.
inline QImage twoColourSplit(QColor left = QColor(0x1e, 0x64, 0xc8), QColor right = QColor(0xf0, 0xa0, 0x20),
                             QSize size = QSize(1000, 600))
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    const int split = size.width() * 6 / 10;
    p.fillRect(0, 0, split, size.height(), left);
    p.fillRect(split, 0, size.width() - split, size.height(), right);
    return image;
}

// A white card with printed words in large dark type.
inline QImage wordCard(const QStringList &lines, QSize size = QSize(1024, 640))
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(250, 250, 248));
    QPainter p(&image);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(64);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(20, 20, 30));
    int y = 150;
    for (const QString &line : lines) {
        p.drawText(60, y, line);
        y += 120;
    }
    return image;
}

// A grey picture: a soft grey gradient without any colour.
inline QImage greyPicture(QSize size = QSize(700, 700))
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient g(0, 0, size.width(), size.height());
    g.setColorAt(0, QColor(90, 90, 90));
    g.setColorAt(1, QColor(170, 170, 170));
    p.fillRect(image.rect(), g);
    return image;
}

// Something photo-like: gradients and shapes of several colours. `seed`
// moves the shapes, so different seeds give different pictures.
inline QImage scene(int seed, QSize size = QSize(1024, 768))
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, size.height());
    sky.setColorAt(0, QColor::fromHsv((seed * 47) % 360, 120, 230));
    sky.setColorAt(1, QColor::fromHsv((seed * 47 + 60) % 360, 180, 90));
    p.fillRect(image.rect(), sky);
    for (int i = 0; i < 6; ++i) {
        const int x = (seed * 131 + i * 197) % size.width();
        const int y = (seed * 71 + i * 113) % size.height();
        const int r = 60 + (seed * 13 + i * 29) % 140;
        QRadialGradient g(x, y, r);
        g.setColorAt(0, QColor::fromHsv((seed * 83 + i * 61) % 360, 200, 240));
        g.setColorAt(1, QColor::fromHsv((seed * 83 + i * 61 + 30) % 360, 220, 60));
        p.setBrush(g);
        p.setPen(Qt::NoPen);
        if (i % 2)
            p.drawEllipse(QPoint(x, y), r, r);
        else
            p.drawRect(x - r, y - r / 2, 2 * r, r);
    }
    return image;
}

// The same picture after another trip through an encoder: smaller, at a lower quality.
inline QImage reencoded(const QImage &image, double scale = 0.8, int quality = 55)
{
    QImage small = image.scaled(image.size() * scale, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QByteArray bytes;
    {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        small.save(&buffer, "JPEG", quality);
    }
    QImage back;
    back.loadFromData(bytes, "JPEG");
    return back;
}

} // namespace fixtures
