#include "AnalysisFixtures.h"

#include "enrichment/AnalysisImage.h"
#include "enrichment/FeaturePrint.h"
#include "enrichment/FeaturePrintStore.h"
#include "enrichment/ImageAnalysis.h"
#include "enrichment/Palette.h"
#include "enrichment/TextDetector.h"
#include "library/Palette.h"
#include "platform/TextRecognizer.h"

#include <QFile>
#include <QPainter>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <plist/plist.h>

using namespace vellora;

namespace {
QColor parse(const QString &hex) { return QColor(hex); }

bool near(const QColor &a, const QColor &b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}
} // namespace

class TestImageAnalysis : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void palette_data();
    void palette();
    void paletteOfUnreadableFile_data();
    void paletteOfUnreadableFile();
    void nearDuplicateIsNearest();
    void printEncoding();
    void printsOfOtherKindsAreNotCompared();
    void printSetQueries();
    void printsFileRoundTrip();
    void printsFileSkipsBadEntries();
    void printsFileWriteFailureKeepsOldFile();
    void labelsAndText_data();
    void labelsAndText();
    void analysisOfUnreadableFile();
    void paletteIsOfWhatIsSeen_data();
    void paletteIsOfWhatIsSeen();
    void transparentPictureIsReadAsItsTileShowsIt();
    void textDetection_data();
    void textDetection();
    void lookingFirstLosesNoText_data();
    void lookingFirstLosesNoText();

private:
    QString write(const QImage &image, const QString &name, int quality = 85);
    QTemporaryDir m_dir;
};

void TestImageAnalysis::initTestCase() { QVERIFY(m_dir.isValid()); }

QString TestImageAnalysis::write(const QImage &image, const QString &name, int quality)
{
    const QString path = m_dir.filePath(name);
    if (!fixtures::saveJpeg(image, path, quality))
        qFatal("cannot write fixture %s", qPrintable(path));
    return path;
}

void TestImageAnalysis::palette_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QStringList>("leading"); // expected first colours, heaviest first
    QTest::addColumn<int>("maximum");          // most entries the palette may hold

    QTest::newRow("two-colour split") << fixtures::twoColourSplit() << QStringList{"#1e64c8", "#f0a020"} << 2;
    QTest::newRow("split, heavier side right")
        << fixtures::twoColourSplit(QColor(0xf0, 0xa0, 0x20), QColor(0x1e, 0x64, 0xc8)).mirrored(true, false)
        << QStringList{"#f0a020", "#1e64c8"} << 2;
    QImage flat(400, 300, QImage::Format_RGB32);
    flat.fill(QColor(0x40, 0x80, 0x30));
    QTest::newRow("one flat colour") << flat << QStringList{"#408030"} << 1;
    QTest::newRow("grey gradient") << fixtures::greyPicture() << QStringList{} << 5;
    QTest::newRow("scene") << fixtures::scene(4) << QStringList{} << 5;
}

void TestImageAnalysis::palette()
{
    QFETCH(QImage, image);
    QFETCH(QStringList, leading);
    QFETCH(int, maximum);
    const QString path = write(image, QStringLiteral("palette-%1.jpg").arg(QTest::currentDataTag()).replace(' ', '-'));

    const std::optional<QStringList> palette = extractPalette(path, 5);
    QVERIFY(palette);
    QVERIFY2(!palette->isEmpty() && palette->size() <= maximum, qPrintable(palette->join(' ')));
    static const QRegularExpression form(QStringLiteral("^#[0-9a-f]{6}$"));
    for (const QString &colour : *palette)
        QVERIFY2(form.match(colour).hasMatch(), qPrintable(colour));
    for (int i = 0; i < leading.size(); ++i)
        QVERIFY2(near(parse(palette->at(i)), parse(leading.at(i)), 8), qPrintable(palette->join(' ')));
    if (QByteArray(QTest::currentDataTag()) == "grey gradient") {
        for (const QString &colour : *palette) {
            const QColor c = parse(colour);
            QVERIFY2(std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()}) <= 6,
                     qPrintable(colour));
        }
    }
    // Deterministic: the same file gives the same palette.
    QCOMPARE(extractPalette(path, 5), palette);
    // Fewer colours asked, fewer given, still heaviest first.
    const QStringList one = *extractPalette(path, 1);
    QCOMPARE(one.size(), 1);
}

