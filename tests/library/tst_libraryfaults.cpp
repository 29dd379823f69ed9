// The library core where a careless version loses data or calls a failure a
// success: purges that hit an active namesake, drops removed before the
// library that holds them was saved, half-written drops, a save that waits
// in its debounce when the session ends, and files that killed writers left
// behind. A canary file beside the library must come through every case.

#include "ManualClock.h"
#include "ScopedClock.h"
#include "SeamGuard.h"

#include "enrichment/StoreDrops.h"
#include "library/Drops.h"
#include "library/LibraryFileAccess.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "library/LibrarySync.h"
#include "library/UnlistedFiles.h"

#include "platform/Clock.h"
#include "platform/FileCoordination.h"
#include "platform/Scheduler.h"

#include "PictureFixtures.h"
#include "StoreFixtures.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <csignal>
#include <optional>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vellora;
using namespace storetest;

namespace {

constexpr double kDay = 86400.0;
const QByteArray kCanary = "canary: nothing may touch this file\n";

void setModified(const QString &path, double unixSeconds)
{
    struct timespec times[2];
    times[0].tv_sec = time_t(unixSeconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW);
}

double unixNow()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

// A drops library whose import stands for a writer that keeps writing the
// claimed file through the descriptor it still holds.
class StillWrittenLibrary : public DropsLibrary {
public:
    explicit StillWrittenLibrary(QString folder) : m_folder(std::move(folder)) {}
    DropImport importPicture(const QString &, const QString &) override
    {
        for (const QString &name : QDir(m_folder).entryList(QDir::Files)) {
            if (!name.contains(".importing-"))
                continue;
            QFile file(m_folder + "/" + name);
            if (file.open(QIODevice::Append))
                file.write("the rest of the picture");
        }
        return DropImport::Imported;
    }
    QString addLink(const QString &, const QString &) override { return {}; }
    void fetchLinkMetadata(const QString &, std::function<void()> done) override { done(); }
    void endImport() override {}

private:
    QString m_folder;
};

} // namespace

