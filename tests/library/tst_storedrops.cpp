// Change tracking and the drops scan on a real store, in real folders: a
// library.json rewritten by another process, the store's own saves, drops
// arriving while the store runs, and the window's triggers.

#include "FakeUbiquity.h"
#include "ScopedUbiquity.h"
#include "SeamGuard.h"

#include "enrichment/StoreDrops.h"
#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"
#include "platform/Defaults.h"
#include "platform/Places.h"
#include "platform/Ubiquity.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <mutex>

using namespace vellora;

namespace {

std::mutex g_logLock;
QStringList g_log;
QtMessageHandler g_previous = nullptr;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        std::lock_guard guard(g_logLock);
        g_log << message;
    }
    if (g_previous)
        g_previous(type, context, message);
}

QStringList logged(const QString &prefix)
{
    std::lock_guard guard(g_logLock);
    QStringList lines;
    for (const QString &line : g_log)
        if (line.startsWith(prefix))
            lines << line;
    return lines;
}

QByteArray pngBytes(QColor colour)
{
    QImage image(24, 16, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

void writeFile(const QString &path, const QByteArray &bytes, double ageSeconds = 0)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    QVERIFY(f.flush()); // before the time is set, or the close would set it again
    if (ageSeconds > 0)
        f.setFileTime(QDateTime::currentDateTimeUtc().addMSecs(qint64(-ageSeconds * 1000)),
                      QFileDevice::FileModificationTime);
}

} // namespace

class TestStoreDrops : public QObject {
    Q_OBJECT
    std::optional<SeamGuard> m_seams;

private slots:
    void initTestCase() { g_previous = qInstallMessageHandler(collect); }

    void init()
    {
        m_seams.emplace();
        std::lock_guard guard(g_logLock);
        g_log.clear();
    }
    void cleanup() { m_seams.reset(); }

    void anotherProcessRewritingTheLibraryReloadsIt()
    {
        QTemporaryDir root;
        LibraryStore store(root.path(), false);
        QVERIFY(store.loaded());
        QCOMPARE(store.collections().size(), 1); // "Inbox", saved at once
        LibrarySync sync;
        sync.start(syncedLibrary(store));

        // The store's own saves are no external change.
        store.createCollection(QStringLiteral("Moodboard"));
        QVERIFY(store.save());
        store.createCollection(QStringLiteral("Type"));
        QVERIFY(store.save());
        QTest::qWait(600);
        QVERIFY(logged(QStringLiteral("library reloaded (external)")).isEmpty());

        // Another process puts a new version in place the way editors and
        // sync clients do: a temporary file renamed over the old one.
        QFile file(root.filePath(QStringLiteral("library.json")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray text = file.readAll();
        file.close();
        QVERIFY(text.contains("\"Type\""));
        text.replace("\"Type\"", "\"Typography\"");
        writeFile(root.filePath(QStringLiteral("incoming.tmp")), text);
        QCOMPARE(QProcess::execute(QStringLiteral("/bin/mv"), {root.filePath(QStringLiteral("incoming.tmp")),
                                                               root.filePath(QStringLiteral("library.json"))}),
                 0);

        QTRY_COMPARE(logged(QStringLiteral("library reloaded (external)")),
                     QStringList{QStringLiteral("library reloaded (external): 0 items, 3 collections")});
        QCOMPARE(store.collections().last().name, QStringLiteral("Typography"));

        // And the save after it is the store's own again.
        store.createCollection(QStringLiteral("Colour"));
        QVERIFY(store.save());
        QTest::qWait(600);
        QCOMPARE(logged(QStringLiteral("library reloaded (external)")).size(), 1);
    }

    void dropsArrivingWhileRunningReachTheStore()
    {
        QTemporaryDir root;
        qputenv("VELLORA_ROOT", root.path().toUtf8());
        LibraryStore store(root.path(), false);
        LibrarySync sync;
        QSignalSpy finished(&sync, &LibrarySync::ingestFinished);
        sync.start(syncedLibrary(store));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 3000); // the first, empty scan

        const QString drops = dropsDirectory(store);
        QCOMPARE(drops, root.filePath(QStringLiteral("Drops")));
        writeFile(drops + QStringLiteral("/1B7E.png"), pngBytes(Qt::magenta));
        QTRY_COMPARE_WITH_TIMEOUT(store.items().size(), 1, 8000);
        QCOMPARE(store.items().first().originalFilename, QStringLiteral("1B7E.png"));
        QCOMPARE(store.items().first().collectionIds, QStringList{store.defaultBoardId()});
        QTRY_VERIFY(QDir(drops).isEmpty());
        QTRY_COMPARE(store.importing(), 0);
        QVERIFY(logged(QStringLiteral("drops: imported")).contains(QStringLiteral("drops: imported 1")));
        qunsetenv("VELLORA_ROOT");
    }

    void windowTriggerIsDroppedWhileImporting()
    {
        QTemporaryDir root;
        qputenv("VELLORA_ROOT", root.path().toUtf8());
        LibraryStore store(root.path(), false);
        writeFile(dropsDirectory(store) + QStringLiteral("/A.png"), pngBytes(Qt::cyan), 30);
        IngestDrops trigger(store);
        QSignalSpy finished(&trigger, &IngestDrops::scanFinished);

        store.beginImport();
        trigger.windowShown();
        QTest::qWait(300);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(store.items().size(), 0);

        store.endImport();
        trigger.applicationBecameActive();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().value<DropsScanReport>().imported, 1);
        QCOMPARE(store.items().size(), 1);
        QCOMPARE(store.importing(), 0);
        qunsetenv("VELLORA_ROOT");
    }

