// Change tracking against a store fake: the drops watcher and its debounce on
// real inotify, the deferral of scans, and the cloud query handlers.

#include "FakeMetadataQuery.h"
#include "ManualScheduler.h"
#include "ScopedScheduler.h"
#include "SeamGuard.h"

#include "library/LibrarySync.h"
#include "platform/MetadataQuery.h"
#include "platform/Scheduler.h"

#include <algorithm>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <mutex>
#include <optional>

using namespace vellora;

namespace {

class FakeStore : public SyncedLibrary, public DropsLibrary {
public:
    explicit FakeStore(QString root, bool cloud = false) : m_root(std::move(root)), m_cloud(cloud) {}

    QString root() const override { return m_root; }
    bool isCloudLibrary() const override { return m_cloud; }
    QString dropsDirectory() const override { return m_root + QStringLiteral("/Drops"); }
    QString defaultBoardId() const override { return QStringLiteral("INBOX"); }
    bool isLoaded() const override { return loaded; }
    int importing() const override { return importCount; }
    void beginImport() override
    {
        ++importCount;
        ++scansBegun;
        peakImports = std::max(peakImports, importCount);
    }
    int pendingDownloads() const override { return pending; }
    void setPendingDownloads(int count) override { pending = count; }
    void reload() override { ++reloads; }
    void markSynced() override { ++synced; }
    void startDownloading(const QString &path) override { downloads << path; }
    void syncSharing(std::function<void()> done) override
    {
        ++sharingSyncs;
        done();
    }
    DropsLibrary &drops() override { return *this; }

    DropImport importPicture(const QString &stagedPath, const QString &) override
    {
        std::lock_guard guard(lock);
        pictures << QFileInfo(stagedPath).fileName();
        return DropImport::Imported;
    }
    QString addLink(const QString &url, const QString &) override { return url; }
    void fetchLinkMetadata(const QString &, std::function<void()> done) override { done(); }
    void endImport() override { --importCount; }

    QStringList importedPictures()
    {
        std::lock_guard guard(lock);
        return pictures;
    }

    bool loaded = true;
    int importCount = 0;
    int peakImports = 0;
    int scansBegun = 0;
    int pending = 0;
    int reloads = 0;
    int synced = 0;
    int sharingSyncs = 0;
    QStringList downloads;

private:
    QString m_root;
    bool m_cloud;
    std::mutex lock;
    QStringList pictures;
};

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

MetadataItem item(const QString &path, MetadataItem::Download status)
{
    return MetadataItem{path, status};
}

// Runs the virtual main thread until `done` holds; the scans themselves run
// on a real worker thread and post their last part back.
bool drain(ManualScheduler &scheduler, const std::function<bool()> &done)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        scheduler.runPending();
        if (done())
            return true;
        QThread::msleep(5);
    }
    return false;
}

const auto Current = MetadataItem::Download::Current;
const auto NotDownloaded = MetadataItem::Download::NotDownloaded;

} // namespace

