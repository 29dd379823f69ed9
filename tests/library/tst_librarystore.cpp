#include "ConsoleCapture.h"
#include "SeamGuard.h"
#include "VirtualTime.h"

#include "library/LibraryStore.h"
#include "library/Services.h"

#include "platform/Clock.h"
#include "platform/Scheduler.h"

#include "StoreFixtures.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using namespace vellora;
using namespace storetest;

class TestLibraryStore : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<VirtualTime> m_time;
    std::optional<SeamGuard> m_seams;
    QString root() const { return m_dir->path() + "/Library"; }
    QString file() const { return root() + "/library.json"; }

    // Lets background reads finish and runs what they handed back, until
    // nothing more comes back.
    void settle()
    {
        do
            QThreadPool::globalInstance()->waitForDone();
        while (m_time->scheduler.runPending() > 0);
    }

    std::unique_ptr<LibraryStore> loadedStore(const QString &at)
    {
        auto store = std::make_unique<LibraryStore>(at, true);
        store->loadInBackground();
        settle();
        return store;
    }

    // Moves virtual time on, then lets the writer finish what a save handed
    // it and takes its outcome back, as the main loop would.
    void advance(LibraryStore &store, double seconds)
    {
        m_time->scheduler.advance(seconds);
        store.waitForWrites();
    }

    LibraryFile onDisk() const { return LibraryFile::decode(readFile(file())); }

    QStringList backups(const QString &pattern) const { return entries(root() + "/backups", {pattern}); }

