// The store's media operations end to end on temporary library folders: file
// import on and off the main thread, export, the passes after a load
// (storage cap, cover back-fill, thumbnail downloads) and the import of an
// older library folder.

#include "ConsoleCapture.h"
#include "FakeUbiquity.h"
#include "ScopedUbiquity.h"
#include "SeamGuard.h"

#include <QDir>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <sys/stat.h>

#include <atomic>
#include <optional>
#include <thread>

#include "PictureFixtures.h"
#include "library/LibraryLocation.h"
#include "library/LibraryStoreMedia.h"
#include "library/Media.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/ImageIO.h"
#include "platform/Places.h"
#include "platform/Ubiquity.h"

using namespace vellora;

namespace {

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

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

// The log lines of the media passes, collected from any thread.
class LogCapture {
public:
    LogCapture()
    {
        s_self = this;
        m_previous = qInstallMessageHandler(handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_self = nullptr;
    }
    QStringList lines(const QString &prefix) const
    {
        QMutexLocker locker(&m_mutex);
        QStringList matching;
        for (const QString &line : m_lines)
            if (line.startsWith(prefix))
                matching << line;
        return matching;
    }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        if (LogCapture *self = s_self) {
            QMutexLocker locker(&self->m_mutex);
            self->m_lines << message;
        }
    }
    static inline LogCapture *s_self = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_lines;
};

void waitForPasses()
{
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
}

QStringList makePictures(const QString &folder, int count, int offset = 0)
{
    QStringList files;
    for (int i = 0; i < count; ++i) {
        const QString path = folder + QStringLiteral("/img%1.png").arg(offset + i);
        fixtures::writeFile(path, encodePNG(fixtures::flatTestImage(offset + i, 30 + i % 7, 20)));
        files << path;
    }
    return files;
}

} // namespace

class TestMediaStore : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::optional<SeamGuard> m_seams;
    QString base() const { return m_dir->path(); }

private slots:
    void initTestCase() { installMediaServices(); }
    void init()
    {
        m_seams.emplace();
        m_dir = std::make_unique<QTemporaryDir>();
        QDir().mkpath(base() + "/Sync");
        QDir().mkpath(base() + "/src");
        Defaults::standard().set(QString::fromLatin1(kSyncedFolderKey), base() + "/Sync");
    }
    void cleanup()
    {
        waitForPasses();
        Defaults::standard().remove(QString::fromLatin1(kSyncedFolderKey));
        Defaults::standard().remove("localStorageCapMB");
        m_dir.reset();
        m_seams.reset();
    }

    void importOnTheMainThreadSavesAtOnce();
    void importOffTheMainThreadInBatches();
    void importFilesCountsWhileRunning();
    void exportURLs();
    void storageCapEvictsLeastRecentlyOpened();
    void storageCapOnlyForCloudLibraries_data();
    void storageCapOnlyForCloudLibraries();
    void prefetchCountsDownloads();
    void coversComeBackAfterALoad();
    void importsAnOlderLibraryFolder();
    void olderLibraryWithoutDocument();
};

