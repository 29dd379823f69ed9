#include "ConsoleCapture.h"
#include "ManualClock.h"
#include "ScopedClock.h"
#include "SeamGuard.h"

#include "library/LibraryLocation.h"

#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/FileCoordination.h"
#include "platform/Places.h"

#include "StoreFixtures.h"

#include <QTemporaryDir>
#include <QTest>

using namespace vellora;
using namespace storetest;

class TestLibraryLocation : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::optional<SeamGuard> m_seams;
    QString m_sync;

    QString base() const { return m_dir->path(); }
    QString local() const { return base() + QStringLiteral("/data/Vellora"); }
    QString drive() const { return m_sync + QStringLiteral("/Vellora.library"); }
    QString container() const { return m_sync + QStringLiteral("/iCloud.com.quendle.vellora/Data"); }

    // A library with every entry the migration moves, plus a backups folder.
    void makeLibrary(const QString &root, bool withFavicons = true)
    {
        QVERIFY(writeFile(root + "/library.json", "{\"collections\":[]}"));
        QVERIFY(writeFile(root + "/originals/A.png", "a"));
        QVERIFY(writeFile(root + "/originals/B.jpg", "b"));
        QVERIFY(writeFile(root + "/thumbnails/A.jpg", "t"));
        QVERIFY(writeFile(root + "/covers/A.jpg", "c"));
        if (withFavicons)
            QVERIFY(writeFile(root + "/favicons/A.png", "f"));
        QVERIFY(writeFile(root + "/backups/library-x.json", "{}"));
    }

    void useSyncedFolder(bool on)
    {
        if (on)
            Defaults::standard().set(QString::fromLatin1(kSyncedFolderKey), m_sync);
        else
            Defaults::standard().remove(QString::fromLatin1(kSyncedFolderKey));
        LibraryLocation::resetForTesting();
    }

