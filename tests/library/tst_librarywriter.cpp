// Saves on the background writer: order, newest snapshot first, the outcome
// coming back to the main thread, merges with versions written elsewhere
// while a write or a reload is under way, failures and the flush at the end.

#include "ConsoleCapture.h"
#include "SeamGuard.h"
#include "VirtualTime.h"

#include "library/LibraryStore.h"
#include "library/LibraryWriter.h"
#include "library/Services.h"

#include "platform/Clock.h"
#include "platform/FileCoordination.h"
#include "platform/Scheduler.h"
#include "platform/Termination.h"

#include "StoreFixtures.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace vellora;
using namespace storetest;

namespace {

// Holds the write lock of a file on a thread of its own (as another process
// would), after running `inside` under it, until release().
class LockHolder {
public:
    explicit LockHolder(const QString &path, std::function<void(const QString &)> inside = {})
    {
        m_thread = std::thread([this, path, inside] {
            coordinateWriting(path, [&](const QString &url) {
                if (inside)
                    inside(url);
                std::unique_lock lock(m_mutex);
                m_held = true;
                m_changed.notify_all();
                m_changed.wait(lock, [this] { return m_released; });
            });
        });
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_held; });
    }
    ~LockHolder()
    {
        release();
        m_thread.join();
    }
    // Any thread.
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = false;
    bool m_released = false;
    std::thread m_thread;
};

QStringList names(const QList<Board> &boards)
{
    QStringList out;
    for (const Board &b : boards)
        out << b.name;
    return out;
}

QStringList ids(const QList<Item> &items)
{
    QStringList out;
    for (const Item &i : items)
        out << i.id;
    return out;
}

} // namespace