void TestImageAnalysis::paletteOfUnreadableFile_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file at all
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("truncated jpeg") << QByteArray("\xff\xd8\xff\xe0\x00\x10JFIF", 10);
    QTest::newRow("not a picture") << QByteArray("hello");
}

void TestImageAnalysis::paletteOfUnreadableFile()
{
    QFETCH(QByteArray, content);
    const QString path = m_dir.filePath(QStringLiteral("unreadable-%1.jpg").arg(QTest::currentDataTag()).replace(' ', '-'));
    if (!content.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QVERIFY(!extractPalette(path, 5));
    QVERIFY(!featurePrintOfFile(path));
}

void TestImageAnalysis::nearDuplicateIsNearest()
{
    QList<FeaturePrint> prints;
    for (int seed = 1; seed <= 8; ++seed) {
        const auto print = featurePrintOfFile(write(fixtures::scene(seed), QStringLiteral("scene-%1.jpg").arg(seed)));
        QVERIFY(print);
        prints << *print;
    }
    // Seed 3 once more, scaled down and through a harsher encoder.
    const QString copyPath = write(fixtures::reencoded(fixtures::scene(3)), QStringLiteral("scene-3-copy.jpg"), 50);
    const auto copy = featurePrintOfFile(copyPath);
    QVERIFY(copy);
    QCOMPARE(copy->kind(), QString::fromLatin1(FeaturePrint::kVisualKind));

    QCOMPARE(*prints[2].distance(prints[2]), 0.0f);
    float nearest = std::numeric_limits<float>::max();
    int nearestIndex = -1;
    for (int i = 0; i < prints.size(); ++i) {
        const float d = *copy->distance(prints[i]);
        QVERIFY(d >= 0);
        if (d < nearest) {
            nearest = d;
            nearestIndex = i;
        }
    }
    QCOMPARE(nearestIndex, 2);
    // And clearly so: half the distance of the next best at most.
    for (int i = 0; i < prints.size(); ++i)
        if (i != 2)
            QVERIFY2(*copy->distance(prints[i]) > 2 * nearest,
                     qPrintable(QStringLiteral("%1 vs %2").arg(*copy->distance(prints[i])).arg(nearest)));
    // The same file always gives the same print.
    QCOMPARE(featurePrintOfFile(copyPath)->values(), copy->values());
}

void TestImageAnalysis::printEncoding()
{
    const FeaturePrint print = featurePrintOfImage(fixtures::scene(2));
    const FeaturePrint back = FeaturePrint::decode(print.encode());
    QVERIFY(!back.isNull());
    QCOMPARE(back.kind(), print.kind());
    QCOMPARE(back.version(), print.version());
    QCOMPARE(back.values(), print.values());
    QCOMPARE(*back.distance(print), 0.0f);

    const QByteArray good = print.encode();
    for (const QByteArray &bad : {QByteArray(), QByteArray("VFP1"), good.left(good.size() - 1), good + "x",
                                  QByteArray("XFP1") + good.mid(4)})
        QVERIFY(FeaturePrint::decode(bad).isNull());
}

void TestImageAnalysis::printsOfOtherKindsAreNotCompared()
{
    const FeaturePrint a(QStringLiteral("vellora.visual"), 1, {0.f, 1.f, 2.f});
    QVERIFY(a.distance(FeaturePrint(QStringLiteral("vellora.visual"), 1, {0.f, 1.f, 3.f})));
    QCOMPARE(*a.distance(FeaturePrint(QStringLiteral("vellora.visual"), 1, {3.f, 5.f, 2.f})), 5.0f);
    QVERIFY(!a.distance(FeaturePrint(QStringLiteral("vellora.visual"), 2, {0.f, 1.f, 2.f})));
    QVERIFY(!a.distance(FeaturePrint(QStringLiteral("onnx.embedding"), 1, {0.f, 1.f, 2.f})));
    QVERIFY(!a.distance(FeaturePrint(QStringLiteral("vellora.visual"), 1, {0.f, 1.f})));
    QVERIFY(!a.distance(FeaturePrint()));
}

void TestImageAnalysis::printSetQueries()
{
    FeaturePrints exact;
    for (int seed = 1; seed <= 6; ++seed)
        exact.insert(QStringLiteral("S%1").arg(seed), featurePrintOfImage(fixtures::scene(seed, QSize(320, 240))));
    exact.insert(QStringLiteral("copy"), featurePrintOfImage(fixtures::reencoded(fixtures::scene(2, QSize(320, 240)))));
    FeaturePrintSet set(exact);
    set.insert(QStringLiteral("other"), FeaturePrint(QStringLiteral("onnx.embedding"), 1, {1.f, 2.f}));
    QCOMPARE(set.size(), 8);

    // Packed distances agree with the exact ones, and so does their order.
    const DistanceTable table = set.distances(QStringLiteral("S2"));
    const QHash<QString, float> reference = featurePrintDistances(exact, QStringLiteral("S2"));
    QCOMPARE(table.size(), 7); // the other kind is left out, the item itself is in
    QVERIFY(!table.contains(QStringLiteral("other")));
    QCOMPARE(*table.value(QStringLiteral("S2")), 0.0f);
    for (auto it = reference.cbegin(); it != reference.cend(); ++it)
        QVERIFY2(std::abs(*table.value(it.key()) - it.value()) < 0.02f, qPrintable(it.key()));
    auto order = [](const QHash<QString, float> &d) {
        QStringList ids = d.keys();
        std::sort(ids.begin(), ids.end(), [&](const QString &a, const QString &b) { return d[a] < d[b]; });
        return ids;
    };
    QCOMPARE(order(table.toHash()), order(reference));
    QCOMPARE(order(table.toHash()).mid(0, 2), (QStringList{"S2", "copy"}));

    // A print of another kind finds only its own kind.
    QCOMPARE(set.distances(QStringLiteral("other")).toHash().keys(), QStringList{"other"});
    QVERIFY(set.distances(QStringLiteral("absent")).isEmpty());

    // Removing moves the last row into the gap; every id still finds its own print.
    set.remove(QStringLiteral("S1"));
    set.remove(QStringLiteral("absent"));
    set.insert(QStringLiteral("S3"), exact.value(QStringLiteral("S4"))); // replaced
    QCOMPARE(set.size(), 7);
    QVERIFY(!set.contains(QStringLiteral("S1")));
    QCOMPARE(*set.distances(QStringLiteral("S3")).value(QStringLiteral("S4")), 0.0f);
    for (const QString &id : {"S2", "S5", "S6", "copy"})
        QCOMPARE(*set.distances(id).value(id), 0.0f);
    QCOMPARE(*set.distances(QStringLiteral("copy")).value(QStringLiteral("S2")),
             *table.value(QStringLiteral("copy")));
    set.insert(QStringLiteral("S5"), FeaturePrint()); // a null print removes
    QVERIFY(!set.contains(QStringLiteral("S5")));
    QCOMPARE(set.all().size(), 6);
}

void TestImageAnalysis::printsFileRoundTrip()
{
    FeaturePrints prints;
    prints.insert(QStringLiteral("A1"), featurePrintOfImage(fixtures::scene(1)));
    prints.insert(QStringLiteral("B2"), featurePrintOfImage(fixtures::scene(2)));
    prints.insert(QStringLiteral("null"), FeaturePrint());
    const QString path = m_dir.filePath(QStringLiteral("deep/er/featureprints.bin"));
    QVERIFY(writeFeaturePrints(path, prints));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().startsWith("bplist00"));

    const FeaturePrints back = readFeaturePrints(path);
    QCOMPARE(back.size(), 2);
    QCOMPARE(back.value(QStringLiteral("A1")).values(), prints.value(QStringLiteral("A1")).values());
    QCOMPARE(back.value(QStringLiteral("B2")).values(), prints.value(QStringLiteral("B2")).values());
    // No temporary files are left beside it.
    QCOMPARE(QDir(m_dir.filePath(QStringLiteral("deep/er"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{"featureprints.bin"});
}

void TestImageAnalysis::printsFileSkipsBadEntries()
{
    const FeaturePrint good = featurePrintOfImage(fixtures::scene(5));
    plist_t root = plist_new_dict();
    const QByteArray data = good.encode();
    plist_dict_set_item(root, "good", plist_new_data(data.constData(), uint64_t(data.size())));
    plist_dict_set_item(root, "text", plist_new_string("not data"));
    plist_dict_set_item(root, "garbage", plist_new_data("abc", 3));
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    const FeaturePrints prints = decodeFeaturePrints(QByteArray(bytes, qsizetype(length)));
    plist_to_bin_free(bytes);
    plist_free(root);
    QCOMPARE(prints.keys(), QStringList{"good"});

    // A file that is no property list, or not a dictionary, loads as nothing.
    QVERIFY(decodeFeaturePrints("not a plist at all").isEmpty());
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_string("x"));
    bytes = nullptr;
    length = 0;
    plist_to_bin(array, &bytes, &length);
    QVERIFY(decodeFeaturePrints(QByteArray(bytes, qsizetype(length))).isEmpty());
    plist_to_bin_free(bytes);
    plist_free(array);
    QVERIFY(readFeaturePrints(m_dir.filePath(QStringLiteral("no-such.bin"))).isEmpty());
}

void TestImageAnalysis::printsFileWriteFailureKeepsOldFile()
{
    FeaturePrints prints;
    prints.insert(QStringLiteral("one"), featurePrintOfImage(fixtures::scene(6)));
    // Something that is not a file stands where the file should go: the
    // write fails, says so, and leaves neither its temporary file nor a
    // changed folder behind.
    const QString folder = m_dir.filePath(QStringLiteral("blocked"));
    const QString path = folder + QStringLiteral("/featureprints.bin");
    QVERIFY(QDir().mkpath(path + QStringLiteral("/inside")));
    QVERIFY(!writeFeaturePrints(path, prints));
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"featureprints.bin"});
    QVERIFY(QFileInfo(path).isDir());
    // A folder that cannot be made, since a file has its name.
    QFile plain(m_dir.filePath(QStringLiteral("plain-file")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QVERIFY(!writeFeaturePrints(plain.fileName() + QStringLiteral("/featureprints.bin"), prints));
}

void TestImageAnalysis::labelsAndText_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<QStringList>("words"); // words the text must hold

    QTest::newRow("card with printed words")
        << fixtures::wordCard({"MODERN CHAIR", "Walnut and oak", "Studio 1987"})
        << QStringList{"text"} << QStringList{"MODERN", "CHAIR", "Walnut", "oak", "Studio"};
    // Shape and tone are no labels: a picture nothing recognises has none.
    QTest::newRow("grey picture") << fixtures::greyPicture() << QStringList{} << QStringList{};
    QImage night(600, 900, QImage::Format_RGB32);
    night.fill(QColor(12, 14, 30));
    QTest::newRow("dark portrait") << night << QStringList{} << QStringList{};
    QTest::newRow("two-colour split") << fixtures::twoColourSplit() << QStringList{} << QStringList{};
    QImage stripes(900, 600, QImage::Format_RGB32);
    {
        QPainter p(&stripes);
        const QColor colours[] = {Qt::red, QColor(0, 180, 0), Qt::blue, Qt::yellow, QColor(200, 0, 200)};
        for (int i = 0; i < 5; ++i)
            p.fillRect(i * 180, 0, 180, 600, colours[i]);
    }
    QTest::newRow("colour stripes") << stripes << QStringList{} << QStringList{};
}

void TestImageAnalysis::labelsAndText()
{
    QFETCH(QImage, image);
    QFETCH(QStringList, labels);
    QFETCH(QStringList, words);
    if (!words.isEmpty() && !TextRecognizer::isAvailable())
        QFAIL("the text engine or its English data is missing");
    const QString path = write(image, QStringLiteral("labels-%1.jpg").arg(QTest::currentDataTag()).replace(' ', '-'));
    const std::optional<ImageAnalysis> analysis = analyzeImage(path);
    QVERIFY(analysis);
    QCOMPARE(analysis->labels, labels);
    for (const QString &word : words)
        QVERIFY2(analysis->text.contains(word), qPrintable(analysis->text));
    if (words.isEmpty())
        QVERIFY2(analysis->text.isEmpty(), qPrintable(analysis->text));
    else
        QCOMPARE(analysis->text.count(QLatin1Char('\n')), 2); // one line per printed line
}

void TestImageAnalysis::analysisOfUnreadableFile()
{
    QVERIFY(!analyzeImage(m_dir.filePath(QStringLiteral("absent.jpg"))));
}

namespace {
// A thumbnail as the import makes it: the window's grey through the
// transparent parts, at most 1024 pixels, JPEG.
QImage importedThumbnail(const QImage &picture)
{
    QImage flat(picture.size(), QImage::Format_RGB32);
    flat.fill(QColor(30, 30, 30));
    QPainter(&flat).drawImage(0, 0, picture);
    return fixtures::asThumbnail(flat);
}
} // namespace

// The palette is of what a person sees: the picture as its tile shows it,
// transparent parts on the window's grey, whether read from the thumbnail
// file or handed over decoded.
void TestImageAnalysis::paletteIsOfWhatIsSeen_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<bool>("asThumbnail"); // through a thumbnail file, else the decoded picture
    QTest::addColumn<QString>("leading");  // the heaviest colour, within a few units
    QImage shape(300, 300, QImage::Format_ARGB32);
    shape.fill(QColor(255, 255, 255, 0)); // colour channels white, as many tools leave them
    for (int y = 100; y < 200; ++y)
        for (int x = 0; x < 300; ++x)
            shape.setPixelColor(x, y, QColor(40, 40, 40));
    QTest::newRow("a shape on clear pixels") << shape << false << "#1e1e1e";
    QTest::newRow("a shape on clear pixels, its thumbnail") << shape << true << "#1e1e1e";
    QTest::newRow("swirls over a faint field") << fixtures::faintFieldUnderSwirls() << false << "#1e1e2a";
    QTest::newRow("swirls over a faint field, its thumbnail") << fixtures::faintFieldUnderSwirls() << true << "#1e1e2a";
    const QImage gulp(QStringLiteral("/usr/share/backgrounds/mate/abstract/Gulp.png"));
    if (!gulp.isNull())
        QTest::newRow("Gulp.png, its thumbnail") << gulp << true << QString();
}

