// Picture decoding, encoding, digests and file copies on temporary folders.

#include <QBuffer>
#include <QDateTime>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "HeifFixture.h"
#include "PictureFixtures.h"
#include "platform/AtomicFile.h"
#include "platform/Digest.h"
#include "platform/FileCopy.h"
#include "platform/ImageIO.h"

using namespace vellora;

namespace {
QColor colourAt(const QImage &image, double fx, double fy)
{
    return image.pixelColor(int(fx * (image.width() - 1)), int(fy * (image.height() - 1)));
}

bool near(const QColor &a, QColor b)
{
    return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40
        && std::abs(a.blue() - b.blue()) < 40;
}

} // namespace

class TestMediaPlatform : public QObject {
    Q_OBJECT
private slots:
    void digestKnownValues_data();
    void digestKnownValues();
    void digestOfFileMatchesSha256sum();
    void infoReadsTheHeader_data();
    void infoReadsTheHeader();
    void downsampledAppliesOrientation_data();
    void downsampledAppliesOrientation();
    void downsampledDoesNotDecodeLargeJpegFully();
    void heicDecodes();
    void encodersRoundTrip();
    void writeReplacesWhole_data();
    void writeReplacesWhole();
    void failedWriteKeepsOldContent();
    void writeCutShortIsSwept();
    void cloneIsIndependentOfItsSource();
};

void TestMediaPlatform::digestKnownValues_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("hex");
    QTest::newRow("empty") << QByteArray()
                           << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    QTest::newRow("abc") << QByteArray("abc")
                         << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    QTest::newRow("two blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                << "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
}

void TestMediaPlatform::digestKnownValues()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, hex);
    const QByteArray digest = sha256(input);
    QCOMPARE(digest.size(), 32);
    QCOMPARE(sha256Hex(digest), hex);
}

void TestMediaPlatform::digestOfFileMatchesSha256sum()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("noise.bin");
    QByteArray bytes;
    for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i)
        bytes.append(char((i * 2654435761u) >> 24));
    QVERIFY(fixtures::writeFile(path, bytes));
    QProcess tool;
    tool.start("sha256sum", {path});
    QVERIFY(tool.waitForFinished());
    const QString expected = QString::fromLatin1(tool.readAllStandardOutput()).section(' ', 0, 0);
    QCOMPARE(sha256Hex(sha256(bytes)), expected);
    QCOMPARE(sha256Hex(*sha256OfFile(path)), expected);
    QVERIFY(!sha256OfFile(dir.filePath("missing")).has_value());
}

void TestMediaPlatform::infoReadsTheHeader_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QSize>("shown");
    const QImage q = fixtures::quadrants(400, 300);
    QTest::newRow("png") << encodePNG(q) << true << QSize(400, 300) << 1 << QSize(400, 300);
    QTest::newRow("jpeg") << encodeJPEG(q, 0.8) << true << QSize(400, 300) << 1 << QSize(400, 300);
    for (int o : {3, 5, 6, 8})
        QTest::addRow("jpeg orientation %d", o)
            << fixtures::jpegWithOrientation(q, o) << true << QSize(400, 300) << o
            << (o >= 5 ? QSize(300, 400) : QSize(400, 300));
    QTest::newRow("text") << QByteArray("just some words\n") << false << QSize() << 0 << QSize();
    QTest::newRow("empty") << QByteArray() << false << QSize() << 0 << QSize();
}

void TestMediaPlatform::infoReadsTheHeader()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    const auto info = imageInfo(bytes);
    QCOMPARE(info.has_value(), valid);
    if (!valid)
        return;
    QFETCH(QSize, stored);
    QFETCH(int, orientation);
    QFETCH(QSize, shown);
    QCOMPARE(QSize(info->pixelWidth, info->pixelHeight), stored);
    QCOMPARE(info->orientation, orientation);
    QCOMPARE(QSize(info->displayedWidth(), info->displayedHeight()), shown);
}