void TestMediaStore::importOnTheMainThreadSavesAtOnce()
{
    const QString root = base() + "/lib";
    LibraryStore store(root, false);
    const QString inbox = store.defaultBoardId();
    const QString src = base() + "/src";
    const QString png = src + "/diagram.png";
    const QString photo = src + "/camera.jpg";
    QVERIFY(fixtures::writeFile(png, encodePNG(fixtures::quadrants(600, 300))));
    QVERIFY(fixtures::writeFile(photo, fixtures::jpegWithOrientation(fixtures::quadrants(4000, 3000), 6)));
    QVERIFY(QFile::copy(png, src + "/diagram copy.png"));
    QVERIFY(fixtures::writeFile(src + "/broken.jpg", fixtures::damagedPNG()));
    QVERIFY(fixtures::writeFile(src + "/readme.txt", "words"));
    const QStringList files{png, photo, src + "/diagram copy.png", src + "/broken.jpg", src + "/readme.txt",
                            src + "/missing.png"};

    QCOMPARE(addFiles(store, files, inbox), 2);
    QCOMPARE(store.items().size(), 2);
    QVERIFY(!store.hasUnsavedChanges());
    // What is on disk already holds both.
    const LibraryFile saved = LibraryFile::decode(fixtures::readFile(root + "/library.json"));
    QCOMPARE(saved.items.size(), 2);
    for (const Item &item : store.items()) {
        QCOMPARE(item.collectionIds, QStringList{inbox});
        if (item.originalFilename == "camera.jpg") {
            QCOMPARE(item.pixelWidth, 3000);
            QCOMPARE(item.pixelHeight, 4000);
            QCOMPARE(item.contentHash, sha256sum(photo));
            QCOMPARE(imageSize(thumbnailPath(root, item.thumbnailFilename)), QSize(768, 1024));
        } else {
            QCOMPARE(item.contentHash, sha256sum(png));
        }
        const QSize cover = imageSize(coverPath(root, item.thumbnailFilename));
        QVERIFY(cover.isValid() && std::max(cover.width(), cover.height()) <= 256);
    }

    // Again: nothing new, also for content that sits in the trash.
    QCOMPARE(addFiles(store, {png}, inbox), 0);
    store.trash({store.items().first().id});
    QCOMPARE(addFiles(store, {png, photo}, inbox), 0);
    QCOMPARE(store.items().size(), 2);
}