void TestImageAnalysis::paletteIsOfWhatIsSeen()
{
    QFETCH(QImage, picture);
    QFETCH(bool, asThumbnail);
    QFETCH(QString, leading);
    QStringList palette;
    if (asThumbnail) {
        const std::optional<QStringList> read =
            extractPalette(write(importedThumbnail(picture), QStringLiteral("seen.jpg")), 5);
        QVERIFY(read);
        palette = *read;
    } else {
        palette = paletteFromImage(picture, 5);
    }
    QVERIFY(!palette.isEmpty());
    if (!leading.isEmpty())
        QVERIFY2(near(parse(palette.first()), parse(leading), 6), qPrintable(palette.join(u' ')));
    // The blue and magenta of the nearly clear pixels are seen by nobody.
    QVERIFY2(!paletteMatchesHue(palette, 240, 30) && !paletteMatchesHue(palette, 300, 30), qPrintable(palette.join(u' ')));
    QVERIFY(!palette.contains(QStringLiteral("#0000ff")) && !palette.contains(QStringLiteral("#ff00ff")));
}

// Words on a transparent card are read as the tile shows them, on the
// window's grey: light words that would vanish on white are found.
void TestImageAnalysis::transparentPictureIsReadAsItsTileShowsIt()
{
    QImage card(1024, 400, QImage::Format_ARGB32);
    card.fill(Qt::transparent);
    {
        QPainter p(&card);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(64);
        font.setBold(true);
        p.setFont(font);
        p.setPen(QColor(250, 250, 250));
        p.drawText(60, 150, QStringLiteral("MODERN CHAIR"));
        p.drawText(60, 270, QStringLiteral("Walnut and oak"));
    }
    const ImageAnalysis decoded = analyzeDecodedImage(card);
    QVERIFY2(decoded.text.contains("MODERN") && decoded.text.contains("Walnut"), qPrintable(decoded.text));
    const std::optional<ImageAnalysis> analysis = analyzeImage(write(importedThumbnail(card), QStringLiteral("card.jpg")));
    QVERIFY(analysis);
    QVERIFY2(analysis->text.contains("MODERN") && analysis->text.contains("Walnut"), qPrintable(analysis->text));
    QVERIFY(analysis->labels.contains("text"));
}