private slots:
    void init()
    {
        m_seams.emplace();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_sync = base() + QStringLiteral("/Sync");
        QDir().mkpath(m_sync);
        qputenv("XDG_DATA_HOME", QFile::encodeName(base() + "/data"));
        qunsetenv("VELLORA_ROOT");
        Defaults::standard().remove(QString::fromLatin1(LibraryLocation::kLocationKey));
        useSyncedFolder(true);
    }

    void cleanup()
    {
        useSyncedFolder(false);
        Defaults::standard().remove(QString::fromLatin1(LibraryLocation::kLocationKey));
        qunsetenv("VELLORA_ROOT");
        m_seams.reset();
    }

    void locationValues_data()
    {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("folder"); // "local", "container" or "drive"
        QTest::newRow("local") << "local" << "local";
        QTest::newRow("icloud") << "icloud" << "container";
        QTest::newRow("iclouddrive") << "iclouddrive" << "drive";
        QTest::newRow("unknown") << "Dropbox" << "local";
        QTest::newRow("empty") << "" << "local";
    }

    void locationValues()
    {
        QFETCH(QString, location);
        QFETCH(QString, folder);
        const QString expected = folder == "local" ? local() : folder == "container" ? container() : drive();
        QCOMPARE(LibraryLocation::url(location), std::optional<QString>(expected));
        QCOMPARE(LibraryLocation::isICloud(expected), folder != "local");
        Defaults::standard().set(QString::fromLatin1(LibraryLocation::kLocationKey), location);
        QCOMPARE(LibraryLocation::root(), expected);
    }

    void noCloudPlaceWithoutSyncedFolder_data()
    {
        QTest::addColumn<QString>("location");
        QTest::newRow("icloud") << "icloud";
        // Not a plain folder in the home directory that then passes for a cloud library.
        QTest::newRow("iclouddrive") << "iclouddrive";
    }

    void noCloudPlaceWithoutSyncedFolder()
    {
        QFETCH(QString, location);
        useSyncedFolder(false);
        QVERIFY(!LibraryLocation::iCloudAvailable());
        QVERIFY(!LibraryLocation::url(location));
        QVERIFY(!LibraryLocation::isICloud(container()));
        QVERIFY(!LibraryLocation::isICloud(QDir::homePath() + "/Vellora.library"));
        Defaults::standard().set(QString::fromLatin1(LibraryLocation::kLocationKey), location);
        QCOMPARE(LibraryLocation::root(), local());
        makeLibrary(local());
        try {
            LibraryLocation::migrate(location, [](const QString &) {});
            QFAIL("migration without a container succeeded");
        } catch (const FileError &error) {
            QCOMPARE(error.description(), QStringLiteral("iCloud isn't available to Vellora"));
        }
        QVERIFY(QFile::exists(local() + "/library.json"));
        QCOMPARE(Defaults::standard().string(LibraryLocation::kLocationKey), location);
        QVERIFY(!QFileInfo::exists(QDir::homePath() + "/Vellora.library"));
    }

    void environmentOverridesSetting()
    {
        const QString elsewhere = base() + "/Elsewhere";
        qputenv("VELLORA_ROOT", QFile::encodeName(elsewhere));
        Defaults::standard().set(QString::fromLatin1(LibraryLocation::kLocationKey), QStringLiteral("iclouddrive"));
        QCOMPARE(LibraryLocation::root(), elsewhere);
        QVERIFY(!LibraryLocation::isICloud(elsewhere));
        qputenv("VELLORA_ROOT", QFile::encodeName(drive()));
        QVERIFY(LibraryLocation::isICloud(LibraryLocation::root()));
    }

    void itemCount()
    {
        QVERIFY(writeFile(base() + "/f", "x"));
        QVERIFY(writeFile(base() + "/d/a", "x"));
        QVERIFY(writeFile(base() + "/d/.hidden", "x"));
        QDir().mkpath(base() + "/d/sub/deeper");
        QCOMPARE(LibraryLocation::itemCount(base() + "/missing"), 0);
        QCOMPARE(LibraryLocation::itemCount(base() + "/f"), 1);
        QCOMPARE(LibraryLocation::itemCount(base() + "/d"), 3);
    }

    // The whole road from the local folder into the cloud drive, with the
    // exact progress lines and what stays behind in the backup.
    void migrateLocalToDrive()
    {
        makeLibrary(local());
        QStringList progress;
        const auto result = LibraryLocation::migrate("iclouddrive", [&](const QString &line) { progress << line; });
        QCOMPARE(progress, QStringList({QString::fromUtf8("Moving library.json\u2026"),
                                        QString::fromUtf8("Moving originals\u2026"),
                                        QString::fromUtf8("Moving thumbnails\u2026"),
                                        QString::fromUtf8("Moving covers\u2026"),
                                        QString::fromUtf8("Moving favicons\u2026"), QStringLiteral("Done")}));
        const QMap<QString, int> moved{{"library.json", 1}, {"originals", 2}, {"thumbnails", 1}, {"covers", 1}, {"favicons", 1}};
        QCOMPARE(result.moved, moved);
        QVERIFY(!result.reusedExisting);
        const QString backup = base() + "/data/Vellora.local-backup";
        QCOMPARE(result.backup, std::optional<QString>(backup));
        QVERIFY(!isHidden(backup));
        QVERIFY(!QFileInfo::exists(local()));
        QCOMPARE(entries(backup), QStringList{"backups"});
        QCOMPARE(readFile(drive() + "/originals/B.jpg"), QByteArray("b"));
        QCOMPARE(Defaults::standard().string(LibraryLocation::kLocationKey), QStringLiteral("iclouddrive"));
        QCOMPARE(LibraryLocation::root(), drive());
    }

    void migrationWithoutCallbackPrints()
    {
        makeLibrary(local(), false);
        ConsoleCapture console;
        const auto result = LibraryLocation::migrate("icloud");
        QCOMPARE(console.lines().size(), 5);
        QCOMPARE(console.lines().last(), QStringLiteral("Done"));
        QVERIFY(!result.moved.contains("favicons"));
        QCOMPARE(result.moved.size(), 4);
        QVERIFY(QFile::exists(container() + "/library.json"));
        QCOMPARE(result.backup, std::optional<QString>(base() + "/data/Vellora.local-backup"));
    }

    void leavingDriveHidesBackup()
    {
        makeLibrary(drive());
        Defaults::standard().set(QString::fromLatin1(LibraryLocation::kLocationKey), QStringLiteral("iclouddrive"));
        const auto result = LibraryLocation::migrate("local", [](const QString &) {});
        const QString backup = m_sync + "/Vellora.library.migrated-backup";
        QCOMPARE(result.backup, std::optional<QString>(backup));
        QVERIFY(isHidden(backup));
        QVERIFY(QFile::exists(local() + "/library.json"));
    }

    void takenBackupNameGetsSeconds()
    {
        ManualClock clock(820000000.5);
        ScopedClock scoped(&clock);
        makeLibrary(local());
        QDir().mkpath(base() + "/data/Vellora.local-backup");
        const auto result = LibraryLocation::migrate("icloud", [](const QString &) {});
        const qint64 seconds = qint64(820000000.5 + kReferenceDateOffset);
        QCOMPARE(result.backup, std::optional<QString>(base() + "/data/Vellora.local-backup-" + QString::number(seconds)));
        QVERIFY(QFileInfo(*result.backup).isDir());
    }

    void otherFolderBackupName()
    {
        const QString custom = base() + "/Custom";
        makeLibrary(custom);
        qputenv("VELLORA_ROOT", QFile::encodeName(custom));
        const auto result = LibraryLocation::migrate("local", [](const QString &) {});
        QCOMPARE(result.backup, std::optional<QString>(base() + "/Custom.backup"));
    }

    void targetWithLibraryIsReused()
    {
        makeLibrary(local());
        QVERIFY(writeFile(drive() + "/library.json", "theirs"));
        QStringList progress;
        const auto result = LibraryLocation::migrate("iclouddrive", [&](const QString &line) { progress << line; });
        QVERIFY(result.reusedExisting);
        QVERIFY(result.moved.isEmpty());
        QVERIFY(!result.backup);
        QVERIFY(progress.isEmpty());
        QCOMPARE(readFile(drive() + "/library.json"), QByteArray("theirs"));
        QCOMPARE(readFile(local() + "/originals/A.png"), QByteArray("a"));
        QCOMPARE(Defaults::standard().string(LibraryLocation::kLocationKey), QStringLiteral("iclouddrive"));
    }

    void currentLocationIsReused()
    {
        makeLibrary(local());
        const auto result = LibraryLocation::migrate("local", [](const QString &) {});
        QVERIFY(result.reusedExisting);
        QVERIFY(result.moved.isEmpty());
        QVERIFY(!Defaults::standard().hasExplicitValue(LibraryLocation::kLocationKey));
        QVERIFY(QFile::exists(local() + "/library.json"));
    }

    void unknownLocationStoredAsPassed()
    {
        makeLibrary(drive());
        Defaults::standard().set(QString::fromLatin1(LibraryLocation::kLocationKey), QStringLiteral("iclouddrive"));
        LibraryLocation::migrate("Somewhere", [](const QString &) {});
        QCOMPARE(Defaults::standard().string(LibraryLocation::kLocationKey), QStringLiteral("Somewhere"));
        QVERIFY(QFile::exists(local() + "/library.json"));
    }

    // A failure part-way puts back everything already moved, restores what
    // stood at the target, and leaves the setting alone.
    void failedMigrationRollsBack()
    {
        makeLibrary(local());
        QVERIFY(writeFile(drive() + "/thumbnails/keep.jpg", "already there"));
        LibraryLocation::setMoveHookForTesting([](const QString &name) {
            if (name == "covers")
                throw FileError(QStringLiteral("injected failure"));
        });
        try {
            LibraryLocation::migrate("iclouddrive", [](const QString &) {});
            QFAIL("the injected failure did not propagate");
        } catch (const FileError &error) {
            QCOMPARE(error.description(), QStringLiteral("injected failure"));
        }
        for (const char *entry : {"library.json", "originals/A.png", "originals/B.jpg", "thumbnails/A.jpg", "covers/A.jpg",
                                  "favicons/A.png", "backups/library-x.json"})
            QVERIFY2(QFile::exists(local() + "/" + entry), entry);
        QCOMPARE(entries(drive()), QStringList{"thumbnails"});
        QCOMPARE(entries(drive() + "/thumbnails"), QStringList{"keep.jpg"});
        QVERIFY(!Defaults::standard().hasExplicitValue(LibraryLocation::kLocationKey));
        QVERIFY(!QFileInfo::exists(base() + "/data/Vellora.local-backup"));
    }

    // What stands at the target is set aside, never deleted.
    void existingTargetEntryIsSetAside()
    {
        ManualClock clock(830000000.0);
        ScopedClock scoped(&clock);
        makeLibrary(local());
        QVERIFY(writeFile(drive() + "/originals/old.png", "older"));
        QDir().mkpath(drive() + "/covers"); // empty: nothing to keep
        LibraryLocation::migrate("iclouddrive", [](const QString &) {});
        QCOMPARE(entries(drive() + "/originals"), QStringList({"A.png", "B.jpg"}));
        const QString aside = drive() + "/.originals.previous-" + QString::number(qint64(830000000.0 + kReferenceDateOffset));
        QCOMPARE(readFile(aside + "/old.png"), QByteArray("older"));
        QCOMPARE(entries(drive() + "/covers"), QStringList{"A.jpg"});
    }
};

QTEST_GUILESS_MAIN(TestLibraryLocation)
#include "tst_librarylocation.moc"
