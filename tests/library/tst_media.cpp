// Making image items from picture files, covers, stored images and exports,
// on temporary library folders.

#include <QDir>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

#include "HeifFixture.h"
#include "PictureFixtures.h"
#include "library/Media.h"
#include "library/MediaImport.h"
#include "platform/ImageIO.h"

using namespace vellora;

namespace {
// An empty library folder with its four media folders.
struct LibraryFolder {
    QTemporaryDir dir;
    LibraryFolder()
    {
        for (const char *sub : {"originals", "thumbnails", "covers", "favicons"})
            QDir(dir.path()).mkpath(QString::fromLatin1(sub));
    }
    QString root() const { return dir.path(); }
    QStringList files(const char *folder) const
    {
        return QDir(root() + QLatin1Char('/') + QLatin1String(folder)).entryList(QDir::Files, QDir::Name);
    }
};

QString sha256sum(const QString &path)
{
    QProcess tool;
    tool.start(QStringLiteral("sha256sum"), {path});
    tool.waitForFinished();
    return QString::fromLatin1(tool.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0);
}

QSize imageSize(const QString &path)
{
    const QImage image(path);
    return image.isNull() ? QSize() : image.size();
}

struct Collected {
    QMutex mutex;
    QList<QList<Item>> batches;
    std::function<void(QList<Item>)> sink()
    {
        return [this](QList<Item> batch) {
            QMutexLocker locker(&mutex);
            batches.append(batch);
        };
    }
    QList<Item> all() const
    {
        QList<Item> items;
        for (const auto &b : batches)
            items += b;
        return items;
    }
};
} // namespace

class TestMedia : public QObject {
    Q_OBJECT
private slots:
    void capLabel_data();
    void capLabel();
    void safeNames_data();
    void safeNames();
    void importsAFixtureSet();
    void storedNamesTakeTheExtension_data();
    void storedNamesTakeTheExtension();
    void importsHeic();
    void knownContentIsNotImportedAgain();
    void batchesOfAHundred();
    void failedWriteWithdrawsTheHash();
    void coverFromThumbnail();
    void storesAnImageForALink();
    void exportsAPrivateCopy();
    void transparentPartsShowTheWindowGrey();
};

void TestMedia::capLabel_data()
{
    QTest::addColumn<qint64>("megabytes");
    QTest::addColumn<QString>("label");
    QTest::newRow("0") << qint64(0) << "Unlimited";
    QTest::newRow("1") << qint64(1) << "1 MB";
    QTest::newRow("500") << qint64(500) << "500 MB";
    QTest::newRow("999") << qint64(999) << "999 MB";
    QTest::newRow("1000") << qint64(1000) << "1 GB";
    QTest::newRow("1999") << qint64(1999) << "1 GB";
    QTest::newRow("2500") << qint64(2500) << "2 GB";
    QTest::newRow("20000") << qint64(20000) << "20 GB";
}

void TestMedia::capLabel()
{
    QFETCH(qint64, megabytes);
    QFETCH(QString, label);
    QCOMPARE(storageCapLabel(megabytes), label);
}

void TestMedia::safeNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    QTest::newRow("stored name") << "E621E1F8-C36C-495A-93FC-0C247A3E6E5F.png" << true;
    QTest::newRow("spaces and unicode") << "Café menu (1).jpg" << true;
    QTest::newRow("hidden file") << ".thumb" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("parent path") << "../library.json" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("sub folder") << "a/b.png" << false;
    QTest::newRow("backslash") << "..\\x.png" << false;
    QTest::newRow("nul") << QString("a") + QChar(0) + "b" << false;
    QTest::newRow("too long") << QString(256, QLatin1Char('x')) << false;
}

void TestMedia::safeNames()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(originalPath("/lib", name).isEmpty(), !safe);
}