private slots:
    void init()
    {
        m_seams.emplace();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_time = std::make_unique<VirtualTime>(810000000.0);
        LibraryServices::installed() = LibraryServices{};
    }

    void cleanup()
    {
        QThreadPool::globalInstance()->waitForDone();
        m_time.reset();
        m_seams.reset();
    }

    // A new library is written once, 0.5 s after the load.
    void emptyFolderGetsInbox()
    {
        int completions = 0;
        LibraryStore store(root(), true);
        QVERIFY(!store.loaded());
        QSignalSpy loadedSpy(&store, &LibraryStore::loadedChanged);
        store.loadInBackground([&] { ++completions; });
        settle();
        QVERIFY(store.loaded());
        QCOMPARE(loadedSpy.count(), 1);
        QCOMPARE(completions, 1);
        QCOMPARE(store.collections().size(), 1);
        QCOMPARE(store.collections().first().name, QStringLiteral("Inbox"));
        QCOMPARE(store.defaultBoardId(), store.collections().first().id);
        QVERIFY(store.items().isEmpty());
        QCOMPARE(store.smartFolders(), SmartFolder::defaults());
        QVERIFY(!QFileInfo::exists(file()));

        advance(store, 0.49);
        QVERIFY(!QFileInfo::exists(file()));
        advance(store, 0.02);
        QVERIFY(QFileInfo::exists(file()));
        const FileStamp first = fileStamp(file());
        advance(store, 30);
        QCOMPARE(fileStamp(file()), first);

        const LibraryFile written = onDisk();
        QCOMPARE(written.collections, store.collections());
        QCOMPARE(written.topLevelOrder, QStringList{store.defaultBoardId()});
        QCOMPARE(written.smartFolders, std::optional<QList<SmartFolder>>(SmartFolder::defaults()));
        QCOMPARE(backups("library-*").size(), 1);
        // Marked when the write came back: between the debounce and the check.
        QVERIFY(store.lastSyncedAt().has_value());
        QVERIFY(*store.lastSyncedAt() >= 810000000.5 && *store.lastSyncedAt() <= 810000000.51);
    }

    void immediateLoadWritesAtOnce()
    {
        LibraryStore store(root(), false);
        QVERIFY(store.loaded());
        QVERIFY(QFileInfo::exists(file()));
        QCOMPARE(onDisk().collections.first().name, QStringLiteral("Inbox"));
    }

    void tenEditsOneWrite()
    {
        QVERIFY(writeFile(file(), document({board("B1")})));
        auto store = loadedStore(root());
        const FileStamp before = fileStamp(file());
        for (int i = 0; i < 10; ++i) {
            store->createCollection(QStringLiteral("C%1").arg(i));
            advance(*store, 0.04);
        }
        // The last edit was 0.04 s ago; the write falls 0.5 s after it.
        advance(*store, 0.45);
        QCOMPARE(fileStamp(file()), before);
        advance(*store, 0.02);
        const FileStamp after = fileStamp(file());
        QVERIFY(after != before);
        advance(*store, 10);
        QCOMPARE(fileStamp(file()), after);
        QCOMPARE(onDisk().collections.size(), 11);
        QVERIFY(!store->hasUnsavedChanges());
    }

    void damagedFileIsNeverWritten_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("zero bytes") << QByteArray("");
        QTest::newRow("cut off") << document({board("B1")}).left(40);
        QTest::newRow("no collections") << QByteArray("{\"collections\":[],\"items\":[],\"topLevelOrder\":[]}");
        QTest::newRow("wrong type") << QByteArray("{\"collections\":{},\"items\":[],\"topLevelOrder\":[]}");
        // Large enough that the read has given bytes back before it meets the fault.
        const QByteArray large = largeLibrary().encode();
        QTest::newRow("large, cut off") << large.left(large.size() - 100);
        QTest::newRow("large, wrong type late in the list")
            << changedAfter(large, "I5800", "\"pixelHeight\" : 10", "\"pixelHeight\" : \"tall\"");
        QTest::newRow("large, no collections") << largeLibrary(false).encode();
    }

    // A library.json that exists but cannot be used stays byte for byte as it
    // was, whatever the store is asked to do.
    void damagedFileIsNeverWritten()
    {
        QFETCH(QByteArray, content);
        QVERIFY(writeFile(file(), content));
        ConsoleCapture console;
        LibraryStore store(root(), true);
        QSignalSpy failed(&store, &LibraryStore::loadErrorChanged);
        store.loadInBackground();
        settle();
        QVERIFY(!store.loaded());
        QCOMPARE(failed.count(), 1);
        QVERIFY(!store.loadError().isEmpty());
        QVERIFY(store.collections().isEmpty());

        bool waited = true;
        store.waitUntilLoaded([&](bool loaded) { waited = loaded; });
        QVERIFY(!waited);

        store.createCollection("Edit");
        advance(store, 1);
        QVERIFY(!store.save());
        store.reload();
        settle();
        QCOMPARE(readFile(file()), content);

        const QStringList damaged = backups("damaged-*");
        QCOMPARE(damaged.size(), 1);
        QCOMPARE(readFile(root() + "/backups/" + damaged.first()), content);
        QVERIFY(backups("library-*").isEmpty());
        const QStringList refused = console.lines().filter(QRegularExpression("^library\\.json not saved: .+"));
        QCOMPARE(refused.size(), 2); // the debounced save and the explicit one
        QVERIFY(refused.first().contains(store.loadError()));
    }

    // Opening the same damaged file again (every start, every reopen) keeps
    // the one copy already made; a file damaged another way gets its own.
    void damagedFileIsCopiedOnce()
    {
        const QByteArray cutOff = document({board("B1")}).left(40);
        QVERIFY(writeFile(file(), cutOff));
        for (int run = 0; run < 3; ++run) {
            ConsoleCapture console;
            LibraryStore store(root(), true);
            store.loadInBackground();
            settle();
            QVERIFY(!store.loaded());
            QVERIFY(store.loadError().contains(root() + "/backups/damaged-"));
            m_time->clock.advance(10);
        }
        QCOMPARE(backups("damaged-*").size(), 1);
        QCOMPARE(readFile(root() + "/backups/" + backups("damaged-*").first()), cutOff);

        const QByteArray other = document({board("B2")}).left(50);
        QVERIFY(writeFile(file(), other));
        {
            ConsoleCapture console;
            LibraryStore store(root(), true);
            store.loadInBackground();
            settle();
            QVERIFY(!store.loaded());
        }
        QCOMPARE(backups("damaged-*").size(), 2);
        QCOMPARE(readFile(file()), other);
    }

    void saveWhileLoadingWritesNothing()
    {
        ConsoleCapture console;
        LibraryStore store(root(), true);
        QVERIFY(!store.save());
        QVERIFY(!QFileInfo::exists(file()));
        QVERIFY(console.lines().isEmpty());
    }

    // A failed write says why, changes nothing, and the next change retries.
    void failedSaveIsRetried()
    {
        QVERIFY(writeFile(file(), document({board("B1")})));
        auto store = loadedStore(root());
        QVERIFY(store->save());
        const auto synced = store->lastSyncedAt();
        QFile::remove(file());
        QVERIFY(writeFile(file() + "/in-the-way", "x"));
        m_time->clock.advance(5);

        ConsoleCapture console;
        store->createCollection("First");
        advance(*store, 0.6);
        QCOMPARE(console.lines().size(), 1);
        QVERIFY(console.lines().first().startsWith("library.json not saved: "));
        QVERIFY(console.lines().first().size() > QString("library.json not saved: ").size());
        QCOMPARE(store->lastSyncedAt(), synced);
        QVERIFY(store->hasUnsavedChanges());

        QDir(file()).removeRecursively();
        store->createCollection("Second");
        advance(*store, 0.6);
        QCOMPARE(console.lines().size(), 1);
        const LibraryFile written = onDisk();
        QCOMPARE(written.collections.size(), 3);
        QCOMPARE(written.collections.at(1).name, QStringLiteral("First"));
        QVERIFY(!store->hasUnsavedChanges());
    }

    // Quitting writes what a failed save left unwritten.
    void quitRetriesFailedSave()
    {
        QVERIFY(writeFile(file(), document({board("B1")})));
        auto store = loadedStore(root());
        QFile::remove(file());
        QVERIFY(writeFile(file() + "/in-the-way", "x"));
        ConsoleCapture console;
        store->createCollection("Unsaved");
        advance(*store, 0.6);
        QCOMPARE(console.lines().size(), 1);
        QDir(file()).removeRecursively();
        QVERIFY(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit", Qt::DirectConnection));
        QCOMPARE(onDisk().collections.size(), 2);
        QVERIFY(!store->hasUnsavedChanges());
    }

    void encodingFailureIsReported()
    {
        QVERIFY(writeFile(file(), document({board("B1")}, {item("A", {"B1"})})));
        auto store = loadedStore(root());
        const QByteArray before = readFile(file());
        store->updateItem("A", [](Item &i) { i.dateAdded = std::numeric_limits<double>::quiet_NaN(); });
        ConsoleCapture console;
        QVERIFY(!store->save());
        QCOMPARE(console.lines().size(), 1);
        QVERIFY(console.lines().first().startsWith("library.json not saved: "));
        QCOMPARE(readFile(file()), before);
    }

    // A backup at most every 300 s; 25 timed backups leave the newest 20; the
    // "conflict-" backups are never pruned.
    void backupSpacingAndPruning()
    {
        QVERIFY(writeFile(file(), document({board("B1")})));
        auto store = loadedStore(root());
        QVERIFY(store->save());
        QCOMPARE(backups("library-*").size(), 1);
        m_time->clock.advance(10);
        QVERIFY(store->save());
        QCOMPARE(backups("library-*").size(), 1);
        m_time->clock.advance(291);
        QVERIFY(store->save());
        QCOMPARE(backups("library-*").size(), 2);
        QCOMPARE(store->lastBackup(), std::optional<double>(m_time->clock.now()));

        // Someone else writes the file: the next save keeps their version.
        QVERIFY(writeFile(file(), document({board("B1"), board("OTHER")})));
        QVERIFY(store->save());
        QCOMPARE(backups("conflict-*").size(), 1);

        for (int i = 0; i < 25; ++i) {
            m_time->clock.advance(301);
            store->createCollection(QString::number(i));
            QVERIFY(store->save());
        }
        QCOMPARE(backups("library-*").size(), 20);
        QCOMPARE(backups("conflict-*").size(), 1);
        const LibraryFile newest = LibraryFile::decode(readFile(root() + "/backups/" + backups("library-*").last()));
        QCOMPARE(newest.collections.size(), 27); // B1, OTHER and the 25 made here
    }

    // A load does not record the file's date, so the first reload reads it.
    void firstReloadReadsAgain()
    {
        QVERIFY(writeFile(file(), document({board("B1")}, {item("A", {"B1"})})));
        auto store = loadedStore(root());
        QSignalSpy changed(store.get(), &LibraryStore::itemsChanged);
        store->reload();
        settle();
        QCOMPARE(changed.count(), 1);
        store->reload();
        settle();
        QCOMPARE(changed.count(), 1);
    }

    void reloadAppliesExternalChange()
    {
        QVERIFY(writeFile(file(), document({board("B1")}, {item("A", {"B1"})})));
        auto store = loadedStore(root());
        QSignalSpy changed(store.get(), &LibraryStore::itemsChanged);
        QVERIFY(writeFile(file(), document({board("B1"), board("B2")}, {item("A", {"B1"}), item("B", {"B2"})})));
        int done = 0;
        store->reload([&] { ++done; });
        QCOMPARE(store->syncing(), 1);
        settle();
        QCOMPARE(done, 1);
        QCOMPARE(store->syncing(), 0);
        QCOMPARE(store->items().size(), 2);
        QCOMPARE(store->collections().size(), 2);
        QCOMPARE(changed.count(), 1);
        QVERIFY(!store->hasUnsavedChanges());

        // Nothing changed since: only the completion runs.
        const double syncedBefore = store->lastSyncedAt().value();
        m_time->clock.advance(3);
        store->reload([&] { ++done; });
        settle();
        QCOMPARE(done, 2);
        QCOMPARE(store->lastSyncedAt(), std::optional<double>(syncedBefore + 3));
        QCOMPARE(store->items().size(), 2);
        QVERIFY(backups("conflict-*").isEmpty());
    }

    // Local changes not yet on disk survive a reload, merged with the other
    // side's; the other version is also kept as it was.
    void reloadKeepsUnsavedLocalChanges()
    {
        QVERIFY(writeFile(file(), document({board("B1")}, {item("A", {"B1"}), item("GONE", {"B1"})})));
        auto store = loadedStore(root());
        store->createCollection("Mine");
        store->markOpened("A");
        QList<Item> theirItems{item("A", {"B1"}), item("NEW", {"THEIRS"})};
        theirItems[0].tags = QStringList{"theirs"};
        const QByteArray theirs = document({board("B1"), board("THEIRS", "Theirs")}, theirItems);
        QVERIFY(writeFile(file(), theirs));
        store->reload();
        settle();
        QStringList names;
        for (const Board &b : store->collections())
            names << b.name;
        QCOMPARE(names, QStringList({"Board", "Mine", "Theirs"}));
        QCOMPARE(store->items().size(), 2); // GONE was deleted there
        QCOMPARE(store->items().at(0).openCount, std::optional<qint64>(1)); // both changed A: ours stays
        QCOMPARE(store->items().at(1).id, QStringLiteral("NEW"));
        QCOMPARE(backups("conflict-*").size(), 1);
        QCOMPARE(readFile(root() + "/backups/" + backups("conflict-*").first()), theirs);

        advance(*store, 0.6);
        QCOMPARE(onDisk().collections.size(), 3);
        QCOMPARE(onDisk().items.size(), 2);
        // The version already kept is not kept twice.
        QCOMPARE(backups("conflict-*").size(), 1);
    }

    // A version written elsewhere that the store has not reloaded yet is
    // merged in by the next save, not written over.
    void saveMergesVersionWrittenElsewhere()
    {
        QVERIFY(writeFile(file(), document({board("B1")}, {item("A", {"B1"})})));
        auto store = loadedStore(root());
        QVERIFY(writeFile(file(), document({board("B1")}, {item("A", {"B1"}), item("IMPORTED", {"B1"})})));
        store->trash({"A"});
        QSignalSpy changed(store.get(), &LibraryStore::itemsChanged);
        advance(*store, 0.6);
        const LibraryFile written = onDisk();
        QCOMPARE(written.items.size(), 2);
        QVERIFY(written.items.at(0).trashedAt.has_value());
        QCOMPARE(written.items.at(1).id, QStringLiteral("IMPORTED"));
        QCOMPARE(store->items().size(), 2);
        QCOMPARE(changed.count(), 1);
        QVERIFY(!store->hasUnsavedChanges());
        QCOMPARE(backups("conflict-*").size(), 1);
    }

    void reloadOfUndecodableFileKeepsState()
    {
        QVERIFY(writeFile(file(), document({board("B1")}, {item("A", {"B1"})})));
        auto store = loadedStore(root());
        QVERIFY(writeFile(file(), "not json"));
        int done = 0;
        store->reload([&] { ++done; });
        settle();
        QCOMPARE(done, 1);
        QCOMPARE(store->items().size(), 1);
        QCOMPARE(store->syncing(), 0);
        // Before the store writes again, the broken version goes into backups.
        store->createCollection("Next");
        advance(*store, 0.6);
        QCOMPARE(onDisk().collections.size(), 2);
        QCOMPARE(backups("conflict-*").size(), 1);
        QCOMPARE(readFile(root() + "/backups/" + backups("conflict-*").first()), QByteArray("not json"));
    }

    void reopenFlushesAndSwitches()
    {
        const QString other = m_dir->path() + "/Other";
        QVERIFY(writeFile(other + "/library.json", document({board("O1", "Other")}, {item("X", {"O1"})})));
        QVERIFY(writeFile(file(), document({board("B1")})));
        auto store = loadedStore(root());
        store->createCollection("Pending");
        QVERIFY(store->savePending());
        store->reopen(other);
        QCOMPARE(onDisk().collections.size(), 2);
        QVERIFY(!store->loaded());
        QVERIFY(store->collections().isEmpty());
        QVERIFY(store->items().isEmpty());
        QCOMPARE(store->root(), other);
        settle();
        QVERIFY(store->loaded());
        QCOMPARE(store->collections().first().name, QStringLiteral("Other"));
        advance(*store, 5);
        QCOMPARE(onDisk().collections.size(), 2);
    }

    // Of two quick reopens only the last folder's result is applied.
    void staleLoadIsDropped()
    {
        const QString a = m_dir->path() + "/A";
        const QString b = m_dir->path() + "/B";
        QVERIFY(writeFile(a + "/library.json", document({board("A1", "A")})));
        QVERIFY(writeFile(b + "/library.json", document({board("B1", "B")})));
        LibraryStore store(root(), true);
        store.loadInBackground();
        store.reopen(a);
        store.reopen(b);
        settle();
        QVERIFY(store.loaded());
        QCOMPARE(store.collections().size(), 1);
        QCOMPARE(store.collections().first().name, QStringLiteral("B"));
        QVERIFY(!QFileInfo::exists(file()));
    }

    void droppedStoreNeverSaves()
    {
        QVERIFY(writeFile(file(), document({board("B1")})));
        const QByteArray before = readFile(file());
        {
            auto store = loadedStore(root());
            store->createCollection("Never");
            store->loadInBackground(); // a result still on its way
        }
        settle();
        m_time->scheduler.advance(5);
        QCOMPARE(readFile(file()), before);
    }

    // Edits made while a new library loads stay, with the Inbox after them.
    void editsDuringLoad()
    {
        LibraryStore store(root(), true);
        store.loadInBackground();
        const QString early = store.createCollection("Early");
        settle();
        QCOMPARE(store.collections().size(), 2);
        QCOMPARE(store.defaultBoardId(), early);
        QCOMPARE(store.collections().at(1).name, QStringLiteral("Inbox"));
        advance(store, 0.6);
        QCOMPARE(onDisk().collections.size(), 2);

        // With a file, the file's lists replace the edit.
        LibraryStore second(root(), true);
        second.loadInBackground();
        second.createCollection("Lost");
        settle();
        QCOMPARE(second.collections().size(), 2);
        QCOMPARE(second.collections().at(1).name, QStringLiteral("Inbox"));
    }

    void waitUntilLoaded()
    {
        QVERIFY(writeFile(file(), document({board("B1")})));
        LibraryStore store(root(), true);
        std::optional<bool> result;
        store.waitUntilLoaded([&](bool loaded) { result = loaded; });
        QVERIFY(!result);
        store.loadInBackground();
        QThreadPool::globalInstance()->waitForDone();
        m_time->scheduler.advance(0.06);
        QCOMPARE(result, std::optional<bool>(true));

        std::optional<bool> now;
        store.waitUntilLoaded([&](bool loaded) { now = loaded; });
        QCOMPARE(now, std::optional<bool>(true));
    }

    // The blocking wait of the command-line modes, on the real event loop.
    void blockingWaitUntilLoaded()
    {
        QVERIFY(writeFile(file(), document({board("B1")})));
        Scheduler::setMain(nullptr);
        {
            LibraryStore store(root(), true);
            store.loadInBackground();
            QVERIFY(store.waitUntilLoaded());
            QCOMPARE(store.defaultBoardId(), QStringLiteral("B1"));
        }
        QVERIFY(writeFile(file(), "broken"));
        {
            LibraryStore store(root(), true);
            store.loadInBackground();
            QVERIFY(!store.waitUntilLoaded());
        }
        Scheduler::setMain(&m_time->scheduler);
    }

    void servicesAroundLoadAndSave()
    {
        QStringList calls;
        auto &services = LibraryServices::installed();
        services.enforceStorageCap = [&](LibraryStore &, const std::optional<QString> &keep) {
            calls << (keep ? "cap:" + *keep : QStringLiteral("cap"));
        };
        services.backfillCovers = [&](LibraryStore &) { calls << "covers"; };
        services.pushSharedChanges = [&](LibraryStore &) { calls << "push"; };
        services.prefetchThumbnails = [&](LibraryStore &, const QList<Item> &items) {
            calls << QStringLiteral("prefetch:%1").arg(items.size());
        };
        services.syncCollections = [&](LibraryStore &, std::function<void()> done) {
            calls << "sync";
            done();
        };
        QList<Item> items{item("A", {"B1"}), item("T", {})};
        items[1].trashedAt = 810000000.0 - 31 * 86400.0;
        items[1].trashedFrom = QStringList{"B1"};
        QVERIFY(writeFile(file(), document({board("B1")}, items)));
        LibraryStore store(root(), true);
        store.loadInBackground([&] { calls << "completion"; });
        settle();
        QCOMPARE(calls, QStringList({"completion", "cap", "covers"}));
        QCOMPARE(store.items().size(), 1); // the 31-day-old trash is purged

        calls.clear();
        QVERIFY(store.save());
        m_time->scheduler.runPending();
        QVERIFY(calls.isEmpty()); // no shared collection
        store.updateCollection("B1", [](Board &b) { b.zone = "collection-B1"; });
        QVERIFY(store.save());
        m_time->scheduler.runPending();
        QCOMPARE(calls, QStringList{"push"});

        calls.clear();
        int done = 0;
        store.syncNow([&] { ++done; });
        QCOMPARE(store.syncing(), 2);
        settle();
        QCOMPARE(done, 1);
        QCOMPARE(store.syncing(), 0);
        QCOMPARE(calls, QStringList({"prefetch:1", "sync"}));
    }

    void syncNowWhileLoading()
    {
        LibraryStore store(root(), true);
        int done = 0;
        store.syncNow([&] { ++done; });
        QCOMPARE(done, 1);
        QCOMPARE(store.syncing(), 0);
        QVERIFY(store.lastSyncedAt().has_value());
    }
};

QTEST_GUILESS_MAIN(TestLibraryStore)
#include "tst_librarystore.moc"