    void localLibraryTakesDropsFromTheCloudContainer()
    {
        QTemporaryDir base;
        const QString synced = base.filePath(QStringLiteral("Sync"));
        QVERIFY(QDir().mkpath(synced));
        qunsetenv("VELLORA_ROOT");
        Defaults::standard().set(QString::fromLatin1(kSyncedFolderKey), synced);
        LibraryLocation::resetForTesting();
        const QString local = base.filePath(QStringLiteral("local"));
        LibraryStore store(local, false);
        const QString expected = synced + QStringLiteral("/iCloud.com.quendle.vellora/Data/Drops");
        QCOMPARE(dropsDirectory(store), expected);
        // VELLORA_ROOT keeps the drops inside that folder.
        qputenv("VELLORA_ROOT", local.toUtf8());
        QCOMPARE(dropsDirectory(store), local + QStringLiteral("/Drops"));
        qunsetenv("VELLORA_ROOT");

        writeFile(expected + QStringLiteral("/C.png"), pngBytes(Qt::darkGreen), 30);
        bool done = false;
        startDropsScan(store, [&](const DropsScanReport &) { done = true; });
        QTRY_VERIFY(done);
        QCOMPARE(store.items().size(), 1);
        QVERIFY(QDir(expected).isEmpty());

        Defaults::standard().remove(QString::fromLatin1(kSyncedFolderKey));
        LibraryLocation::resetForTesting();
    }

    void dropStillInTheCloudIsAskedForNotClaimed()
    {
        QTemporaryDir root;
        qputenv("VELLORA_ROOT", root.path().toUtf8());
        FakeUbiquity ubiquity;
        ScopedUbiquity scoped(&ubiquity);
        LibraryStore store(root.path(), false);
        const QString drop = dropsDirectory(store) + QStringLiteral("/E.png");
        writeFile(drop, pngBytes(Qt::darkBlue), 30);
        ubiquity.markNotDownloaded(drop);

        DropsScanReport report;
        bool done = false;
        startDropsScan(store, [&](const DropsScanReport &r) {
            report = r;
            done = true;
        });
        QTRY_VERIFY(done);
        QCOMPARE(report.claimed, 0);
        QCOMPARE(ubiquity.downloadRequests(), QStringList{drop});
        QVERIFY(QFile::exists(drop));

        ubiquity.markCurrent(drop);
        done = false;
        startDropsScan(store, [&](const DropsScanReport &r) {
            report = r;
            done = true;
        });
        QTRY_VERIFY(done);
        QCOMPARE(report.imported, 1);
        QCOMPARE(store.items().size(), 1);
        qunsetenv("VELLORA_ROOT");
    }
};

QTEST_MAIN(TestStoreDrops)
#include "tst_storedrops.moc"