void TestMedia::importsAFixtureSet()
{
    LibraryFolder library;
    QTemporaryDir src;
    const QString png = src.filePath("diagram.png");
    const QString photo = src.filePath("camera.jpg");
    const QString copy = src.filePath("copy of diagram.png");
    const QString damaged = src.filePath("broken.png");
    const QString text = src.filePath("notes.png");
    QVERIFY(fixtures::writeFile(png, encodePNG(fixtures::quadrants(1600, 400))));
    QVERIFY(fixtures::writeFile(photo, fixtures::jpegWithOrientation(fixtures::quadrants(4000, 3000), 6)));
    QVERIFY(QFile::copy(png, copy));
    QVERIFY(fixtures::writeFile(damaged, fixtures::damagedPNG()));
    QVERIFY(fixtures::writeFile(text, "not a picture at all\n"));

    Collected collected;
    const auto result = importInParallel(library.root(), {png, photo, copy, damaged, text}, "BOARD", {}, 100,
                                         collected.sink());
    QCOMPARE(result.added, 2);
    QCOMPARE(result.duplicates, 1);
    QCOMPARE(result.skipped, 2);
    const QList<Item> items = collected.all();
    QCOMPARE(items.size(), 2);

    QHash<QString, Item> byName;
    for (const Item &item : items)
        byName.insert(item.originalFilename, item);
    // Whichever of the two identical files came first, its content is in once.
    const QString pngName = byName.contains("diagram.png") ? "diagram.png" : "copy of diagram.png";
    QVERIFY(byName.contains(pngName));
    QVERIFY(byName.contains("camera.jpg"));

    const Item &rotated = byName["camera.jpg"];
    QCOMPARE(rotated.pixelWidth, 3000);
    QCOMPARE(rotated.pixelHeight, 4000);
    QCOMPARE(imageSize(thumbnailPath(library.root(), rotated.thumbnailFilename)), QSize(768, 1024));
    QCOMPARE(rotated.contentHash, sha256sum(photo));

    const Item &flat = byName[pngName];
    QCOMPARE(flat.pixelWidth, 1600);
    QCOMPARE(flat.pixelHeight, 400);
    QCOMPARE(imageSize(thumbnailPath(library.root(), flat.thumbnailFilename)), QSize(1024, 256));
    QCOMPARE(flat.contentHash, sha256sum(png));

    for (const Item &item : items) {
        QCOMPARE(item.kind, "image");
        QCOMPARE(item.collectionIds, QStringList{"BOARD"});
        QCOMPARE(item.thumbnailFilename, item.id + ".jpg");
        QVERIFY(item.storedFilename.startsWith(item.id + "."));
        QVERIFY(!item.sourceURL && !item.title && !item.trashedAt);
        // The original is the imported bytes unchanged.
        const QString original = originalPath(library.root(), item.storedFilename);
        QCOMPARE(sha256sum(original), item.contentHash);
        QCOMPARE(item.fileSize.value_or(-1), QFileInfo(original).size());
        const QSize cover = imageSize(coverPath(library.root(), item.thumbnailFilename));
        QVERIFY(cover.isValid());
        QVERIFY(std::max(cover.width(), cover.height()) <= 256);
        QVERIFY(item.dateAdded > 0 && item.dateCreated > 0);
    }
    // Nothing was written for the files that were skipped.
    QCOMPARE(library.files("originals").size(), 2);
    QCOMPARE(library.files("thumbnails").size(), 2);
    QCOMPARE(library.files("covers").size(), 2);
}

void TestMedia::storedNamesTakeTheExtension_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("extension");
    QTest::newRow("upper case") << "Photo.JPG" << "jpg";
    QTest::newRow("no extension") << "Photo" << "png";
    QTest::newRow("trailing dot") << "Photo." << "png";
    QTest::newRow("two dots") << "shot.final.jpeg" << "jpeg";
    QTest::newRow("jpeg named png") << "really a jpeg.png" << "png";
}

void TestMedia::storedNamesTakeTheExtension()
{
    QFETCH(QString, fileName);
    QFETCH(QString, extension);
    LibraryFolder library;
    QTemporaryDir src;
    const QString path = src.filePath(fileName);
    QVERIFY(fixtures::writeFile(path, encodeJPEG(fixtures::quadrants(40, 30), 0.9)));
    Collected collected;
    QCOMPARE(importInParallel(library.root(), {path}, "B", {}, 0, collected.sink()).added, 1);
    const Item item = collected.all().value(0);
    QCOMPARE(item.storedFilename, item.id + "." + extension);
    QCOMPARE(item.originalFilename, fileName);
    QVERIFY(QFile::exists(originalPath(library.root(), item.storedFilename)));
}

void TestMedia::importsHeic()
{
    const QByteArray heic = fixtures::heicOf(fixtures::quadrants(1400, 700));
    if (heic.isEmpty())
        QSKIP("libheif has no HEVC encoder here");
    LibraryFolder library;
    QTemporaryDir src;
    const QString path = src.filePath("IMG_0001.HEIC");
    QVERIFY(fixtures::writeFile(path, heic));
    Collected collected;
    QCOMPARE(importInParallel(library.root(), {path}, "B", {}, 0, collected.sink()).added, 1);
    const Item item = collected.all().value(0);
    QCOMPARE(item.storedFilename, item.id + ".heic");
    QCOMPARE(item.pixelWidth, 1400);
    QCOMPARE(item.pixelHeight, 700);
    QCOMPARE(imageSize(thumbnailPath(library.root(), item.thumbnailFilename)), QSize(1024, 512));
    QCOMPARE(imageSize(coverPath(library.root(), item.thumbnailFilename)), QSize(256, 128));
}