class TestLibrarySync : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_seams.emplace();
        QVERIFY(m_dir.isValid());
        QDir(m_dir.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_dir.path()));
    }
    void cleanup() { m_seams.reset(); }

    void burstOfWritesGivesOneScanAfterTheLast()
    {
        auto store = std::make_shared<FakeStore>(m_dir.path());
        LibrarySync sync;
        QSignalSpy started(&sync, &LibrarySync::ingestStarted);
        QSignalSpy finished(&sync, &LibrarySync::ingestFinished);
        sync.start(store);
        QVERIFY(sync.isWatchingDrops());
        QVERIFY(QFileInfo(store->dropsDirectory()).isDir());
        // The first start scans once, also an empty folder.
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 3000);
        QCOMPARE(started.count(), 1);

        const QString drops = store->dropsDirectory();
        writeFile(drops + QStringLiteral("/1.png"), "a");
        QTest::qWait(300);
        writeFile(drops + QStringLiteral("/2.png"), "b");
        QTest::qWait(300);
        writeFile(drops + QStringLiteral("/3.png"), "c");
        QElapsedTimer sinceLast;
        sinceLast.start();
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), 2, 3000);
        const qint64 delay = sinceLast.elapsed();
        QVERIFY2(delay >= 950 && delay < 2000, qPrintable(QString::number(delay)));

        // That one scan takes all three: a drop is complete once it has its name.
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 3000);
        QCOMPARE(finished.last().first().value<DropsScanReport>().claimed, 3);
        QTRY_COMPARE_WITH_TIMEOUT(store->importedPictures().size(), 3, 5000);
        QTest::qWait(300);
        QCOMPARE(started.count(), 2);
        QTRY_VERIFY(QDir(drops).isEmpty());
        QTRY_COMPARE(store->importCount, 0);
    }

    void scansWaitForTheLoadAndForImports()
    {
        ManualScheduler scheduler;
        ScopedScheduler scoped(&scheduler);
        auto store = std::make_shared<FakeStore>(m_dir.path());
        store->loaded = false;
        LibrarySync sync;
        sync.start(store);

        scheduler.advance(0.9);
        QCOMPARE(store->scansBegun, 0);
        scheduler.advance(3.0); // three tries, all deferred
        QCOMPARE(store->scansBegun, 0);
        QVERIFY(sync.ingestPending());

        store->loaded = true;
        store->importCount = 1; // a file import is running
        scheduler.advance(2.0);
        QCOMPARE(store->scansBegun, 0);

        store->importCount = 0;
        scheduler.advance(1.0);
        QCOMPARE(store->scansBegun, 1);
        // The scan raises the count while it runs; it may already have ended
        // on its worker, so look at the peak rather than the count now.
        QCOMPARE(store->peakImports, 1);
        QVERIFY(drain(scheduler, [&] { return store->importCount == 0; }));
    }

    void startRunsOneSharingSyncAndMarksSynced()
    {
        ManualScheduler scheduler;
        ScopedScheduler scoped(&scheduler);
        auto store = std::make_shared<FakeStore>(m_dir.path());
        LibrarySync sync;
        sync.start(store);
        QCOMPARE(store->sharingSyncs, 1);
        QCOMPARE(store->synced, 1);
        QCOMPARE(sync.presentedPath(), QDir(m_dir.path()).filePath(QStringLiteral("library.json")));
        QVERIFY(!sync.query()); // a local library has no cloud query

        // A restart on another folder replaces presenter and watcher.
        const QString other = m_dir.path() + QStringLiteral("/other");
        QDir().mkpath(other);
        auto second = std::make_shared<FakeStore>(other);
        sync.start(second);
        QCOMPARE(sync.presentedPath(), QDir(other).filePath(QStringLiteral("library.json")));
        QVERIFY(QFileInfo(second->dropsDirectory()).isDir());
        QCOMPARE(second->sharingSyncs, 1);
    }

    void foreignChangeOfLibraryFileReloads()
    {
        auto store = std::make_shared<FakeStore>(m_dir.path());
        LibrarySync sync;
        sync.start(store);
        writeFile(m_dir.path() + QStringLiteral("/library.json"), "{}");
        QTRY_VERIFY(store->reloads >= 1);
        const int reloads = store->reloads;
        // Other names in the folder are not the presented file.
        writeFile(m_dir.path() + QStringLiteral("/notes.json"), "{}");
        QTest::qWait(200);
        QCOMPARE(store->reloads, reloads);
    }

    void cloudQueryGatheringConcernsOnlyDrops()
    {
        ManualScheduler scheduler;
        ScopedScheduler scoped(&scheduler);
        auto store = std::make_shared<FakeStore>(m_dir.path(), true);
        LibrarySync sync;
        FakeMetadataQuery *fake = nullptr;
        sync.setQueryFactory([&fake](const QString &) {
            auto query = std::make_unique<FakeMetadataQuery>();
            fake = query.get();
            return query;
        });
        sync.start(store);
        QVERIFY(fake);
        QCOMPARE(fake->startCount, 1);
        scheduler.advance(1.5); // the watcher's first scan
        QVERIFY(drain(scheduler, [&] { return store->importCount == 0; }));
        const int scans = store->scansBegun;

        const QString root = m_dir.path();
        fake->setResults({item(root + QStringLiteral("/library.json"), Current),
                          item(root + QStringLiteral("/thumbnails/A.jpg"), Current),
                          item(root + QStringLiteral("/Drops/cloud.png"), NotDownloaded),
                          item(root + QStringLiteral("/NotDrops/x.png"), NotDownloaded)});
        fake->finishGathering();
        QVERIFY(!fake->updatesDisabled());
        QCOMPARE(store->downloads, QStringList{root + QStringLiteral("/Drops/cloud.png")});
        QCOMPARE(store->reloads, 0);
        scheduler.advance(2.0);
        QCOMPARE(store->scansBegun, scans); // nothing local yet: no scan

        fake->postUpdate({}, {item(root + QStringLiteral("/Drops/cloud.png"), Current)});
        scheduler.advance(1.1);
        QCOMPARE(store->scansBegun, scans + 1);
        QVERIFY(drain(scheduler, [&] { return store->importCount == 0; }));
    }

    void cloudQueryUpdates_data()
    {
        QTest::addColumn<int>("pendingBefore");
        QTest::addColumn<QStringList>("currentPaths");   // reported downloaded
        QTest::addColumn<QStringList>("missingPaths");   // reported still in the cloud
        QTest::addColumn<int>("reloads");
        QTest::addColumn<int>("pendingAfter");
        QTest::addColumn<int>("syncMarks");              // beyond the start's own
        QTest::addColumn<int>("downloads");

        QTest::newRow("two library files reload once")
            << 0 << QStringList{"library.json", "library.json"} << QStringList{} << 1 << 0 << 0 << 0;
        QTest::newRow("library file still in the cloud")
            << 0 << QStringList{} << QStringList{"library.json"} << 0 << 0 << 0 << 1;
        QTest::newRow("thumbnail counts down")
            << 3 << QStringList{"thumbnails/A.jpg"} << QStringList{} << 0 << 2 << 0 << 0;
        QTest::newRow("last thumbnail records the sync")
            << 1 << QStringList{"thumbnails/A.jpg"} << QStringList{} << 0 << 0 << 1 << 0;
        QTest::newRow("more thumbnails than pending")
            << 1 << QStringList{"thumbnails/A.jpg", "thumbnails/B.jpg"} << QStringList{} << 0 << 0 << 1 << 0;
        QTest::newRow("nothing pending changes nothing")
            << 0 << QStringList{"thumbnails/A.jpg"} << QStringList{} << 0 << 0 << 0 << 0;
        QTest::newRow("thumbnail still in the cloud")
            << 2 << QStringList{} << QStringList{"thumbnails/A.jpg"} << 0 << 2 << 0 << 1;
        QTest::newRow("covers are no thumbnails")
            << 2 << QStringList{"covers/A.jpg"} << QStringList{"covers/B.jpg"} << 0 << 2 << 0 << 0;
    }

    void cloudQueryUpdates()
    {
        QFETCH(int, pendingBefore);
        QFETCH(QStringList, currentPaths);
        QFETCH(QStringList, missingPaths);
        QFETCH(int, reloads);
        QFETCH(int, pendingAfter);
        QFETCH(int, syncMarks);
        QFETCH(int, downloads);

        ManualScheduler scheduler;
        ScopedScheduler scoped(&scheduler);
        auto store = std::make_shared<FakeStore>(m_dir.path(), true);
        LibrarySync sync;
        FakeMetadataQuery *fake = nullptr;
        sync.setQueryFactory([&fake](const QString &) {
            auto query = std::make_unique<FakeMetadataQuery>();
            fake = query.get();
            return query;
        });
        sync.start(store);
        const int marksAtStart = store->synced;
        store->pending = pendingBefore;

        QList<MetadataItem> added;
        QList<MetadataItem> changed;
        for (const QString &path : currentPaths)
            changed << item(m_dir.path() + QLatin1Char('/') + path, Current);
        for (const QString &path : missingPaths)
            added << item(m_dir.path() + QLatin1Char('/') + path, NotDownloaded);
        fake->postUpdate(added, changed);
        scheduler.runPending();

        QCOMPARE(store->reloads, reloads);
        QCOMPARE(store->pending, pendingAfter);
        QCOMPARE(store->synced - marksAtStart, syncMarks);
        QCOMPARE(store->downloads.size(), downloads);
    }

    void goneStoreMakesHandlersDoNothing()
    {
        ManualScheduler scheduler;
        ScopedScheduler scoped(&scheduler);
        class GoneStore : public FakeStore {
        public:
            using FakeStore::FakeStore;
            bool alive() const override { return !gone; }
            bool gone = false;
        };
        auto store = std::make_shared<GoneStore>(m_dir.path());
        LibrarySync sync;
        sync.start(store);
        store->gone = true;
        scheduler.advance(5.0);
        QCOMPARE(store->scansBegun, 0);
        sync.updated({}, {item(m_dir.path() + QStringLiteral("/library.json"), Current)});
        QCOMPARE(store->reloads, 0);
    }

private:
    QTemporaryDir m_dir;
    std::optional<SeamGuard> m_seams;
};

QTEST_GUILESS_MAIN(TestLibrarySync)
#include "tst_librarysync.moc"