class TestLibraryFaults : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::optional<SeamGuard> m_seams;
    QString base() const { return m_dir->path(); }
    QString root() const { return base() + "/Library"; }
    QString canary() const { return base() + "/canary.txt"; }
    QString drops() const { return root() + "/Drops"; }

    void writeMedia(const QString &stored, const QString &thumbnail)
    {
        QVERIFY(writeFile(root() + "/originals/" + stored, "original " + stored.toUtf8()));
        QVERIFY(writeFile(root() + "/thumbnails/" + thumbnail, "thumbnail"));
        QVERIFY(writeFile(root() + "/covers/" + thumbnail, "cover"));
    }

    void runScan(LibraryStore &store, DropsScanReport *report = nullptr)
    {
        bool done = false;
        startDropsScan(store, [&](const DropsScanReport &r) {
            if (report)
                *report = r;
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
    }

private slots:
    void init()
    {
        m_seams.emplace();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QDir().mkpath(root());
        QVERIFY(writeFile(canary(), kCanary));
        qputenv("VELLORA_ROOT", QFile::encodeName(root()));
    }

    void cleanup()
    {
        QThreadPool::globalInstance()->waitForDone();
        QCOMPARE(readFile(canary()), kCanary);
        qunsetenv("VELLORA_ROOT");
        m_seams.reset();
    }

    // ------------------------------------------------------------ purge

    void removalTakesTheTrashedRecordOnly_data()
    {
        QTest::addColumn<QString>("shared"); // what the trashed record shares with the active one
        QTest::addColumn<bool>("purge");     // the 30-day purge, else a permanent deletion
        for (const bool purge : {true, false}) {
            const char *how = purge ? "purge" : "delete";
            for (const char *shared : {"id", "storedFilename", "thumbnailFilename", "nothing"})
                QTest::addRow("%s, shared %s", how, shared) << QString(shared) << purge;
        }
    }

    void removalTakesTheTrashedRecordOnly()
    {
        QFETCH(QString, shared);
        QFETCH(bool, purge);
        Item active = item("ACTIVE", {"DEF"});
        Item trashed = item("TRASHED", {});
        trashed.trashedAt = now() - 40 * kDay;
        trashed.trashedFrom = QStringList{"DEF"};
        if (shared == "id")
            trashed.id = active.id;
        else if (shared == "storedFilename")
            trashed.storedFilename = active.storedFilename;
        else if (shared == "thumbnailFilename")
            trashed.thumbnailFilename = active.thumbnailFilename;
        writeMedia(active.storedFilename, active.thumbnailFilename);
        writeMedia(trashed.storedFilename, trashed.thumbnailFilename);
        QVERIFY(writeFile(root() + "/library.json", document({board("DEF", "Inbox")}, {active, trashed})));

        LibraryStore store(root(), false);
        QVERIFY(store.loaded());
        if (purge)
            store.purgeTrash(30);
        else
            store.deletePermanently(trashed.id);

        QCOMPARE(store.items().size(), 1);
        const Item left = store.items().first();
        QVERIFY(!left.trashedAt);
        QCOMPARE(left.id, active.id);
        QCOMPARE(left.storedFilename, active.storedFilename);
        // The active item's files all stay; the trashed one's own files go.
        QVERIFY(QFile::exists(root() + "/originals/" + active.storedFilename));
        QVERIFY(QFile::exists(root() + "/thumbnails/" + active.thumbnailFilename));
        QVERIFY(QFile::exists(root() + "/covers/" + active.thumbnailFilename));
        if (trashed.storedFilename != active.storedFilename)
            QVERIFY(!QFile::exists(root() + "/originals/" + trashed.storedFilename));
        if (trashed.thumbnailFilename != active.thumbnailFilename)
            QVERIFY(!QFile::exists(root() + "/thumbnails/" + trashed.thumbnailFilename));
        QVERIFY(store.save());
        const LibraryFile saved = LibraryFile::decode(readFile(root() + "/library.json"));
        QCOMPARE(saved.items.size(), 1);
        QVERIFY(!saved.items.first().trashedAt);
    }

    // ------------------------------------------------------------ left-over files

    void unlistedFilesMovedAside_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("hoursOld");  // of the file's times, by the sweep's clock
        QTest::addColumn<QString>("expected"); // "stays", "moved" or "removed"
        QTest::newRow("listed original") << "originals" << "LISTED.png" << 5.0 << "stays";
        QTest::newRow("listed cover") << "covers" << "LISTED.jpg" << 5.0 << "stays";
        QTest::newRow("unlisted original, old") << "originals" << "GONE.png" << 2.0 << "moved";
        QTest::newRow("unlisted thumbnail, old") << "thumbnails" << "GONE.jpg" << 2.0 << "moved";
        QTest::newRow("unlisted cover, old") << "covers" << "GONE.jpg" << 2.0 << "moved";
        QTest::newRow("unlisted favicon, old") << "favicons" << "GONE.png" << 2.0 << "moved";
        QTest::newRow("unlisted original, young") << "originals" << "NEW.png" << 0.5 << "stays";
        QTest::newRow("dead writer's temporary") << "originals" << ".X.png.tmp-Ab12Cd" << 2.0 << "removed";
        QTest::newRow("live writer's temporary") << "thumbnails" << ".X.jpg.tmp-Ab12Cd" << 0.2 << "stays";
        QTest::newRow("older build's dead temporary") << "originals" << "X.png.tmp-Ab12Cd" << 2.0 << "removed";
        QTest::newRow("older build's live temporary") << "thumbnails" << "X.jpg.tmp-Ab12Cd" << 0.2 << "stays";
        QTest::newRow("hidden file, no temporary") << "covers" << ".X.jpg.backup" << 2.0 << "moved";
    }

    void unlistedFilesMovedAside()
    {
        QFETCH(QString, folder);
        QFETCH(QString, name);
        QFETCH(double, hoursOld);
        QFETCH(QString, expected);
        const QString path = root() + "/" + folder + "/" + name;
        QVERIFY(writeFile(path, "bytes"));
        // The file was written just now; the sweep's clock runs ahead instead.
        const double sweepAt = now() + hoursOld * 3600.0;
        Item listed = item("LISTED", {"DEF"});
        listed.faviconFilename = QStringLiteral("LISTED.png");
        const UnlistedSweep sweep = sweepUnlistedFiles(root(), listedNames({listed}), sweepAt);

        const QString day = dateFromReferenceSeconds(sweepAt).toUTC().toString("yyyy-MM-dd");
        const QString aside = root() + "/backups/unlisted-" + day + "/" + folder + "/" + name;
        QCOMPARE(QFile::exists(path), expected == "stays");
        QCOMPARE(QFile::exists(aside), expected == "moved");
        QCOMPARE(sweep.moved, expected == "moved" ? 1 : 0);
        QCOMPARE(sweep.temporaries, expected == "removed" ? 1 : 0);
        if (expected == "moved")
            QCOMPARE(readFile(aside), QByteArray("bytes"));
    }

    // A file that a sync client brought here a moment ago keeps the old
    // time it had elsewhere; it is young all the same.
    void justArrivedFileIsYoung()
    {
        const QString path = root() + "/originals/SYNCED.png";
        QVERIFY(writeFile(path, "bytes"));
        setModified(path, unixNow() - 3 * kDay);
        sweepUnlistedFiles(root(), listedNames({}), now() + 600);
        QVERIFY(QFile::exists(path));
    }

    // Loading a library sweeps; a new library (nothing read) does not.
    void loadSweeps()
    {
        QVERIFY(writeFile(root() + "/library.json", document({board("DEF", "Inbox")}, {item("KEPT", {"DEF"})})));
        writeMedia("KEPT.png", "KEPT.jpg");
        writeMedia("LOST.png", "LOST.jpg");
        ManualClock clock(now() + 2 * 3600.0);
        ScopedClock scoped(&clock);
        LibraryStore store(root(), false);
        QVERIFY(store.loaded());
        const QString aside = root() + "/backups/unlisted-"
            + dateFromReferenceSeconds(clock.now()).toUTC().toString("yyyy-MM-dd");
        QTRY_VERIFY(QFile::exists(aside + "/originals/LOST.png"));
        QTRY_VERIFY(QFile::exists(aside + "/covers/LOST.jpg"));
        QVERIFY(QFile::exists(root() + "/originals/KEPT.png"));
        QVERIFY(QFile::exists(root() + "/covers/KEPT.jpg"));
    }

    // ------------------------------------------------------------ the end of the session

    void signalSavesFirst_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM (logout, kill)") << int(SIGTERM);
        QTest::newRow("SIGINT (Ctrl-C)") << int(SIGINT);
        QTest::newRow("SIGHUP (session gone)") << int(SIGHUP);
    }

    void signalSavesFirst()
    {
        QFETCH(int, signal);
        QVERIFY(writeFile(root() + "/library.json", document({board("DEF", "Inbox")})));
        QProcess helper;
        helper.start(QStringLiteral(STORE_HELPER), {"edit-and-wait", root()});
        QVERIFY(helper.waitForStarted(10000));
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += helper.readAllStandardOutput()).contains("ready"), 20000);
        ::kill(pid_t(helper.processId()), signal);
        QVERIFY(helper.waitForFinished(20000));
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), 128 + signal);
        const LibraryFile saved = LibraryFile::decode(readFile(root() + "/library.json"));
        QCOMPARE(saved.collections.size(), 2);
        QCOMPARE(saved.collections.last().name, QStringLiteral("Pending"));
    }

    // A drop whose name is not valid UTF-8 is taken in all the same.
    void dropWithUndecodableName()
    {
        QVERIFY(writeFile(root() + "/library.json", document({board("DEF", "Inbox")})));
        LibraryStore store(root(), false);
        QDir().mkpath(drops());
        const QByteArray raw = QFile::encodeName(drops()) + "/caf\xe9.png"; // Latin-1, not UTF-8
        {
            const QByteArray bytes = fixtures::pngBytes(30, 20, Qt::darkGreen);
            const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
            ::close(fd);
            struct timespec times[2] = {{time(nullptr) - 30, 0}, {time(nullptr) - 30, 0}};
            ::utimensat(AT_FDCWD, raw.constData(), times, 0);
        }
        runScan(store);
        QCOMPARE(store.items().size(), 1);
        QCOMPARE(store.items().first().originalFilename, QStringLiteral("caf_.png"));
        struct stat info;
        QVERIFY(::stat(raw.constData(), &info) != 0);
    }

    // ------------------------------------------------------------ two machines

    // Two stores on one folder, as two machines on one synced library: the
    // first saves, the second saves over it and merges field by field.
    void twoStoresMerge_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("delete vs open") << "delete" << "open";
        QTest::newRow("trash vs open") << "trash" << "open";
        QTest::newRow("open vs trash") << "open" << "trash";
        QTest::newRow("move vs tag") << "move" << "tag";
        QTest::newRow("add vs add") << "add Y" << "add Z";
        QTest::newRow("rename vs rename") << "rename first" << "rename second";
    }

    void twoStoresMerge()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QVERIFY(writeFile(root() + "/library.json",
                          document({board("DEF", "Inbox"), board("C2", "Other")}, {item("X", {"DEF"})})));
        LibraryStore one(root(), false);
        LibraryStore two(root(), false);
        const auto act = [](LibraryStore &store, const QString &what) {
            if (what == "delete")
                store.deletePermanently("X");
            else if (what == "open")
                store.markOpened("X");
            else if (what == "trash")
                store.trash({"X"});
            else if (what == "move")
                store.setCollections({"C2"}, "X");
            else if (what == "tag")
                store.updateItem("X", [](Item &i) { i.tags = QStringList{"tagged"}; });
            else if (what.startsWith("add"))
                store.appendItems({item(what.mid(4), {"DEF"})});
            else if (what.startsWith("rename"))
                store.renameCollection("C2", what);
        };
        act(one, first);
        QVERIFY(one.save());
        act(two, second);
        QVERIFY(two.save());
        const LibraryFile merged = LibraryFile::decode(readFile(root() + "/library.json"));
        QHash<QString, Item> items;
        for (const Item &i : merged.items)
            items.insert(i.id, i);
        if (first == "delete") {
            QVERIFY(!items.contains("X"));
        } else if (first == "trash" || second == "trash") {
            QVERIFY(items.value("X").trashedAt);
            QVERIFY(items.value("X").collectionIds.isEmpty());
            QCOMPARE(items.value("X").openCount.value_or(0), 1);
        } else if (first == "move") {
            QCOMPARE(items.value("X").collectionIds, QStringList{"C2"});
            QCOMPARE(items.value("X").tags.value_or(QStringList()), QStringList{"tagged"});
        } else if (first.startsWith("add")) {
            QVERIFY(items.contains("X") && items.contains("Y") && items.contains("Z"));
        } else {
            // A true clash keeps this machine's value; the other is in a backup.
            QCOMPARE(merged.collections.at(1).name, QStringLiteral("rename second"));
            QVERIFY(!QDir(root() + "/backups").entryList({"conflict-*"}).isEmpty());
        }
        QCOMPARE(two.items().size(), merged.items.size());
    }

    // "conflict-" backups: 30 days, and the newest 50.
    void conflictBackupsPruned()
    {
        ManualClock clock(now());
        ScopedClock scoped(&clock);
        const QString backups = root() + "/backups";
        QVERIFY(writeFile(backups + "/" + libraryBackupName("conflict", clock.now() - 40 * kDay, 1), "old"));
        QVERIFY(writeFile(backups + "/" + libraryBackupName("library", clock.now() - 40 * kDay, 2), "timed"));
        for (int i = 0; i < 60; ++i) {
            clock.advance(1);
            QVERIFY(writeLibraryBackup("version", root(), "conflict"));
        }
        const QStringList left = QDir(backups).entryList({"conflict-*"}, QDir::Files, QDir::Name);
        QCOMPARE(left.size(), 50);
        QVERIFY(left.first() > libraryBackupName("conflict", clock.now() - 50, 0));
        QCOMPARE(QDir(backups).entryList({"library-*"}).size(), 1);
    }

    // A sync client's conflict copy beside library.json: merged into it,
    // never chosen when it does not decode, and always kept as a backup.
    void syncClientConflictCopy_data()
    {
        QTest::addColumn<QString>("copyName");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("Syncthing, newer, undecodable") << "library.sync-conflict-20261209-075203-ABCDEFG.json" << false;
        QTest::newRow("Syncthing, newer, with its own item") << "library.sync-conflict-20261209-075203-ABCDEFG.json" << true;
        QTest::newRow("Dropbox, newer, with its own item") << "library (conflicted copy 2026-12-09).json" << true;
    }

    void syncClientConflictCopy()
    {
        QFETCH(QString, copyName);
        QFETCH(bool, decodes);
        const QList<Board> boards{board("DEF", "Inbox")};
        QVERIFY(writeFile(root() + "/library.json", document(boards, {item("X", {"DEF"}), item("HERE", {"DEF"})})));
        const QString copy = root() + "/" + copyName;
        const QByteArray theirs = decodes ? document(boards, {item("X", {"DEF"}), item("THERE", {"DEF"})})
                                          : QByteArray("{\"collections\": [ truncated");
        QVERIFY(writeFile(copy, theirs));
        setModified(copy, unixNow() + 60); // newer than library.json
        LibraryStore store(root(), false);
        QVERIFY(store.loaded());
        QStringList ids;
        for (const Item &i : store.items())
            ids << i.id;
        ids.sort();
        QCOMPARE(ids, decodes ? QStringList({"HERE", "THERE", "X"}) : QStringList({"HERE", "X"}));
        QVERIFY(!QFile::exists(copy));
        bool kept = false;
        for (const QString &name : QDir(root() + "/backups").entryList({"conflict-*"}))
            kept = kept || readFile(root() + "/backups/" + name) == theirs;
        QVERIFY(kept);
    }

    // A running program sees a conflict copy appear and merges it in.
    void runningStoreNoticesConflictCopy()
    {
        const QList<Board> boards{board("DEF", "Inbox")};
        QVERIFY(writeFile(root() + "/library.json", document(boards, {item("X", {"DEF"})})));
        LibraryStore store(root(), false);
        QVERIFY(store.loaded());
        LibrarySync sync;
        sync.start(syncedLibrary(store));
        const QString copy = root() + "/library.sync-conflict-20261209-075203-ABCDEFG.json";
        QVERIFY(writeFile(copy, document(boards, {item("X", {"DEF"}), item("THERE", {"DEF"})})));
        QTRY_VERIFY_WITH_TIMEOUT(store.item("THERE").has_value(), 10000);
        QTRY_VERIFY(!QFile::exists(copy));
        sync.stop();
    }

    // ------------------------------------------------------------ drops

    // The writer of a drop holds its coordination lock and pauses longer
    // than the settle time: the drop waits, and the complete bytes arrive.
    void dropWriterHoldsItsLock()
    {
        QVERIFY(writeFile(root() + "/library.json", document({board("DEF", "Inbox")})));
        LibraryStore store(root(), false);
        const QByteArray complete = fixtures::pngBytes(300, 200, Qt::darkCyan);
        const QString drop = drops() + "/shared.png";
        QVERIFY(writeFile(drop, complete.left(complete.size() / 2)));
        setModified(drop, unixNow() - 30);
        const int lock = ::open(QFile::encodeName(coordinationLockPath(drop)).constData(), O_RDWR | O_CREAT, 0644);
        QVERIFY(lock >= 0);
        QCOMPARE(::flock(lock, LOCK_EX), 0);

        DropsScanReport report;
        runScan(store, &report);
        QCOMPARE(report.claimed, 0);
        QVERIFY(store.items().isEmpty());
        QCOMPARE(readFile(drop), complete.left(complete.size() / 2));

        QVERIFY(writeFile(drop, complete));
        setModified(drop, unixNow() - 30);
        ::flock(lock, LOCK_UN);
        ::close(lock);
        runScan(store, &report);
        QCOMPARE(store.items().size(), 1);
        QCOMPARE(readFile(root() + "/originals/" + store.items().first().storedFilename), complete);
        QVERIFY(!QFile::exists(drop));
    }

    // A drop that grows after it was claimed is never removed.
    void dropChangedAfterClaimStays()
    {
        const QString drop = drops() + "/growing.png";
        QVERIFY(writeFile(drop, "the first part, "));
        setModified(drop, unixNow() - 30);
        StillWrittenLibrary library(drops());
        DropsScanRequest request{drops(), "DEF", claimMarkerFor("ABCDEF01"), {}};
        bool done = false;
        DropsScanReport report;
        ingestDrops(request, library, [&](const DropsScanReport &r) {
            report = r;
            done = true;
        });
        QTRY_VERIFY(done);
        QCOMPARE(report.kept, 1);
        QCOMPARE(readFile(drop), QByteArray("the first part, the rest of the picture"));
    }

    // A library that cannot be saved keeps its drops; once it can, the same
    // drops are recognised and removed after the save.
    void dropsStayUntilTheLibraryIsSaved()
    {
        QVERIFY(writeFile(root() + "/library.json", document({board("DEF", "Inbox")})));
        LibraryStore store(root(), false);
        QVERIFY(writeFile(drops() + "/one.png", fixtures::pngBytes(40, 30, Qt::red)));
        setModified(drops() + "/one.png", unixNow() - 30);
        // No save can take the coordination lock of library.json.
        const QString lock = coordinationLockPath(root() + "/library.json");
        QFile::remove(lock);
        QVERIFY(QDir().mkpath(lock));

        DropsScanReport report;
        runScan(store, &report);
        QCOMPARE(report.kept, 1);
        QVERIFY(QFile::exists(drops() + "/one.png"));
        QCOMPARE(LibraryFile::decode(readFile(root() + "/library.json")).items.size(), 0);

        QVERIFY(QDir(lock).removeRecursively());
        resetDropAttempts();
        setModified(drops() + "/one.png", unixNow() - 30); // the claim renewed its time
        runScan(store, &report);
        QCOMPARE(report.kept, 0);
        QVERIFY(!QFile::exists(drops() + "/one.png"));
        QCOMPARE(LibraryFile::decode(readFile(root() + "/library.json")).items.size(), 1);
    }
};

QTEST_MAIN(TestLibraryFaults)
#include "tst_libraryfaults.moc"