void TestMedia::knownContentIsNotImportedAgain()
{
    LibraryFolder library;
    QTemporaryDir src;
    const QString path = src.filePath("a.png");
    QVERIFY(fixtures::writeFile(path, encodePNG(fixtures::quadrants(50, 50))));
    Collected first;
    QCOMPARE(importInParallel(library.root(), {path}, "B", {}, 0, first.sink()).added, 1);
    // The library's hashes (trashed items' included) are the caller's to give.
    const QSet<QString> known{first.all().value(0).contentHash};
    Collected second;
    const auto result = importInParallel(library.root(), {path, path}, "B", known, 0, second.sink());
    QCOMPARE(result.added, 0);
    QCOMPARE(result.duplicates, 2);
    QVERIFY(second.all().isEmpty());
    QCOMPARE(library.files("originals").size(), 1);
}

void TestMedia::batchesOfAHundred()
{
    LibraryFolder library;
    QTemporaryDir src;
    QStringList files;
    for (int i = 0; i < 250; ++i) {
        const QString path = src.filePath(QString("img%1.png").arg(i));
        QVERIFY(fixtures::writeFile(path, encodePNG(fixtures::flatTestImage(i, 24, 16))));
        files << path;
    }
    Collected collected;
    const auto result = importInParallel(library.root(), files, "B", {}, 100, collected.sink());
    QCOMPARE(result.added, 250);
    QList<int> sizes;
    for (const auto &batch : collected.batches)
        sizes << int(batch.size());
    QCOMPARE(sizes, (QList<int>{100, 100, 50}));
    QSet<QString> ids;
    for (const Item &item : collected.all())
        ids.insert(item.id);
    QCOMPARE(ids.size(), 250);
}

void TestMedia::failedWriteWithdrawsTheHash()
{
    LibraryFolder library;
    QTemporaryDir src;
    const QString path = src.filePath("a.png");
    const QString twin = src.filePath("b.png");
    QVERIFY(fixtures::writeFile(path, encodePNG(fixtures::quadrants(50, 50))));
    QVERIFY(QFile::copy(path, twin));
    // Covers cannot be written: a file stands where the folder should be.
    const QString covers = library.root() + "/covers";
    QVERIFY(QDir(covers).removeRecursively());
    QVERIFY(fixtures::writeFile(covers, "in the way"));

    QSet<QString> admitted;
    ContentAdmission admission;
    admission.admit = [&](const QString &h) {
        if (admitted.contains(h))
            return false;
        admitted.insert(h);
        return true;
    };
    admission.withdraw = [&](const QString &h) { admitted.remove(h); };
    QVERIFY(!makeItem(library.root(), path, "B", admission));
    QVERIFY(admitted.isEmpty());
    QVERIFY(library.files("originals").isEmpty());
    QVERIFY(library.files("thumbnails").isEmpty());

    // With the folder back, the same content still comes in.
    QVERIFY(QFile::remove(covers));
    QVERIFY(QDir(library.root()).mkdir("covers"));
    const auto item = makeItem(library.root(), twin, "B", admission);
    QVERIFY(item.has_value());
    QCOMPARE(admitted.size(), 1);
}

void TestMedia::coverFromThumbnail()
{
    LibraryFolder library;
    const QString name = "T.jpg";
    QVERIFY(!writeCover(library.root(), name)); // no thumbnail yet
    QVERIFY(fixtures::writeFile(thumbnailPath(library.root(), name), encodeJPEG(fixtures::quadrants(1024, 600), 0.85)));
    QVERIFY(writeCover(library.root(), name));
    QCOMPARE(imageSize(coverPath(library.root(), name)), QSize(256, 150));
    QVERIFY(!writeCover(library.root(), "../T.jpg"));
}