void TestMediaPlatform::downsampledAppliesOrientation_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<double>("maxSize");
    QTest::addColumn<QSize>("size");
    // Where the stored top-left (red) quadrant ends up, as fractions of the result.
    QTest::addColumn<QPointF>("red");
    QTest::newRow("upright, smaller") << 1 << 1024.0 << QSize(1000, 750) << QPointF(0.2, 0.2);
    QTest::newRow("upright, halved") << 1 << 500.0 << QSize(500, 375) << QPointF(0.2, 0.2);
    QTest::newRow("rotated 180") << 3 << 500.0 << QSize(500, 375) << QPointF(0.8, 0.8);
    QTest::newRow("orientation 6") << 6 << 400.0 << QSize(300, 400) << QPointF(0.8, 0.2);
    QTest::newRow("orientation 8") << 8 << 400.0 << QSize(300, 400) << QPointF(0.2, 0.8);
}

void TestMediaPlatform::downsampledAppliesOrientation()
{
    QFETCH(int, orientation);
    QFETCH(double, maxSize);
    QFETCH(QSize, size);
    QFETCH(QPointF, red);
    QTemporaryDir dir;
    const QString path = dir.filePath("p.jpg");
    QVERIFY(fixtures::writeFile(path, fixtures::jpegWithOrientation(fixtures::quadrants(1000, 750), orientation)));
    const QImage image = downsampledImage(path, maxSize);
    QCOMPARE(image.size(), size);
    QVERIFY2(near(colourAt(image, red.x(), red.y()), Qt::red), "the picture is turned the wrong way");
}

void TestMediaPlatform::downsampledDoesNotDecodeLargeJpegFully()
{
    // A camera-sized photo with orientation 6: 768 x 1024 as shown. With the
    // allocation limit far below a full decode (48 MB), only the decoder's own
    // scaling gets there.
    const QByteArray jpeg = fixtures::jpegWithOrientation(fixtures::quadrants(4000, 3000), 6);
    const int previous = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(16);
    const QImage image = downsampledImage(jpeg, 1024);
    QImageReader::setAllocationLimit(previous);
    QCOMPARE(image.size(), QSize(768, 1024));
    QVERIFY(near(colourAt(image, 0.8, 0.2), Qt::red));
}

void TestMediaPlatform::heicDecodes()
{
    const QByteArray heic = fixtures::heicOf(fixtures::quadrants(320, 240));
    if (heic.isEmpty())
        QSKIP("libheif has no HEVC encoder here");
    const auto info = imageInfo(heic);
    QVERIFY(info.has_value());
    QCOMPARE(QSize(info->pixelWidth, info->pixelHeight), QSize(320, 240));
    const QImage image = downsampledImage(heic, 160);
    QCOMPARE(image.size(), QSize(160, 120));
    QVERIFY(near(colourAt(image, 0.2, 0.2), Qt::red));
    QVERIFY(near(colourAt(image, 0.8, 0.8), Qt::white));
}

void TestMediaPlatform::encodersRoundTrip()
{
    const QImage q = fixtures::quadrants(64, 48);
    const QByteArray jpeg = encodeJPEG(q, 0.85);
    QVERIFY(jpeg.startsWith("\xff\xd8"));
    const QByteArray png = encodePNG(q);
    QVERIFY(png.startsWith("\x89PNG"));
    QCOMPARE(QImage::fromData(png).convertToFormat(QImage::Format_RGB32), q);
    // Lower quality gives fewer bytes for the same picture.
    QVERIFY(encodeJPEG(fixtures::quadrants(640, 480), 0.3).size() < encodeJPEG(fixtures::quadrants(640, 480), 0.95).size());
    // Transparent areas flatten onto white, not black.
    QImage clear(16, 16, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    QVERIFY(near(QImage::fromData(encodeJPEG(clear, 0.9)).pixelColor(8, 8), Qt::white));
    QVERIFY(encodeJPEG(QImage(), 0.8).isEmpty());
}

namespace {
QStringList everything(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

int modeOf(const QString &path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}
} // namespace

void TestMediaPlatform::writeReplacesWhole_data()
{
    QTest::addColumn<int>("durability");
    QTest::newRow("atomic") << int(Durability::Atomic);
    QTest::newRow("synced") << int(Durability::Synced);
    QTest::newRow("durable") << int(Durability::Durable);
}

void TestMediaPlatform::writeReplacesWhole()
{
    QFETCH(int, durability);
    QTemporaryDir dir;
    const QString path = dir.filePath("a.jpg");
    writeFileAtomically(path, "first", Durability(durability));
    QCOMPARE(modeOf(path), 0644);
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0600) == 0);
    writeFileAtomically(path, "second", Durability(durability));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("second"));
    // The replaced file's permissions carry over; no temporary, hidden or not, stays.
    QCOMPARE(modeOf(path), 0600);
    QCOMPARE(everything(dir.path()), QStringList{"a.jpg"});
}