class TestLibraryWriter : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<VirtualTime> m_time;
    std::optional<SeamGuard> m_seams;
    QString root() const { return m_dir->path() + "/Library"; }
    QString file() const { return root() + "/library.json"; }
    LibraryFile onDisk() const { return LibraryFile::decode(readFile(file())); }
    QStringList backups(const QString &pattern) const { return entries(root() + "/backups", {pattern}); }

    std::unique_ptr<LibraryStore> loadedStore()
    {
        auto store = std::make_unique<LibraryStore>(root(), true);
        store->loadInBackground();
        // Twice: the load, then the store's own copy of what it read.
        for (int round = 0; round < 2; ++round) {
            QThreadPool::globalInstance()->waitForDone();
            m_time->scheduler.runPending();
        }
        return store;
    }

    // Everything in the background finishes and comes back: reads, writes,
    // and the saves that taking them back asks for.
    void settle(LibraryStore &store)
    {
        for (int round = 0; round < 4; ++round) {
            QThreadPool::globalInstance()->waitForDone();
            store.waitForWrites();
            m_time->scheduler.runPending();
        }
        m_time->scheduler.advance(1);
        store.waitForWrites();
    }

    // The library as the store holds it, as a save would write it.
    static QByteArray inMemory(const LibraryStore &store)
    {
        LibraryFile file;
        file.collections = store.collections();
        file.items = store.items();
        for (const Board &b : store.collections())
            file.topLevelOrder << b.id;
        file.smartFolders = store.smartFolders();
        return file.encode();
    }

    SaveJob job(quint64 generation, const QString &name) const
    {
        SaveJob made;
        made.token = 1;
        made.root = root();
        made.generation = generation;
        made.document = LibraryFile::decode(document({board("B1"), board("C", name)}));
        made.base = LibraryFile::decode(document({board("B1")}));
        made.seen = fileStamp(file());
        made.seenAt = LibraryWriter::observe();
        return made;
    }

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

    // While one write waits for the lock, two more snapshots arrive: the
    // newest replaces the one still waiting, and is written after the first.
    void newestSnapshotWinsInOrder()
    {
        QVERIFY(writeFile(file(), document({board("B1")})));
        std::atomic<int> reported{0};
        LibraryWriter writer([&] { ++reported; });
        SaveJob first = job(1, "one");
        first.lastBackup = m_time->clock.now();
        SaveJob second = job(2, "two");
        SaveJob third = job(3, "three");
        third.lastBackup = m_time->clock.now();
        std::deque<SaveResult> results;
        {
            LockHolder lock(file());
            const quint64 firstTicket = writer.submit(first);
            QTRY_COMPARE(writer.inFlight(), firstTicket);
            writer.submit(second);
            writer.submit(third);
            QVERIFY(!writer.idle());
        }
        writer.waitUntilIdle();
        results = writer.takeResults();
        QTRY_COMPARE(reported.load(), 2); // told after the result is queued
        QCOMPARE(results.size(), size_t(2));
        QCOMPARE(results.at(0).generation, quint64(1));
        QCOMPARE(results.at(1).generation, quint64(3));
        QVERIFY(results.at(0).ticket < results.at(1).ticket);
        for (const SaveResult &result : results) {
            QCOMPARE(result.outcome, SaveOutcome::Written);
            QVERIFY(!result.merged);
        }
        QVERIFY(results.at(0).writtenAt < results.at(1).writtenAt);
        QCOMPARE(names(onDisk().collections), QStringList({"Board", "three"}));
        QCOMPARE(writer.lastWritten(1), fileStamp(file()));
        QCOMPARE(results.at(1).written, fileStamp(file()));
        // The third job was made before the first was written: the writer
        // knows its own write and takes it for nobody else's.
        QVERIFY(backups("conflict-*").isEmpty());
        QVERIFY(backups("library-*").isEmpty());
        QVERIFY(writer.idle());
    }

    // The write is on disk before its outcome is back on the main thread;
    // until then the change counts as unsaved. The timed backup is a copy of
    // exactly what was written.
    void unsavedUntilTheWriteComesBack()
    {
        QVERIFY(writeFile(file(), document({board("B1")})));
        auto store = loadedStore();
        const FileStamp before = fileStamp(file());
        store->createCollection("Mine");
        QVERIFY(store->savePending());
        std::optional<bool> answer;
        QVERIFY(store->saveSoon([&](bool written) { answer = written; }));
        QVERIFY(!store->savePending());
        QTRY_VERIFY(fileStamp(file()) != before);
        QTRY_VERIFY(store->writer().idle() == false && m_time->scheduler.pendingCount() > 0);
        QVERIFY(store->hasUnsavedChanges());
        QVERIFY(!answer);
        m_time->clock.advance(2);
        m_time->scheduler.runPending();
        QVERIFY(!store->hasUnsavedChanges());
        QCOMPARE(answer, std::optional<bool>(true));
        QCOMPARE(store->lastSyncedAt(), std::optional<double>(m_time->clock.now()));
        QCOMPARE(names(onDisk().collections), QStringList({"Board", "Mine"}));
        QCOMPARE(backups("library-*").size(), 1);
        QCOMPARE(readFile(root() + "/backups/" + backups("library-*").first()), readFile(file()));
        QVERIFY(store->writer().idle());
    }

    // Neither the common ancestor nor the writer may keep sharing the live
    // records once a load or a save is back: the next edit would otherwise
    // copy the whole library on the main thread.
    void liveRecordsStandAlone()
    {
        QVERIFY(writeFile(file(), document({board("B1")}, {item("A", {"B1"}), item("B", {"B1"})})));
        auto store = loadedStore();
        QVERIFY(store->items().isDetached());
        QVERIFY(store->collections().isDetached());
        store->trash({"A"});
        QVERIFY(store->save());
        settle(*store);
        QVERIFY(store->items().isDetached());
        QVERIFY(store->collections().isDetached());
        QVERIFY(!store->hasUnsavedChanges());
    }

    // A large file goes to disk past the page cache in whole blocks: the
    // pieces must arrive in order and the padding of the last block be cut.
    void largeFileWrittenWhole_data()
    {
        QTest::addColumn<QList<qsizetype>>("sizes");
        QTest::newRow("blocks and odd tails") << QList<qsizetype>{1, (qsizetype(16) << 20) + 3, 4095, 8 << 20, 7};
        QTest::newRow("exact blocks") << QList<qsizetype>{qsizetype(24) << 20};
        QTest::newRow("one byte over") << QList<qsizetype>{(qsizetype(16) << 20) + 1};
        QTest::newRow("small") << QList<qsizetype>{10, 0, 20};
    }

    void largeFileWrittenWhole()
    {
        QFETCH(QList<qsizetype>, sizes);
        std::vector<std::string> pieces;
        QByteArray expected;
        quint32 seed = 7;
        for (const qsizetype size : sizes) {
            std::string piece(size_t(size), '\0');
            for (char &c : piece)
                c = char((seed = seed * 1664525u + 1013904223u) >> 24);
            expected.append(piece.data(), size);
            pieces.push_back(std::move(piece));
        }
        const BytePieces views(pieces.begin(), pieces.end());
        QVERIFY(samePieces(expected, views));
        QVERIFY(!samePieces(expected + 'x', views));
        QVERIFY(!samePieces(expected.left(expected.size() - 1), views));

        const QString path = m_dir->filePath(QStringLiteral("large.json"));
        QVERIFY(writeFile(path, QByteArray(40 << 20, 'o')));
        writeFileAtomically(path, views);
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.size(), expected.size());
        QVERIFY(written.readAll() == expected);
    }

    void saveRacingReload_data()
    {
        QTest::addColumn<QString>("order");
        QTest::newRow("reload read first") << "reload first";
        QTest::newRow("write first") << "write first";
        QTest::newRow("both wait for the lock") << "race";
    }

    // Another program writes the file after the store made its snapshot; a
    // reload runs at the same time. Whichever comes back first, both sides'
    // changes end up in memory and on disk, and their version is kept once.
    void saveRacingReload()
    {
        QFETCH(QString, order);
        QVERIFY(writeFile(file(), document({board("B1")}, {item("A", {"B1"}), item("B", {"B1"})})));
        auto store = loadedStore();
        QList<Item> theirItems{item("A", {"B1"}), item("B", {"B1"}), item("NEW", {"THEIRS"})};
        theirItems[1].tags = QStringList{"theirs"};
        const QByteArray theirs = document({board("B1"), board("THEIRS", "Theirs")}, theirItems);
        store->trash({"A"});
        store->createCollection("Mine");

        if (order == "reload first") {
            // The reload reads their version; the writer then merges with
            // it; the reload's merge is taken back first, then the write's.
            QVERIFY(writeFile(file(), theirs));
            store->reload();
            QThreadPool::globalInstance()->waitForDone();
            QVERIFY(store->saveSoon());
            QTRY_VERIFY(m_time->scheduler.pendingCount() >= 2);
            m_time->scheduler.runPending();
        } else if (order == "write first") {
            // The writer merges and writes; the reload then reads that file
            // before the write's outcome is back.
            QVERIFY(writeFile(file(), theirs));
            QVERIFY(store->saveSoon());
            QTRY_VERIFY(m_time->scheduler.pendingCount() > 0);
            store->reload();
            QThreadPool::globalInstance()->waitForDone();
            m_time->scheduler.runPending();
        } else {
            LockHolder lock(file(), [&](const QString &url) { writeFileAtomically(url, theirs); });
            QVERIFY(store->saveSoon());
            store->reload();
            QTest::qWait(20);
        }
        settle(*store);

        const QStringList expectedBoards{"Board", "Mine", "Theirs"};
        QCOMPARE(names(store->collections()), expectedBoards);
        QCOMPARE(ids(store->items()), QStringList({"A", "B", "NEW"}));
        QVERIFY(store->items().at(0).trashedAt.has_value());
        QCOMPARE(store->items().at(1).tags, std::optional<QStringList>(QStringList{"theirs"}));
        QVERIFY(!store->hasUnsavedChanges());
        const LibraryFile written = onDisk();
        QCOMPARE(names(written.collections), expectedBoards);
        QCOMPARE(readFile(file()), inMemory(*store));
        QCOMPARE(backups("conflict-*").size(), 1);
        QCOMPARE(readFile(root() + "/backups/" + backups("conflict-*").first()), theirs);
    }

    // A save that merged comes back after a newer local change: the merge
    // joins that change instead of replacing it, and is saved again.
    void mergeComesBackAfterNewerEdit()
    {
        QVERIFY(writeFile(file(), document({board("B1")}, {item("A", {"B1"})})));
        auto store = loadedStore();
        const QByteArray theirs = document({board("B1")}, {item("A", {"B1"}), item("NEW", {"B1"})});
        {
            LockHolder lock(file(), [&](const QString &url) { writeFileAtomically(url, theirs); });
            store->createCollection("First");
            QVERIFY(store->saveSoon());
            QTRY_VERIFY(store->writer().inFlight() != 0);
            store->createCollection("Second");
            store->markOpened("A");
            QVERIFY(store->saveSoon());
        }
        QVERIFY(store->waitForWrites());
        QCOMPARE(names(store->collections()), QStringList({"Board", "First", "Second"}));
        QCOMPARE(ids(store->items()), QStringList({"A", "NEW"}));
        QCOMPARE(store->items().first().openCount, std::optional<qint64>(1));
        QVERIFY(!store->hasUnsavedChanges());
        const LibraryFile written = onDisk();
        QCOMPARE(names(written.collections), QStringList({"Board", "First", "Second"}));
        QCOMPARE(readFile(file()), inMemory(*store));
        QCOMPARE(backups("conflict-*").size(), 1);
    }

    void failedWriteIsReported_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::newRow("folder in the way") << "folder";
        QTest::newRow("read-only library folder") << "read-only";
    }

    // A write that fails says why when its outcome comes back, leaves the
    // change unsaved, and the next save writes it.
    void failedWriteIsReported()
    {
        QFETCH(QString, obstacle);
        if (obstacle == "read-only" && ::geteuid() == 0)
            QSKIP("permissions do not stop root");
        QVERIFY(writeFile(file(), document({board("B1")})));
        auto store = loadedStore();
        QVERIFY(store->save());
        const QByteArray before = readFile(file());
        if (obstacle == "folder") {
            QFile::remove(file());
            QVERIFY(writeFile(file() + "/in-the-way", "x"));
        } else {
            QVERIFY(QFile::setPermissions(root(), QFile::ReadOwner | QFile::ExeOwner));
        }
        const auto synced = store->lastSyncedAt();
        m_time->clock.advance(5);

        ConsoleCapture console;
        store->createCollection("Unsaved");
        std::optional<bool> answer;
        QVERIFY(store->saveSoon([&](bool written) { answer = written; }));
        QVERIFY(console.lines().isEmpty()); // not before the outcome is back
        QVERIFY(!store->waitForWrites());
        QCOMPARE(answer, std::optional<bool>(false));
        QCOMPARE(console.lines().size(), 1);
        QCOMPARE(console.lines().first(), "library.json not saved: " + store->lastSaveError());
        QVERIFY(!store->lastSaveError().isEmpty());
        QVERIFY(store->hasUnsavedChanges());
        QCOMPARE(store->lastSyncedAt(), synced);
        if (obstacle == "read-only")
            QCOMPARE(readFile(file()), before);

        if (obstacle == "folder")
            QDir(file()).removeRecursively();
        else
            QVERIFY(QFile::setPermissions(root(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        m_time->scheduler.advance(0.6); // the debounce of the edit was replaced by the save
        QVERIFY(store->saveSoon());
        QVERIFY(store->waitForWrites());
        QCOMPARE(console.lines().size(), 1);
        QVERIFY(store->lastSaveError().isEmpty());
        QVERIFY(!store->hasUnsavedChanges());
        QCOMPARE(names(onDisk().collections), QStringList({"Board", "Unsaved"}));
    }

    void flushAtTheEnd_data()
    {
        QTest::addColumn<bool>("signal");
        QTest::newRow("quit") << false;
        QTest::newRow("termination signal") << true;
    }

    // Quitting, or a termination signal, while one write waits for the lock
    // and a newer change waits in the debounce: both reach the disk first.
    void flushAtTheEnd()
    {
        QFETCH(bool, signal);
        QVERIFY(writeFile(file(), document({board("B1")})));
        auto store = loadedStore();
        {
            LockHolder lock(file());
            store->createCollection("In flight");
            QVERIFY(store->saveSoon());
            QTRY_VERIFY(store->writer().inFlight() != 0);
            store->createCollection("Waiting");
            QVERIFY(store->savePending());
            std::thread releaser([&lock] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                lock.release();
            });
            if (signal)
                Termination::runHooksForTesting(SIGTERM);
            else
                QVERIFY(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit", Qt::DirectConnection));
            releaser.join();
        }
        QVERIFY(!store->hasUnsavedChanges());
        QVERIFY(store->writer().idle());
        QCOMPARE(names(onDisk().collections), QStringList({"Board", "In flight", "Waiting"}));
    }
};

QTEST_GUILESS_MAIN(TestLibraryWriter)
#include "tst_librarywriter.moc"