void TestMedia::storesAnImageForALink()
{
    LibraryFolder library;
    Item item;
    item.id = "LINK";
    item.kind = "link";
    item.storedFilename = "LINK.png";
    item.thumbnailFilename = "LINK.jpg";
    const auto stored = storeImage(library.root(), fixtures::quadrants(1280, 2000), item);
    QVERIFY(stored.has_value());
    QCOMPARE(stored->pixelWidth, 1280);
    QCOMPARE(stored->pixelHeight, 2000);
    const QString original = originalPath(library.root(), "LINK.png");
    QCOMPARE(stored->fileSize, QFileInfo(original).size());
    QCOMPARE(imageSize(original), QSize(1280, 2000));
    QCOMPARE(imageSize(thumbnailPath(library.root(), "LINK.jpg")), QSize(655, 1024));
    QCOMPARE(imageSize(coverPath(library.root(), "LINK.jpg")), QSize(164, 256));

    Item unsafe = item;
    unsafe.storedFilename = "../../outside.png";
    QVERIFY(!storeImage(library.root(), fixtures::quadrants(10, 10), unsafe));
    QVERIFY(!storeImage(library.root(), QImage(), item));
}

void TestMedia::exportsAPrivateCopy()
{
    LibraryFolder library;
    QTemporaryDir src;
    const QString path = src.filePath("Poster.JPG");
    QVERIFY(fixtures::writeFile(path, encodeJPEG(fixtures::quadrants(60, 40), 0.9)));
    Collected collected;
    importInParallel(library.root(), {path}, "B", {}, 0, collected.sink());
    const Item item = collected.all().value(0);

    const auto first = exportFile(library.root(), item);
    QVERIFY(first.has_value());
    QCOMPARE(*first, QDir::tempPath() + "/Vellora/" + item.id + "/Poster.JPG");
    QCOMPARE(exportFile(library.root(), item), first);
    QCOMPARE(QDir(QFileInfo(*first).path()).entryList(QDir::Files), QStringList{"Poster.JPG"});
    QCOMPARE(sha256sum(*first), item.contentHash);
    // Not the library's own file under another name.
    struct stat original {}, exported {};
    QCOMPARE(::stat(QFile::encodeName(originalPath(library.root(), item.storedFilename)).constData(), &original), 0);
    QCOMPARE(::stat(QFile::encodeName(*first).constData(), &exported), 0);
    QVERIFY(original.st_ino != exported.st_ino);
    QCOMPARE(original.st_nlink, nlink_t(1));
    QDir(QFileInfo(*first).path()).removeRecursively();

    Item unsafe = item;
    unsafe.originalFilename = "../escape.jpg";
    QVERIFY(!exportFile(library.root(), unsafe));
}

// A picture whose left half is fully transparent (its colour channels white)
// and whose right half is opaque red: the thumbnail and the cover show the
// window's grey through the transparent half, imported or stored.
void TestMedia::transparentPartsShowTheWindowGrey()
{
    QImage picture(400, 200, QImage::Format_ARGB32);
    picture.fill(QColor(255, 255, 255, 0));
    for (int y = 0; y < 200; ++y)
        for (int x = 200; x < 400; ++x)
            picture.setPixelColor(x, y, QColor(220, 30, 30));
    LibraryFolder library;
    const QString file = library.dir.filePath("clear.png");
    QVERIFY(picture.save(file));
    const ContentAdmission admission{[](const QString &) { return true; }, {}};
    const auto item = makeItem(library.root(), file, "B", admission);
    QVERIFY(item);
    Item link;
    link.id = "LINK";
    link.storedFilename = "LINK.png";
    link.thumbnailFilename = "LINK.jpg";
    QVERIFY(storeImage(library.root(), picture, link));

    const QColor grey = QColor::fromRgb(kDisplayBackground);
    for (const QString &made : {thumbnailPath(library.root(), item->thumbnailFilename), coverPath(library.root(), item->thumbnailFilename),
                                thumbnailPath(library.root(), "LINK.jpg"), coverPath(library.root(), "LINK.jpg")}) {
        const QImage shown(made);
        QVERIFY2(!shown.isNull(), qPrintable(made));
        const QColor clear = shown.pixelColor(shown.width() / 4, shown.height() / 2);
        const QColor red = shown.pixelColor(shown.width() * 3 / 4, shown.height() / 2);
        QVERIFY2(std::abs(clear.red() - grey.red()) <= 6 && std::abs(clear.blue() - grey.blue()) <= 6,
                 qPrintable(made + " " + clear.name()));
        QVERIFY2(red.red() > 190 && red.green() < 70, qPrintable(made + " " + red.name()));
    }
    // The original keeps its transparency.
    QVERIFY(QImage(originalPath(library.root(), item->storedFilename)).hasAlphaChannel());
}

QTEST_GUILESS_MAIN(TestMedia)
#include "tst_media.moc"