namespace {
QImage withText(QImage image, const QString &text, int pixels, QColor ink, QPoint at, int degrees = 0)
{
    QPainter p(&image);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixels);
    p.setFont(font);
    p.setPen(ink);
    p.translate(at);
    p.rotate(degrees);
    p.drawText(0, 0, text);
    return image;
}

QImage filled(QSize size, QColor colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}
} // namespace

void TestImageAnalysis::textDetection_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<bool>("likelyText");
    QTest::addColumn<bool>("featureless");

    // Text, as screenshots, cards and photographs carry it.
    QTest::newRow("screenshot, light, sans") << fixtures::textScreenshot(0) << true << false;
    QTest::newRow("screenshot, light, serif") << fixtures::textScreenshot(1) << true << false;
    QTest::newRow("screenshot, dark, mono") << fixtures::textScreenshot(2) << true << false;
    QTest::newRow("card with printed words")
        << fixtures::wordCard({"MODERN CHAIR", "Walnut and oak", "Studio 1987"}) << true << false;
    QTest::newRow("one short word") << fixtures::wordCard({"OK"}, QSize(1200, 300)) << true << false;
    QTest::newRow("letters a third of the picture high")
        << withText(filled(QSize(1024, 768), Qt::white), QStringLiteral("SALE"), 300, Qt::black, {40, 500}) << true
        << false;
    QTest::newRow("small caption on a photo")
        << withText(fixtures::scene(5), QStringLiteral("Photo by Ada Lovelace, 1843"), 11, Qt::white, {20, 740})
        << true << false;
    QTest::newRow("title set on its side")
        << withText(filled(QSize(640, 1024), Qt::white), QStringLiteral("Vertical spine title"), 30, Qt::black,
                    {300, 900}, -90)
        << true << false;
    QTest::newRow("faint placeholder")
        << withText(filled(QSize(1024, 640), Qt::white), QStringLiteral("Search your library"), 14,
                    QColor(190, 190, 190), {40, 100})
        << true << false;
    QTest::newRow("light words on dark")
        << withText(filled(QSize(900, 600), QColor(20, 20, 28)), QStringLiteral("Night mode settings"), 16,
                    QColor(220, 220, 220), {50, 300})
        << true << false;
    // Code, terminals and small print as people capture them: 11-13 px type,
    // the thumbnail a half or less of the capture.
    using fixtures::CaptureKind;
    struct Capture {
        const char *name;
        CaptureKind kind;
    };
    for (const Capture &capture : {Capture{"code", CaptureKind::Code}, Capture{"terminal", CaptureKind::Terminal},
                                   Capture{"small print", CaptureKind::SmallPrint}})
        for (bool dark : {false, true})
            for (const QSize size : {QSize(1920, 1080), QSize(2560, 1440)})
                QTest::addRow("%s, %s, %dx%d", capture.name, dark ? "dark" : "light", size.width(), size.height())
                    << fixtures::captureScreenshot(capture.kind, dark, size, 11, 3) << true << false;

    // Nothing for the text engine: the self-check's flat pictures, gradients,
    // soft shapes and large blocks of colour.
    QTest::newRow("self-check picture, small") << fixtures::selfCheckPicture(3) << false << true;
    QTest::newRow("self-check picture, large") << fixtures::asThumbnail(filled(QSize(1600, 1500), QColor(200, 30, 128)))
                                               << false << true;
    QTest::newRow("grey gradient") << fixtures::greyPicture() << false << true;
    QTest::newRow("dark portrait") << filled(QSize(600, 900), QColor(12, 14, 30)) << false << true;
    QTest::newRow("two-colour split") << fixtures::twoColourSplit() << false << false;
    QImage stripes(900, 600, QImage::Format_RGB32);
    {
        QPainter p(&stripes);
        const QColor colours[] = {Qt::red, QColor(0, 180, 0), Qt::blue, Qt::yellow, QColor(200, 0, 200)};
        for (int i = 0; i < 5; ++i)
            p.fillRect(i * 180, 0, 180, 600, colours[i]);
    }
    QTest::newRow("colour stripes") << stripes << false << false;
    for (int seed : {1, 2, 3, 8, 14})
        QTest::newRow(qPrintable(QStringLiteral("photo-like scene %1").arg(seed))) << fixtures::scene(seed) << false
                                                                                  << false;
    // A face-sized detail on a flat ground is detail all the same.
    QTest::newRow("small shape on a flat ground")
        << [] {
               QImage image = filled(QSize(1024, 768), QColor(120, 120, 120));
               QPainter p(&image);
               p.setBrush(QColor(90, 70, 60));
               p.drawEllipse(QPoint(500, 400), 14, 18);
               return image;
           }()
        << false << false;
    QTest::newRow("tiny picture") << filled(QSize(4, 4), Qt::white) << false << true;
    QTest::newRow("no picture") << QImage() << false << false;
}