void TestMediaStore::importOffTheMainThreadInBatches()
{
    const QString root = base() + "/lib";
    LibraryStore store(root, false);
    const QStringList files = makePictures(base() + "/src", 250);
    const QString inbox = store.defaultBoardId();

    QList<int> sizes;
    std::atomic<int> inserted{0};
    connect(&store, &LibraryStore::itemsChanged, this, [&] {
        sizes << int(store.items().size());
        inserted = int(store.items().size());
    });
    std::atomic<bool> done{false};
    int added = -1;
    int seenOnReturn = -1;
    std::thread worker([&] {
        added = addFiles(store, files, inbox);
        seenOnReturn = inserted.load();
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, 60000);
    worker.join();
    QCOMPARE(added, 250);
    QCOMPARE(seenOnReturn, 250); // returned only after the last batch was in
    QCOMPARE(sizes, (QList<int>{100, 200, 250}));
    // Saved by the debounced save.
    QTRY_VERIFY_WITH_TIMEOUT(!store.hasUnsavedChanges(), 5000);
    QCOMPARE(LibraryFile::decode(fixtures::readFile(root + "/library.json")).items.size(), 250);
}

void TestMediaStore::importFilesCountsWhileRunning()
{
    LibraryStore store(base() + "/lib", false);
    const QStringList files = makePictures(base() + "/src", 30);
    QList<int> counts;
    int itemsAtEnd = -1;
    connect(&store, &LibraryStore::importingChanged, this, [&](int importing) {
        counts << importing;
        if (importing == 0)
            itemsAtEnd = int(store.items().size());
    });
    importFiles(store, files, store.defaultBoardId());
    QCOMPARE(store.importing(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(store.importing(), 0, 30000);
    QCOMPARE(counts, (QList<int>{1, 0}));
    QCOMPARE(itemsAtEnd, 30);
}

void TestMediaStore::exportURLs()
{
    const QString root = base() + "/lib";
    LibraryStore store(root, false);
    const QString path = base() + "/src/Poster Final.JPG";
    QVERIFY(fixtures::writeFile(path, encodeJPEG(fixtures::quadrants(80, 60), 0.9)));
    QCOMPARE(addFiles(store, {path}, store.defaultBoardId()), 1);
    const Item image = store.items().first();

    Item link;
    link.id = "L1";
    link.kind = "link";
    link.originalFilename = "example.com";
    link.storedFilename = "L1.png";
    link.thumbnailFilename = "L1.jpg";
    link.contentHash = "link:https://example.com/a?b=1";
    link.sourceURL = "https://example.com/a?b=1";
    Item bare = link;
    bare.id = "L2";
    bare.sourceURL.reset();
    store.appendItems({link, bare});

    QCOMPARE(exportURL(store, "L1"), std::optional<QUrl>(QUrl("https://example.com/a?b=1")));
    QVERIFY(!exportURL(store, "L2"));
    QVERIFY(!exportURL(store, "nothing"));

    const auto first = exportURL(store, image.id);
    QVERIFY(first && first->isLocalFile());
    QCOMPARE(first->toLocalFile(), QDir::tempPath() + "/Vellora/" + image.id + "/Poster Final.JPG");
    QCOMPARE(exportURL(store, image.id), first);
    QCOMPARE(filesIn(QFileInfo(first->toLocalFile()).path()), QStringList{"Poster Final.JPG"});
    // An editor that saves the export in place leaves the library's file alone.
    QVERIFY(fixtures::writeFile(first->toLocalFile(), "edited"));
    QCOMPARE(sha256sum(originalPath(root, image.storedFilename)), image.contentHash);
    QDir(QFileInfo(first->toLocalFile()).path()).removeRecursively();
}

void TestMediaStore::storageCapEvictsLeastRecentlyOpened()
{
    FakeUbiquity cloud;
    ScopedUbiquity scoped(&cloud);
    const QString root = LibraryLocation::iCloudDriveURL();
    QVERIFY(LibraryLocation::isICloud(root));
    LibraryStore store(root, false);

    // Six originals of 1 MB: opened at 50, 10, never (file time 30), 40, never
    // (file time 20, not downloaded), 60. "kept" is the oldest but stays.
    struct Original {
        QString id;
        std::optional<double> opened;
        double fileTime;
        bool downloaded;
    };
    const QList<Original> originals{{"kept", 1.0, 5, true},       {"b", 10.0, 900, true}, {"c", std::nullopt, 30, true},
                            {"d", 40.0, 900, true},       {"e", std::nullopt, 20, false},
                            {"f", 50.0, 900, true},       {"g", 60.0, 900, true}};
    QList<Item> items;
    for (const Original &s : originals) {
        Item item;
        item.id = s.id;
        item.kind = "image";
        item.originalFilename = s.id + ".png";
        item.storedFilename = s.id + ".png";
        item.thumbnailFilename = s.id + ".jpg";
        item.contentHash = s.id;
        item.lastOpenedAt = s.opened;
        items << item;
        const QString path = originalPath(root, item.storedFilename);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(1048576));
        file.close();
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(dateFromReferenceSeconds(s.fileTime), QFileDevice::FileModificationTime));
        file.close();
        if (!s.downloaded)
            cloud.markNotDownloaded(path);
    }
    store.appendItems(items);
    cloud.failEvictionOf(originalPath(root, "c.png"));

    // Counted: b, c, d, f, g = 5 MB ("kept" is no candidate at all, "e" is in
    // the cloud only); cap 2 MB.
    Defaults::standard().set("localStorageCapMB", 2);
    LogCapture log;
    store.enforceStorageCap(QStringLiteral("kept"));
    waitForPasses();
    // Oldest first: b (10), c (file time 30) fails and still counts, d (40), f (50).
    QCOMPARE(cloud.evictions(),
             (QStringList{originalPath(root, "b.png"), originalPath(root, "d.png"), originalPath(root, "f.png")}));
    QCOMPARE(log.lines("Vellora storage: "),
             QStringList{"Vellora storage: 2 MB of originals on device, cap 2 MB, iCloud true, evicted 3"});
}

void TestMediaStore::storageCapOnlyForCloudLibraries_data()
{
    QTest::addColumn<bool>("cloudRoot");
    QTest::addColumn<int>("capMB");
    QTest::newRow("local library with a cap") << false << 1;
    QTest::newRow("cloud library, unlimited") << true << 0;
}

void TestMediaStore::storageCapOnlyForCloudLibraries()
{
    QFETCH(bool, cloudRoot);
    QFETCH(int, capMB);
    FakeUbiquity cloud;
    ScopedUbiquity scoped(&cloud);
    const QString root = cloudRoot ? LibraryLocation::iCloudDriveURL() : base() + "/local";
    LibraryStore store(root, false);
    QVERIFY(addFiles(store, makePictures(base() + "/src", 3), store.defaultBoardId()) == 3);
    for (const Item &item : store.items())
        QVERIFY(QFile(originalPath(root, item.storedFilename)).resize(1048576));
    Defaults::standard().set("localStorageCapMB", capMB);
    LogCapture log;
    store.enforceStorageCap();
    waitForPasses();
    QVERIFY(cloud.evictions().isEmpty());
    QVERIFY(log.lines("Vellora storage: ").isEmpty());
}

void TestMediaStore::prefetchCountsDownloads()
{
    FakeUbiquity cloud;
    ScopedUbiquity scoped(&cloud);
    const QString root = LibraryLocation::iCloudDriveURL();
    LibraryStore store(root, false);
    QCOMPARE(addFiles(store, makePictures(base() + "/src", 5), store.defaultBoardId()), 5);
    const QList<Item> items = store.items();
    cloud.markNotDownloaded(thumbnailPath(root, items[1].thumbnailFilename));
    cloud.markNotDownloaded(thumbnailPath(root, items[3].thumbnailFilename));
    LogCapture log;
    store.prefetchThumbnails(items);
    QTRY_COMPARE(store.pendingDownloads(), 2);
    QCOMPARE(cloud.downloadRequests().size(), 2);
    QCOMPARE(log.lines("Vellora prefetch: "), QStringList{"Vellora prefetch: 2 of 5 thumbnails downloading"});

    // A local library asks for nothing.
    LibraryStore local(base() + "/local", false);
    QCOMPARE(addFiles(local, makePictures(base() + "/src", 2, 100), local.defaultBoardId()), 2);
    local.prefetchThumbnails(local.items());
    waitForPasses();
    QCOMPARE(log.lines("Vellora prefetch: ").size(), 1);
}

void TestMediaStore::coversComeBackAfterALoad()
{
    const QString root = base() + "/lib";
    {
        LibraryStore store(root, false);
        QCOMPARE(addFiles(store, makePictures(base() + "/src", 4), store.defaultBoardId()), 4);
    }
    QVERIFY(QDir(root + "/covers").removeRecursively());
    // One thumbnail is gone too: its cover cannot be made and waits.
    const QStringList thumbnails = filesIn(root + "/thumbnails");
    QVERIFY(QFile::remove(root + "/thumbnails/" + thumbnails.first()));

    LogCapture log;
    LibraryStore store(root, true);
    store.loadInBackground();
    QTRY_COMPARE_WITH_TIMEOUT(filesIn(root + "/covers").size(), 3, 10000);
    QTRY_COMPARE(log.lines("Vellora covers: "), QStringList{"Vellora covers: backfilled 3"});
    for (const QString &name : filesIn(root + "/covers"))
        QVERIFY(std::max(imageSize(root + "/covers/" + name).width(), imageSize(root + "/covers/" + name).height()) <= 256);
}

void TestMediaStore::importsAnOlderLibraryFolder()
{
    const QString old = base() + "/old";
    for (const char *sub : {"originals", "thumbnails"})
        QDir().mkpath(old + "/" + sub);
    QVERIFY(fixtures::writeFile(old + "/originals/e1.png", encodePNG(fixtures::quadrants(300, 200))));
    QVERIFY(QFile::copy(old + "/originals/e1.png", old + "/originals/e2-copy.png"));
    QVERIFY(fixtures::writeFile(old + "/originals/e4.jpg", encodeJPEG(fixtures::quadrants(120, 90), 0.9)));
    QVERIFY(fixtures::writeFile(old + "/originals/notes.txt", "text"));
    QVERIFY(fixtures::writeFile(old + "/thumbnails/fav1.png", encodePNG(fixtures::quadrants(32, 32))));
    QVERIFY(fixtures::writeFile(old + "/thumbnails/snap1.png", encodePNG(fixtures::quadrants(5000, 2500))));
    QVERIFY(fixtures::writeFile(base() + "/secret.png", encodePNG(fixtures::quadrants(20, 20))));
    QVERIFY(QFile::copy(QStringLiteral(VELLORA_MEDIA_FIXTURES "/old-library.json"), old + "/library.json"));

    const QString root = base() + "/lib";
    LibraryStore store(root, false);
    const QString inbox = store.defaultBoardId();
    // imported e1, e4, l1, l2; skipped e3 (missing), txt (not a picture), bad
    // (unsafe name), v1, n1; deduped e2 (same bytes as e1) and l3 (no address).
    QCOMPARE(importLibrary(store, old), (LibraryImportCounts{4, 5, 2}));

    QStringList names;
    for (const Board &b : store.collections())
        names << b.id + ":" + b.name;
    QCOMPARE(names, (QStringList{inbox + ":Inbox", "A:Posters", "B:Untitled"}));
    QCOMPARE(store.collection("A")->dateCreated, 700000000.0);

    const QList<Item> items = store.items();
    QCOMPARE(items.size(), 4);
    // Oldest first: e1 (10), e4 (40), l1 (50), l2 (60).
    const Item &e1 = items[0];
    QCOMPARE(e1.originalFilename, "Poster.png");
    QCOMPARE(e1.dateAdded, 10.0);
    QCOMPARE(e1.dateCreated, 5.0);
    QCOMPARE(e1.sourceURL, std::optional<QString>("https://shop.example/p"));
    QCOMPARE(e1.collectionIds, QStringList{"A"});
    QCOMPARE(e1.contentHash, sha256sum(old + "/originals/e1.png"));
    QVERIFY(QFile::exists(originalPath(root, e1.storedFilename)));
    const Item &e4 = items[1];
    QCOMPARE(e4.originalFilename, "e4.jpg");
    QCOMPARE(e4.collectionIds, QStringList{inbox}); // its collection was not listed

    const Item &l1 = items[2];
    QCOMPARE(l1.kind, "link");
    QCOMPARE(l1.originalFilename, "www.example.com");
    QCOMPARE(l1.contentHash, "link:https://www.example.com/page");
    QCOMPARE(l1.title, std::optional<QString>("Example"));
    QCOMPARE(l1.summary, std::optional<QString>("A page"));
    QCOMPARE(l1.collectionIds, QStringList{"A"});
    QCOMPARE(l1.faviconFilename, std::optional<QString>(l1.id + ".png"));
    QCOMPARE(imageSize(faviconPath(root, l1.id + ".png")), QSize(32, 32));
    QCOMPARE(l1.pixelWidth, 4096);
    QCOMPARE(l1.pixelHeight, 2048);
    QCOMPARE(l1.snapshotDate, std::optional<double>(55.0));
    QCOMPARE(l1.fileSize, std::optional<qint64>(QFileInfo(originalPath(root, l1.storedFilename)).size()));
    QCOMPARE(imageSize(thumbnailPath(root, l1.thumbnailFilename)), QSize(1024, 512));
    QVERIFY(QFile::exists(coverPath(root, l1.thumbnailFilename)));

    const Item &l2 = items[3];
    QCOMPARE(l2.pixelWidth, 1280);
    QCOMPARE(l2.pixelHeight, 800);
    QVERIFY(!l2.faviconFilename); // the unsafe name was not followed
    QVERIFY(!l2.snapshotDate);
    QVERIFY(!QFile::exists(thumbnailPath(root, l2.thumbnailFilename)));
    QCOMPARE(l2.dateCreated, 60.0);

    // Saved at once.
    QCOMPARE(LibraryFile::decode(fixtures::readFile(root + "/library.json")).items.size(), 4);

    // A second run finds everything already there.
    QCOMPARE(importLibrary(store, old), (LibraryImportCounts{0, 5, 6}));
    QCOMPARE(store.collections().size(), 3);
    QCOMPARE(store.items().size(), 4);
}

void TestMediaStore::olderLibraryWithoutDocument()
{
    LibraryStore store(base() + "/lib", false);
    const QString old = base() + "/empty";
    QDir().mkpath(old);
    ConsoleCapture console;
    QCOMPARE(importLibrary(store, old), (LibraryImportCounts{0, 0, 0}));
    QCOMPARE(console.lines(), QStringList{"no library.json in " + old});
    QCOMPARE(store.collections().size(), 1);
}

QTEST_GUILESS_MAIN(TestMediaStore)
#include "tst_mediastore.moc"