void TestMediaPlatform::failedWriteKeepsOldContent()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.jpg");
    writeFileAtomically(path, "old");
    try {
        writeFileAtomically(dir.filePath("nowhere/a.jpg"), "x");
        QFAIL("a write into a missing folder succeeded");
    } catch (const FileError &error) {
        QCOMPARE(error.code(), ENOENT);
        QVERIFY(!error.description().isEmpty());
    }
    // A producer or a fill that fails part-way: the old bytes stay, nothing else.
    const ByteProducer halfThenFail = [](const ByteSink &write) {
        write("half");
        throw std::runtime_error("gave up");
    };
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, writeFileAtomically(path, halfThenFail, -1));
    QVERIFY_THROWS_EXCEPTION(FileError, writeFileAtomicallyThrough(path, [](int fd) {
        QVERIFY(::write(fd, "half", 4) == 4);
        throw FileError("copy failed", EIO);
    }));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("old"));
    QCOMPARE(everything(dir.path()), QStringList{"a.jpg"});
}

// What a write cut short leaves behind is what the sweep removes: the
// temporary of a write in progress carries a name the sweep knows, and once
// it is swept the write fails instead of putting a missing file in place.
void TestMediaPlatform::writeCutShortIsSwept()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("library.json");
    writeFileAtomically(path, "old");
    QStringList seen;
    bool recognised = false;
    int swept = -1;
    int sweptYoung = -1;
    const ByteProducer sweepMidway = [&](const ByteSink &write) {
        write("partial");
        seen = everything(dir.path());
        seen.removeOne("library.json");
        if (seen.size() != 1)
            return;
        recognised = isAbandonedTemporaryName(seen.first());
        sweptYoung = removeAbandonedTemporaries(path, 3600);
        QFile temporary(dir.filePath(seen.first()));
        if (temporary.open(QIODevice::ReadWrite)
            && temporary.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-7200), QFileDevice::FileModificationTime))
            swept = removeAbandonedTemporaries(path, 3600);
    };
    QVERIFY_THROWS_EXCEPTION(FileError, writeFileAtomically(path, sweepMidway, -1));
    QCOMPARE(seen.size(), 1);
    QVERIFY2(seen.first().startsWith('.'), qPrintable(seen.first()));
    QVERIFY2(recognised, qPrintable(seen.first()));
    QCOMPARE(sweptYoung, 0);
    QCOMPARE(swept, 1);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("old"));
    QCOMPARE(everything(dir.path()), QStringList{"library.json"});
}

void TestMediaPlatform::cloneIsIndependentOfItsSource()
{
    QTemporaryDir dir;
    const QString source = dir.filePath("original.png");
    const QString copy = dir.filePath("export.png");
    QVERIFY(fixtures::writeFile(source, "library bytes"));
    QVERIFY(cloneOrCopyFile(source, copy));
    struct stat a {}, b {};
    QCOMPARE(::stat(QFile::encodeName(source).constData(), &a), 0);
    QCOMPARE(::stat(QFile::encodeName(copy).constData(), &b), 0);
    QVERIFY(a.st_ino != b.st_ino);
    QCOMPARE(a.st_nlink, nlink_t(1));
    // An editor saving in place changes the export only.
    {
        QFile f(copy);
        QVERIFY(f.open(QIODevice::ReadWrite));
        f.write("edited");
    }
    QFile original(source);
    QVERIFY(original.open(QIODevice::ReadOnly));
    QCOMPARE(original.readAll(), QByteArray("library bytes"));
    // The target must not exist yet; a missing source fails cleanly.
    QVERIFY(!cloneOrCopyFile(source, copy));
    QVERIFY(!cloneOrCopyFile(dir.filePath("missing"), dir.filePath("other")));
    QVERIFY(!QFile::exists(dir.filePath("other")));
}

QTEST_GUILESS_MAIN(TestMediaPlatform)
#include "tst_mediaplatform.moc"
