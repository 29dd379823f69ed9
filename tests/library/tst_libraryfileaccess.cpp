#include "ConsoleCapture.h"
#include "FakeUbiquity.h"
#include "ManualClock.h"
#include "ScopedClock.h"
#include "ScopedUbiquity.h"

#include "library/CodingSupport.h"
#include "library/LibraryFileAccess.h"

#include "platform/Clock.h"
#include "platform/FileCoordination.h"
#include "platform/FileVersions.h"
#include "platform/Ubiquity.h"

#include "StoreFixtures.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

using namespace vellora;
using namespace storetest;

namespace {

QByteArray fixture(const char *name)
{
    QFile file(QStringLiteral(VELLORA_RECORDS_FIXTURES "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The general decoder's verdict on `bytes`: the records written back, or the error.
QString generalOutcome(const QByteArray &bytes)
{
    try {
        return QString::fromUtf8(LibraryFile::fromJSON(coding::parse(bytes)).encode());
    } catch (const DecodingError &error) {
        return QStringLiteral("library.json could not be decoded: ") + error.describe();
    }
}

void setModified(const QString &path, double referenceSeconds)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(dateFromReferenceSeconds(referenceSeconds), QFileDevice::FileModificationTime));
}
} // namespace

class TestLibraryFileAccess : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString root() const { return m_dir->path() + "/Library"; }
    QString file() const { return root() + "/library.json"; }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QDir().mkpath(root());
    }

    void readStatuses_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("asFolder");
        QTest::addColumn<int>("status");
        QTest::newRow("absent") << QByteArray() << false << int(LibraryReadStatus::Absent);
        QTest::newRow("zero bytes") << QByteArray("") << false << int(LibraryReadStatus::Undecodable);
        QTest::newRow("not json") << QByteArray("{\"collections\": [") << false << int(LibraryReadStatus::Undecodable);
        QTest::newRow("no items key") << QByteArray("{\"collections\":[],\"topLevelOrder\":[]}") << false
                                      << int(LibraryReadStatus::Undecodable);
        QTest::newRow("no collections") << QByteArray("{\"collections\":[],\"items\":[],\"topLevelOrder\":[]}") << false
                                        << int(LibraryReadStatus::NoCollections);
        QTest::newRow("a folder in its place") << QByteArray() << true << int(LibraryReadStatus::Unreadable);
        QTest::newRow("loaded") << document({board("B1")}) << false << int(LibraryReadStatus::Loaded);
    }

    // Only a missing file means "no library"; everything else is told apart.
    void readStatuses()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, asFolder);
        QFETCH(int, status);
        if (asFolder)
            QDir().mkpath(file());
        else if (!content.isNull())
            QVERIFY(writeFile(file(), content));
        ConsoleCapture console;
        const LibraryRead read = readLibraryFile(root());
        QCOMPARE(int(read.status), status);
        QCOMPARE(read.file.has_value(), status == int(LibraryReadStatus::Loaded));
        const bool explained = status != int(LibraryReadStatus::Loaded) && status != int(LibraryReadStatus::Absent);
        QCOMPARE(!read.reason.isEmpty(), explained);
        QVERIFY(console.lines().isEmpty());
        for (const char *folder : {"originals", "thumbnails", "covers", "favicons"})
            QVERIFY(QFileInfo(root() + "/" + folder).isDir());
        QVERIFY(!QFileInfo::exists(root() + "/backups"));
        if (!asFolder && !content.isNull())
            QCOMPARE(readFile(file()), content);
    }

    void largeFilesAsTheGeneralDecoderReadsThem_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("status");
        const QByteArray whole = largeLibrary().encode();
        QTest::newRow("loads") << whole << int(LibraryReadStatus::Loaded);
        QTest::newRow("golden fixture") << fixture("library-full.golden.json") << int(LibraryReadStatus::Loaded);
        QTest::newRow("cut off") << whole.left(whole.size() * 4 / 5) << int(LibraryReadStatus::Undecodable);
        QTest::newRow("wrong type late in the list")
            << changedAfter(whole, "I5800", "\"pixelHeight\" : 10", "\"pixelHeight\" : \"tall\"")
            << int(LibraryReadStatus::Undecodable);
        // The fast road hands this one over after giving bytes back; the
        // general road reads it from the file again.
        QTest::newRow("escaped member name late in the list")
            << changedAfter(whole, "I5800", "\"contentHash\"", "\"\\u0063ontentHash\"")
            << int(LibraryReadStatus::Loaded);
        QTest::newRow("no collections") << largeLibrary(false).encode() << int(LibraryReadStatus::NoCollections);
    }

    // A read gives the bytes of a file that loads back as it decodes them;
    // every outcome is still the general decoder's, a file that does not load
    // keeps its bytes for the copy made aside, and the file itself stays as it was.
    void largeFilesAsTheGeneralDecoderReadsThem()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, status);
        QVERIFY(!content.isEmpty());
        QVERIFY(writeFile(file(), content));
        const QString expected = generalOutcome(content);
        for (const KeepBytes keep : {KeepBytes::OnlyWhenNotLoaded, KeepBytes::Always}) {
            const LibraryRead read = readLibraryFile(root(), keep);
            QCOMPARE(int(read.status), status);
            if (status == int(LibraryReadStatus::Loaded)) {
                QVERIFY(read.file.has_value());
                QCOMPARE(QString::fromUtf8(read.file->encode()), expected);
                QCOMPARE(read.bytes.isEmpty(), keep == KeepBytes::OnlyWhenNotLoaded);
            } else {
                QVERIFY(!read.file.has_value());
                if (status == int(LibraryReadStatus::Undecodable))
                    QCOMPARE(read.reason, expected);
            }
            if (status != int(LibraryReadStatus::Loaded) || keep == KeepBytes::Always)
                QVERIFY(read.bytes == content);
            QCOMPARE(read.stamp, fileStamp(file()));
            QVERIFY(readFile(file()) == content);
        }
        QVERIFY(!QFileInfo::exists(root() + "/backups"));
    }

    void fileSizesFilledIn()
    {
        QList<Item> items{item("A", {"B1"}), item("B", {"B1"}), item("C", {"B1"}), item("D", {"B1"})};
        items[0].fileSize.reset();
        items[1].fileSize.reset();
        items[2].fileSize.reset();
        items[2].storedFilename = "../outside.png";
        items[3].fileSize = 77;
        QVERIFY(writeFile(root() + "/originals/A.png", "12345"));
        QVERIFY(writeFile(m_dir->path() + "/outside.png", "123"));
        const QByteArray bytes = document({board("B1")}, items);
        QVERIFY(writeFile(file(), bytes));
        const LibraryRead read = readLibraryFile(root());
        QCOMPARE(int(read.status), int(LibraryReadStatus::Loaded));
        QCOMPARE(read.file->items.at(0).fileSize, std::optional<qint64>(5));
        QCOMPARE(read.file->items.at(1).fileSize, std::optional<qint64>(0));
        QCOMPARE(read.file->items.at(2).fileSize, std::optional<qint64>(0));
        QCOMPARE(read.file->items.at(3).fileSize, std::optional<qint64>(77));
        QCOMPARE(readFile(file()), bytes);
        QCOMPARE(read.stamp, fileStamp(file()));
    }

    // Enough items that the sizes are taken on several threads: each item
    // gets the size of its own original whatever part it falls in, a folder
    // where the original should be counts as nothing, and a link to a file
    // is followed.
    void fileSizesOfAManyItemLibrary()
    {
        constexpr int count = 6001;
        QVERIFY(writeFile(m_dir->path() + "/linked.png", "1234567"));
        QList<Item> items;
        QList<qint64> expected;
        for (int i = 0; i < count; ++i) {
            const QString id = QStringLiteral("I%1").arg(i);
            Item it = item(id, {"B1"});
            it.fileSize.reset();
            const QString original = root() + "/originals/" + id + ".png";
            switch (i % 4) {
            case 0:
                QVERIFY(writeFile(original, QByteArray(1 + i % 13, 'x')));
                expected << 1 + i % 13;
                break;
            case 1:
                expected << 0;
                break;
            case 2:
                QVERIFY(QDir().mkpath(original));
                expected << 0;
                break;
            default:
                QVERIFY(QFile::link(m_dir->path() + "/linked.png", original));
                expected << 7;
            }
            items << it;
        }
        items.last().fileSize = 99;
        expected.last() = 99;
        QVERIFY(writeFile(file(), document({board("B1")}, items)));
        const LibraryRead read = readLibraryFile(root());
        QCOMPARE(int(read.status), int(LibraryReadStatus::Loaded));
        QCOMPARE(read.file->items.size(), qsizetype(count));
        for (int i = 0; i < count; ++i) {
            QCOMPARE(read.file->items.at(i).id, QStringLiteral("I%1").arg(i));
            QCOMPARE(read.file->items.at(i).fileSize, std::optional<qint64>(expected.at(i)));
        }
    }

    void backupNames_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("moment");
        QTest::addColumn<quint64>("counter");
        QTest::addColumn<QString>("name");
        QTest::newRow("first") << "library" << "2026-12-09T07:52:03.123Z" << quint64(1)
                               << "library-2026-12-09T07-52-03.123Z-00001.json";
        QTest::newRow("conflict") << "conflict" << "2026-01-02T23:05:09.000Z" << quint64(42)
                                  << "conflict-2026-01-02T23-05-09.000Z-00042.json";
        QTest::newRow("wraps") << "library" << "2026-12-09T07:52:03.999Z" << quint64(100000)
                               << "library-2026-12-09T07-52-03.999Z-00000.json";
        QTest::newRow("wraps on") << "library" << "2026-12-09T07:52:03.999Z" << quint64(100123)
                                  << "library-2026-12-09T07-52-03.999Z-00123.json";
    }

    void backupNames()
    {
        QFETCH(QString, tag);
        QFETCH(QString, moment);
        QFETCH(quint64, counter);
        QFETCH(QString, name);
        const double seconds = referenceSeconds(QDateTime::fromString(moment, Qt::ISODateWithMs));
        QCOMPARE(libraryBackupName(tag, seconds, counter), name);
    }

    // Pruning keeps the newest 20 "library-" files and never touches others.
    void backupPruning()
    {
        ManualClock clock(818000000.0);
        ScopedClock scoped(&clock);
        const QString backups = root() + "/backups";
        for (int i = 0; i < 21; ++i)
            QVERIFY(writeFile(backups + QStringLiteral("/library-2020-01-01T00-00-%1.000Z-0000%2.json")
                                            .arg(i, 2, 10, QLatin1Char('0'))
                                            .arg(i % 10),
                              "old"));
        QVERIFY(writeFile(backups + "/conflict-2019-01-01T00-00-00.000Z-00001.json", "keep"));
        QVERIFY(writeFile(backups + "/damaged-2019-01-01T00-00-00.000Z-00001.json", "keep"));
        const auto written = writeLibraryBackup("new", root(), "library");
        QVERIFY(written);
        QCOMPARE(readFile(*written), QByteArray("new"));
        const QStringList timed = entries(backups, {"library-*"});
        QCOMPARE(timed.size(), 20);
        QVERIFY(!timed.contains("library-2020-01-01T00-00-00.000Z-00000.json"));
        QVERIFY(!timed.contains("library-2020-01-01T00-00-01.000Z-00001.json"));
        QVERIFY(timed.contains(QFileInfo(*written).fileName()));
        QCOMPARE(entries(backups, {"conflict-*"}).size(), 1);
        QCOMPARE(entries(backups, {"damaged-*"}).size(), 1);

        // Two backups in the same millisecond differ by their counter.
        const auto a = writeLibraryBackup("a", root(), "conflict");
        const auto b = writeLibraryBackup("b", root(), "conflict");
        QVERIFY(a && b && *a != *b);
        QCOMPARE(QFileInfo(*a).fileName().left(34), QFileInfo(*b).fileName().left(34));
    }

    void conflictResolution_data()
    {
        QTest::addColumn<double>("currentTime");
        QTest::addColumn<double>("copyTime");
        QTest::addColumn<bool>("copyWins");
        QTest::newRow("newer copy wins") << 800000000.0 << 800000100.0 << true;
        QTest::newRow("tie keeps current") << 800000000.0 << 800000000.0 << false;
        QTest::newRow("older copy loses") << 800000100.0 << 800000000.0 << false;
    }

    void conflictResolution()
    {
        QFETCH(double, currentTime);
        QFETCH(double, copyTime);
        QFETCH(bool, copyWins);
        const QString copy = root() + "/library.sync-conflict-20261209-075203-ABCDEFG.json";
        QVERIFY(writeFile(file(), "current"));
        QVERIFY(writeFile(copy, "theirs"));
        setModified(file(), currentTime);
        setModified(copy, copyTime);
        ConsoleCapture console;
        resolveLibraryConflicts(file(), root());
        QCOMPARE(readFile(file()), copyWins ? QByteArray("theirs") : QByteArray("current"));
        QVERIFY(!QFileInfo::exists(copy));
        const QStringList backups = entries(root() + "/backups");
        QCOMPARE(backups.size(), 1);
        QVERIFY(backups.first().startsWith("conflict-"));
        QCOMPARE(readFile(root() + "/backups/" + backups.first()), copyWins ? QByteArray("current") : QByteArray("theirs"));
        const double winnerTime = copyWins ? copyTime : currentTime;
        const QString when = dateFromReferenceSeconds(winnerTime).toUTC().toString("yyyy-MM-dd HH:mm:ss") + " +0000";
        QCOMPARE(console.lines(), QStringList{"library.json: resolved 1 iCloud conflict(s), kept the version from " + when});
    }

    void conflictCopiesStayWhenBackupFails()
    {
        const QString copyA = root() + "/library (conflicted copy 2026-12-09).json";
        const QString copyB = root() + "/library (Mac's conflicted copy 2026-12-09).json";
        QVERIFY(writeFile(file(), "current"));
        QVERIFY(writeFile(copyA, "a"));
        QVERIFY(writeFile(copyB, "b"));
        setModified(file(), 800000000.0);
        setModified(copyA, 800000200.0);
        setModified(copyB, 800000100.0);
        QVERIFY(writeFile(root() + "/backups", "a file where the backups folder should be"));
        ConsoleCapture console;
        resolveLibraryConflicts(file(), root());
        QCOMPARE(readFile(file()), QByteArray("a"));
        QVERIFY(QFileInfo::exists(copyA));
        QVERIFY(QFileInfo::exists(copyB));
        QCOMPARE(console.lines().size(), 1);
        QVERIFY(console.lines().first().contains("resolved 2 iCloud conflict(s)"));
    }

    void conflictCopyNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("isCopy");
        QTest::newRow("syncthing") << "library.sync-conflict-20261209-075203-ABCDEFG.json" << true;
        QTest::newRow("dropbox") << "library (conflicted copy 2026-12-09).json" << true;
        QTest::newRow("named machine") << "library (Mac's conflicted copy 2026-12-09).json" << true;
        QTest::newRow("the file") << "library.json" << false;
        QTest::newRow("other file") << "library-2026.json" << false;
        QTest::newRow("other suffix") << "library.sync-conflict-1.txt" << false;
        QTest::newRow("copy of another file") << "other (conflicted copy).json" << false;
        QTest::newRow("not a conflict") << "library (copy).json" << false;
    }

    void conflictCopyNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, isCopy);
        QCOMPARE(FileVersions::isConflictCopyName("library.json", name), isCopy);
    }

    void noConflictsNoMessage()
    {
        QVERIFY(writeFile(file(), "current"));
        ConsoleCapture console;
        resolveLibraryConflicts(file(), root());
        QVERIFY(console.lines().isEmpty());
        QVERIFY(!QFileInfo::exists(root() + "/backups"));
    }

    void coordinatedReadWithoutFolder()
    {
        std::atomic<int> calls{0};
        ConsoleCapture console;
        const auto value = coordinatedRead<int>(m_dir->path() + "/missing/x.json", 5.0, [&](const QString &) {
            ++calls;
            return std::optional<int>(1);
        });
        QVERIFY(!value);
        QCOMPARE(calls.load(), 0);
        QVERIFY(console.lines().isEmpty());
    }

    // A writer that holds the file past the time-out: the reader goes direct.
    void coordinatedReadTimesOut()
    {
        QVERIFY(writeFile(file(), "bytes"));
        std::atomic<bool> holding{false};
        std::atomic<bool> release{false};
        std::thread writer([&] {
            coordinateWriting(file(), [&](const QString &) {
                holding = true;
                while (!release)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            });
        });
        while (!holding)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ConsoleCapture console;
        const auto bytes = coordinatedReadData(file(), 1.5);
        release = true;
        writer.join();
        QCOMPARE(bytes, std::optional<QByteArray>("bytes"));
        QCOMPARE(console.lines(), QStringList{"library.json: coordinated read timed out after 1 s, reading directly"});
    }

    void coordinatedWriteFailureKeepsFile()
    {
        QVERIFY(writeFile(file(), "before"));
        try {
            coordinatedWrite(m_dir->path() + "/missing/library.json", "x");
            QFAIL("a write into a missing folder succeeded");
        } catch (const FileError &error) {
            QVERIFY(!error.description().isEmpty());
        }
        // A folder in the way of the rename: the write fails and leaves no temporary file.
        const QString blocked = root() + "/blocked.json";
        QVERIFY(writeFile(blocked + "/inside", "x"));
        QVERIFY_THROWS_EXCEPTION(FileError, coordinatedWrite(blocked, "x"));
        coordinatedWrite(file(), "after");
        QCOMPARE(readFile(file()), QByteArray("after"));
        for (const QString &name : entries(root()))
            QVERIFY2(!name.startsWith(".library.json.") || name.endsWith(".lock"), qPrintable(name));
    }

    // A save killed before its rename leaves a temporary file; the next read
    // clears the old ones, in the naming of this build and of older ones,
    // and leaves fresh ones and everything else alone.
    void abandonedTemporaries_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("old");
        QTest::addColumn<bool>("removed");
        QTest::newRow("this build's, old") << ".library.json.tmp-AbC123" << true << true;
        QTest::newRow("this build's, fresh") << ".library.json.tmp-XyZ789" << false << false;
        QTest::newRow("older hidden naming, old") << ".library.json.AbC123" << true << true;
        QTest::newRow("older hidden naming, fresh") << ".library.json.XyZ789" << false << false;
        QTest::newRow("older visible naming, old") << "library.json.tmp-AbC123" << true << true;
        QTest::newRow("lock file") << ".library.json.lock" << true << false;
        QTest::newRow("another file's temporary") << ".settings.json.tmp-AbC123" << true << false;
        QTest::newRow("not a random part") << ".library.json.tmp-Ab.123" << true << false;
        QTest::newRow("too short a random part") << ".library.json.tmp-AbC12" << true << false;
    }

    void abandonedTemporaries()
    {
        QFETCH(QString, name);
        QFETCH(bool, old);
        QFETCH(bool, removed);
        QVERIFY(writeFile(file(), document({board("B1")})));
        const QString path = root() + "/" + name;
        QVERIFY(writeFile(path, "partial"));
        if (old) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-7200), QFileDevice::FileModificationTime));
        }
        QCOMPARE(int(readLibraryFile(root()).status), int(LibraryReadStatus::Loaded));
        QCOMPARE(QFileInfo::exists(path), !removed);
    }

    void stampTimes_data()
    {
        QTest::addColumn<qint64>("unixSeconds");
        QTest::addColumn<long>("nanoseconds");
        QTest::newRow("now-ish") << qint64(1796000000) << 123456789L;
        QTest::newRow("whole second") << qint64(1796000000) << 0L;
        QTest::newRow("before 1970") << qint64(-1000) << 999999999L;
    }

    // The time a save keeps from its own stamp is the one a later reload reads.
    void stampTimes()
    {
        QFETCH(qint64, unixSeconds);
        QFETCH(long, nanoseconds);
        QVERIFY(writeFile(file(), "x"));
        const struct timespec times[2] = {{time_t(unixSeconds), nanoseconds}, {time_t(unixSeconds), nanoseconds}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(file()).constData(), times, 0), 0);
        const auto read = libraryModificationDate(root());
        QVERIFY(read);
        QCOMPARE(modificationDate(fileStamp(file())), read);
        QVERIFY(!modificationDate(fileStamp(root() + "/missing.json")));
    }

    void ensureDownloaded()
    {
        QVERIFY(writeFile(root() + "/thumbnails/A.jpg", "t"));
        QVERIFY(writeFile(root() + "/thumbnails/B.jpg", "t"));
        const QString a = root() + "/thumbnails/A.jpg";
        const QString b = root() + "/thumbnails/B.jpg";
        QCOMPARE(vellora::ensureDownloaded(a), std::optional<QString>(a));
        QCOMPARE(vellora::ensureDownloaded(root() + "/missing.jpg"), std::optional<QString>(root() + "/missing.jpg"));

        FakeUbiquity fake;
        ScopedUbiquity scoped(&fake);
        fake.markNotDownloaded(b);
        QCOMPARE(vellora::ensureDownloaded(a), std::optional<QString>(a));
        QVERIFY(!vellora::ensureDownloaded(b));
        QCOMPARE(fake.downloadRequests(), QStringList{QFileInfo(b).absoluteFilePath()});
    }
};

QTEST_GUILESS_MAIN(TestLibraryFileAccess)
#include "tst_libraryfileaccess.moc"
