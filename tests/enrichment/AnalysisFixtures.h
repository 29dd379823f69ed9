#pragma once
// Generated pictures with known content, written as JPEG thumbnails would be.

#include <QBuffer>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

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

// A 1440 x 900 screenshot of a desktop window: a title bar, a sidebar of
// names, a heading, paragraphs and a button, in a light or a dark theme,
// in one of three typefaces at 13 to 18 pixels. Different seeds give
// different words and layouts. `words` receives every word drawn.
inline QImage textScreenshot(int seed, QStringList *words = nullptr)
{
    static const QStringList vocabulary = QStringLiteral(
        "design studio palette typography grid layout colour furniture chair walnut oak poster print "
        "gallery library archive project review draft final version report quarterly revenue market "
        "summer winter autumn spring light shadow texture pattern surface marble concrete timber glass "
        "window door garden kitchen office table lamp shelf sofa carpet curtain ceiling floor brick "
        "north south east west city river bridge street market harbour museum theatre station school "
        "morning evening weekend holiday journey travel ticket booking invoice payment account balance "
        "meeting agenda notes ideas sketch study model render photo camera lens focus frame border "
        "button menu settings profile search filter export import share upload download folder file "
        "green blue orange yellow purple silver golden black white brown coral indigo amber olive")
                                             .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QRandomGenerator random(quint32(seed) * 2654435761u + 17u);
    auto pick = [&] { return vocabulary.at(int(random.bounded(quint32(vocabulary.size())))); };
    auto sentence = [&](int count) {
        QStringList out;
        for (int i = 0; i < count; ++i)
            out << pick();
        QString s = out.join(QLatin1Char(' '));
        s[0] = s[0].toUpper();
        return s;
    };
    QStringList drawn;
    const bool dark = seed % 3 == 2;
    const QColor background = dark ? QColor(32, 33, 36) : QColor(246, 246, 246);
    const QColor ink = dark ? QColor(224, 224, 224) : QColor(30, 30, 30);
    const QColor pane = dark ? QColor(44, 45, 50) : QColor(236, 236, 240);
    QImage image(1440, 900, QImage::Format_RGB32);
    image.fill(background);
    QPainter p(&image);
    p.setRenderHint(QPainter::TextAntialiasing);
    static const char *families[] = {"DejaVu Sans", "DejaVu Serif", "DejaVu Sans Mono"};
    QFont font(QString::fromLatin1(families[seed % 3]));
    const int size = 13 + seed % 6;
    font.setPixelSize(size);
    auto text = [&](int x, int y, const QString &line) {
        p.drawText(x, y, line);
        drawn << line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    };
    // Title bar.
    p.fillRect(0, 0, 1440, 52, dark ? QColor(24, 24, 27) : QColor(228, 228, 228));
    p.setFont(font);
    p.setPen(ink);
    text(620, 32, sentence(2));
    // Sidebar.
    const int sidebar = 200 + int(random.bounded(120u));
    p.fillRect(0, 52, sidebar, 848, pane);
    const int entries = 6 + int(random.bounded(8u));
    for (int i = 0; i < entries; ++i)
        text(24, 96 + i * (size * 2 + 6), sentence(1 + int(random.bounded(2u))));
    // Heading.
    QFont heading = font;
    heading.setPixelSize(size * 2);
    heading.setBold(true);
    p.setFont(heading);
    const int left = sidebar + 40;
    text(left, 110, sentence(3));
    // Paragraphs.
    p.setFont(font);
    const int lineHeight = size + 8;
    const int perLine = std::max(4, (1440 - left - 60) / (size * 6));
    int y = 160;
    const int lines = 10 + int(random.bounded(16u));
    for (int i = 0; i < lines && y < 800; ++i) {
        text(left, y, sentence(perLine - int(random.bounded(3u))));
        y += lineHeight + (i % 5 == 4 ? lineHeight : 0);
    }
    // A button with white words on blue.
    QFont bold = font;
    bold.setBold(true);
    p.setFont(bold);
    p.setBrush(QColor(40, 110, 230));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRect(1440 - 220, 830, 180, 44), 8, 8);
    p.setPen(Qt::white);
    text(1440 - 200, 858, sentence(2));
    if (words)
        *words = drawn;
    return image;
}

// A picture as the self-check writes them for its import of 2 000: one flat
// colour, 200 to 1600 pixels a side.
inline QImage selfCheckPicture(int index)
{
    QRandomGenerator random(quint32(index) + 1u);
    QImage image(200 + int(random.bounded(1401u)), 200 + int(random.bounded(1401u)), QImage::Format_RGB32);
    image.fill(QColor::fromRgbF(float(index % 256) / 255.0f, float(index / 256) * 0.125f, 0.5f, 1.0f));
    return image;
}

// The thumbnail the import makes of a picture: longer side at most 1024 pixels.
inline QImage asThumbnail(const QImage &image)
{
    if (std::max(image.width(), image.height()) <= 1024)
        return image;
    return image.scaled(1024, 1024, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace fixtures