void TestImageAnalysis::textDetection()
{
    QFETCH(QImage, image);
    QFETCH(bool, likelyText);
    QFETCH(bool, featureless);
    // As the analysis sees it: the import's thumbnail, through JPEG.
    QImage seen = image;
    if (!image.isNull()) {
        const std::optional<QImage> decoded = decodeAnalysisImage(
            write(fixtures::asThumbnail(image), QStringLiteral("detect-%1.jpg").arg(QTest::currentDataTag()).replace(' ', '-')),
            2048);
        QVERIFY(decoded);
        seen = *decoded;
    }
    const TextDetection look = detectText(seen);
    QCOMPARE(look.likelyText, likelyText);
    QCOMPARE(look.featureless, featureless);
}

// The look first changes nothing the text engine would have found: on
// pictures with text the analysis is the same with it and without.
void TestImageAnalysis::lookingFirstLosesNoText_data()
{
    QTest::addColumn<QImage>("image");
    QTest::newRow("screenshot") << fixtures::textScreenshot(4);
    QTest::newRow("card") << fixtures::wordCard({"Quarterly report", "Revenue grew strongly"});
    QTest::newRow("flat picture") << fixtures::selfCheckPicture(9);
}

void TestImageAnalysis::lookingFirstLosesNoText()
{
    QFETCH(QImage, image);
    if (!TextRecognizer::isAvailable())
        QFAIL("the text engine or its English data is missing");
    const QString path = write(fixtures::asThumbnail(image),
                               QStringLiteral("first-%1.jpg").arg(QTest::currentDataTag()).replace(' ', '-'));
    AnalysisSettings everything;
    everything.detectFirst = false;
    const std::optional<ImageAnalysis> plain = analyzeImage(path, everything);
    const std::optional<ImageAnalysis> looked = analyzeImage(path);
    QVERIFY(plain && looked);
    QCOMPARE(looked->text, plain->text);
    QCOMPARE(looked->labels, plain->labels);
}

QTEST_MAIN(TestImageAnalysis)
#include "tst_imageanalysis.moc"
