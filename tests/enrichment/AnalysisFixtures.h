#pragma once
// Generated pictures with known content, written as JPEG thumbnails would be.

#include <QBuffer>
#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPen>
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

// Like /usr/share/backgrounds/mate/abstract/Gulp.png: white swirls over a
// field that is all but transparent (alpha 1 to 15) but holds saturated
// blue and magenta in its colour channels.
inline QImage faintFieldUnderSwirls()
{
    QImage picture(600, 400, QImage::Format_ARGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixelColor(x, y, x < 300 ? QColor(0, 0, 255, 1 + (x + y) % 15) : QColor(255, 0, 255, 1 + y % 15));
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(254, 252, 254, 230), 40));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPoint(300, 200), 220, 140);
    p.drawEllipse(QPoint(200, 180), 90, 70);
    return picture;
}

// What people capture in small type: a code editor, a terminal, or a page
// of small print.
enum class CaptureKind { Code, Terminal, SmallPrint };

// A screenshot at a capture size (`size`) holding `kind` in `pixelSize` type
// (11 to 13 pixels), light or dark. `seed` picks where in the text it
// starts. `words` receives every word drawn.
inline QImage captureScreenshot(CaptureKind kind, bool dark, QSize size, int pixelSize, int seed,
                                QStringList *words = nullptr)
{
    static const QStringList code = QStringLiteral(
        "#include <algorithm>\n#include <vector>\n\nnamespace render {\n\n"
        "struct Segment {\n    double start = 0.0;\n    double length = 0.0;\n    int weight = 1;\n};\n\n"
        "// Merges overlapping segments so that every point is covered once.\n"
        "std::vector<Segment> mergeSegments(std::vector<Segment> segments)\n{\n"
        "    std::sort(segments.begin(), segments.end(), [](const Segment &a, const Segment &b) {\n"
        "        return a.start < b.start;\n    });\n    std::vector<Segment> merged;\n"
        "    for (const Segment &segment : segments) {\n"
        "        if (!merged.empty() && segment.start <= merged.back().start + merged.back().length) {\n"
        "            Segment &last = merged.back();\n"
        "            const double end = std::max(last.start + last.length, segment.start + segment.length);\n"
        "            last.length = end - last.start;\n            last.weight += segment.weight;\n"
        "            continue;\n        }\n        merged.push_back(segment);\n    }\n    return merged;\n}\n\n"
        "class TileCache {\npublic:\n    explicit TileCache(int capacity) : m_capacity(capacity) {}\n"
        "    bool contains(const QString &key) const { return m_entries.contains(key); }\n"
        "    void insert(const QString &key, const QImage &tile)\n    {\n"
        "        if (m_entries.size() >= m_capacity)\n            evictOldest();\n"
        "        m_entries.insert(key, tile);\n        m_order.append(key);\n    }\n\nprivate:\n"
        "    void evictOldest()\n    {\n        if (m_order.isEmpty())\n            return;\n"
        "        m_entries.remove(m_order.takeFirst());\n    }\n\n    int m_capacity = 0;\n"
        "    QHash<QString, QImage> m_entries;\n    QStringList m_order;\n};\n\n} // namespace render")
                                         .split(QLatin1Char('\n'));
    static const QStringList terminal = QStringLiteral(
        "user@studio:~/projects/gallery$ git status\nOn branch main\n"
        "Your branch is up to date with 'origin/main'.\n\nChanges not staged for commit:\n"
        "  (use \"git add <file>...\" to update what will be committed)\n"
        "        modified:   src/render/tiles.cpp\n        modified:   src/render/tiles.h\n\n"
        "user@studio:~/projects/gallery$ ls -l assets\ntotal 2184\n"
        "-rw-r--r-- 1 user staff  482133 Mar 14 09:12 banner.png\n"
        "-rw-r--r-- 1 user staff  731904 Mar 14 09:15 cover.jpg\n"
        "drwxr-xr-x 2 user staff    4096 Mar 12 17:40 icons\n"
        "-rw-r--r-- 1 user staff  998210 Mar 15 11:02 poster.tiff\n"
        "user@studio:~/projects/gallery$ make -j8\n[ 12%] Building CXX object src/CMakeFiles/gallery.dir/main.cpp.o\n"
        "[ 25%] Building CXX object src/CMakeFiles/gallery.dir/render/tiles.cpp.o\n"
        "[ 37%] Linking CXX executable gallery\n[100%] Built target gallery\n"
        "user@studio:~/projects/gallery$ ./gallery --check assets\nchecked 4 files, 0 problems found\n"
        "user@studio:~/projects/gallery$ df -h /home\nFilesystem      Size  Used Avail Use% Mounted on\n"
        "/dev/nvme0n1p2  468G  201G  244G  46% /home\nuser@studio:~/projects/gallery$ uptime\n"
        " 10:42:07 up 3 days,  2:11,  2 users,  load average: 0.52, 0.61, 0.58\n"
        "user@studio:~/projects/gallery$ tail -n 3 server.log\n"
        "2024-03-15 10:40:12 INFO  request finished in 41 ms\n"
        "2024-03-15 10:41:55 WARN  cache miss for thumbnail 8812\n"
        "2024-03-15 10:42:01 INFO  request finished in 12 ms")
                                             .split(QLatin1Char('\n'));
    static const QStringList smallPrint = QStringLiteral(
        "Terms of use. By using this service you agree to the following terms. Please read them carefully "
        "before you create an account. We may change these terms from time to time and will tell you about "
        "any change that affects your rights. Your content stays yours: you grant us only the licence we need "
        "to store, display and share it as you direct. You are responsible for keeping your password secret "
        "and for every action taken under your account. We keep backups of your files for thirty days after "
        "you delete them, after which they are removed from our servers. Payments are billed monthly in "
        "advance and are not refundable except where the law requires it. You may cancel at any time from "
        "the settings page; the cancellation takes effect at the end of the current billing period. We do "
        "not sell personal information to anyone. We use cookies to keep you signed in and to measure how "
        "the service is used, and you can turn off the measuring cookies in your privacy settings. If a part "
        "of these terms cannot be enforced, the remaining parts stay in effect. These terms are governed by "
        "the laws of the country where our company is registered, and any dispute will be settled by its "
        "courts. Questions about these terms can be sent to our support team, who answer within two working "
        "days. Thank you for choosing our studio for your creative work and for reading the small print.")
                                               .split(QLatin1Char(' '));
    QImage image(size, QImage::Format_RGB32);
    const QColor background = dark ? QColor(30, 30, 30) : QColor(255, 255, 255);
    image.fill(background);
    QPainter p(&image);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont font(QString::fromLatin1(kind == CaptureKind::SmallPrint ? "DejaVu Sans" : "DejaVu Sans Mono"));
    font.setPixelSize(pixelSize);
    p.setFont(font);
    const QFontMetrics metrics(font);
    const int lineHeight = metrics.lineSpacing() + (kind == CaptureKind::SmallPrint ? 2 : 1);
    QStringList drawn;
    auto draw = [&](int x, int y, const QString &line, QColor ink) {
        p.setPen(ink);
        p.drawText(x, y, line);
        drawn << line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    };
    const QColor ink = dark ? QColor(212, 212, 212) : QColor(36, 36, 36);
    const QColor muted = dark ? QColor(150, 150, 150) : QColor(110, 110, 110);
    // Window chrome: a title bar and, for the editor, a file list beside the text.
    p.fillRect(0, 0, size.width(), 34, dark ? QColor(45, 45, 48) : QColor(236, 236, 236));
    draw(size.width() / 2 - 60, 22, kind == CaptureKind::Terminal ? QStringLiteral("Terminal")
                                     : kind == CaptureKind::Code   ? QStringLiteral("tiles.cpp")
                                                                   : QStringLiteral("Terms of use"),
         ink);
    int left = 16;
    if (kind == CaptureKind::Code) {
        p.fillRect(0, 34, 220, size.height() - 34, dark ? QColor(37, 37, 38) : QColor(243, 243, 243));
        const char *files[] = {"main.cpp", "tiles.cpp", "tiles.h", "segments.cpp", "cache.h", "README.md"};
        for (int i = 0; i < 6; ++i)
            draw(20, 64 + i * lineHeight, QString::fromLatin1(files[i]), muted);
        left = 240;
    }
    int y = 34 + lineHeight + 6;
    if (kind == CaptureKind::SmallPrint) {
        const int width = std::min(size.width() - 2 * 40, pixelSize * 60);
        left = (size.width() - width) / 2;
        int at = (seed * 37) % smallPrint.size();
        while (y < size.height() - 10) {
            QString line;
            while (true) {
                const QString word = smallPrint.at(at % smallPrint.size());
                const QString next = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
                if (metrics.horizontalAdvance(next) > width && !line.isEmpty())
                    break;
                line = next;
                ++at;
            }
            draw(left, y, line, ink);
            y += lineHeight;
        }
    } else {
        const QStringList &text = kind == CaptureKind::Code ? code : terminal;
        const QColor keyword = dark ? QColor(86, 156, 214) : QColor(0, 0, 200);
        const QColor comment = dark ? QColor(106, 153, 85) : QColor(0, 128, 0);
        for (int i = (seed * 7) % text.size(); y < size.height() - 10; ++i) {
            const QString line = text.at(i % text.size());
            QColor colour = ink;
            if (line.trimmed().startsWith(QLatin1String("//")))
                colour = comment;
            else if (line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1String("class"))
                     || line.startsWith(QLatin1String("struct")) || line.startsWith(QLatin1String("namespace")))
                colour = keyword;
            else if (kind == CaptureKind::Terminal && line.contains(QLatin1Char('$')))
                colour = dark ? QColor(78, 201, 120) : QColor(0, 110, 40);
            if (kind == CaptureKind::Code)
                draw(left - 8 - metrics.horizontalAdvance(QString::number(i % text.size() + 1)), y,
                     QString::number(i % text.size() + 1), muted);
            draw(left + 8, y, line, colour);
            y += lineHeight;
        }
    }
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
