// The stand-ins under the library's file access: sync-folder places, the
// hidden attribute and the download state of cloud files.

#include "FakeUbiquity.h"
#include "ScopedUbiquity.h"
#include "SeamGuard.h"

#include "library/LibraryLocation.h"

#include "platform/Defaults.h"
#include "platform/Places.h"
#include "platform/Ubiquity.h"

#include "StoreFixtures.h"

#include <QTemporaryDir>
#include <QTest>

using namespace vellora;
using namespace storetest;

class TestStorePlatform : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::optional<SeamGuard> m_seams;

private slots:
    void init() { m_seams.emplace(); }
    void cleanup()
    {
        Defaults::standard().remove(QString::fromLatin1(kSyncedFolderKey));
        m_seams.reset();
    }

    void applicationSupportFollowsXdg()
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + "/xdg"));
        QCOMPARE(applicationSupportFolder(), m_dir.path() + "/xdg/Vellora");
    }

    void syncedFolderMustExist()
    {
        Defaults::standard().set(QString::fromLatin1(kSyncedFolderKey), m_dir.path() + "/not-there");
        LibraryLocation::resetForTesting();
        QVERIFY(!CloudPlaces::syncedFolder());
        QVERIFY(!CloudPlaces::container("x"));
        QCOMPARE(CloudPlaces::drive(), QDir::homePath());

        QDir().mkpath(m_dir.path() + "/Sync");
        Defaults::standard().set(QString::fromLatin1(kSyncedFolderKey), m_dir.path() + "/Sync/");
        LibraryLocation::resetForTesting();
        QCOMPARE(CloudPlaces::syncedFolder(), std::optional<QString>(m_dir.path() + "/Sync"));
        QCOMPARE(CloudPlaces::container("id"), std::optional<QString>(m_dir.path() + "/Sync/id"));
        QVERIFY(CloudPlaces::contains(m_dir.path() + "/Sync/a/b"));
        QVERIFY(!CloudPlaces::contains(m_dir.path() + "/Sync"));
        QVERIFY(!CloudPlaces::contains(m_dir.path() + "/Synced/a"));
    }

    void hiddenAttribute()
    {
        const QString folder = m_dir.path() + "/parent/Vellora.library.migrated-backup";
        const QString other = m_dir.path() + "/parent/visible";
        QDir().mkpath(folder);
        QDir().mkpath(other);
        QVERIFY(!isHidden(folder));
        QVERIFY(setHidden(folder));
        QVERIFY(setHidden(folder)); // listed once
        QVERIFY(isHidden(folder));
        QVERIFY(!isHidden(other));
        QCOMPARE(readFile(m_dir.path() + "/parent/.hidden"), QByteArray("Vellora.library.migrated-backup\n"));
        QVERIFY(isHidden(m_dir.path() + "/parent/.hidden"));
        QVERIFY(!setHidden(m_dir.path() + "/parent/missing"));
    }

    // In a plain synced folder every file is current and nothing is evicted.
    void plainUbiquity()
    {
        QDir().mkpath(m_dir.path() + "/Sync");
        Defaults::standard().set(QString::fromLatin1(kSyncedFolderKey), m_dir.path() + "/Sync");
        LibraryLocation::resetForTesting();
        const QString synced = m_dir.path() + "/Sync/file.png";
        const QString local = m_dir.path() + "/local.png";
        QVERIFY(writeFile(synced, "x"));
        QVERIFY(writeFile(local, "x"));
        Ubiquity &plain = Ubiquity::current();
        QVERIFY(!plain.values(m_dir.path() + "/missing"));
        QVERIFY(!plain.values(local)->ubiquitous);
        QVERIFY(!plain.values(local)->status);
        QVERIFY(plain.values(synced)->ubiquitous);
        QCOMPARE(plain.values(synced)->status, std::optional<DownloadStatus>(DownloadStatus::Current));
        QString error;
        QVERIFY(!plain.evict(synced, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(QFile::exists(synced));
    }

    void fakeUbiquity()
    {
        const QString a = m_dir.path() + "/a.png";
        const QString b = m_dir.path() + "/b.png";
        QVERIFY(writeFile(a, "x"));
        QVERIFY(writeFile(b, "x"));
        FakeUbiquity fake;
        ScopedUbiquity scoped(&fake);
        QCOMPARE(&Ubiquity::current(), static_cast<Ubiquity *>(&fake));
        QCOMPARE(fake.values(a)->status, std::optional<DownloadStatus>(DownloadStatus::Current));
        QVERIFY(fake.evict(a));
        QCOMPARE(fake.values(a)->status, std::optional<DownloadStatus>(DownloadStatus::NotDownloaded));
        fake.failEvictionOf(b);
        QVERIFY(!fake.evict(b));
        QCOMPARE(fake.evictions(), QStringList{QFileInfo(a).absoluteFilePath()});
        fake.markCurrent(a);
        QCOMPARE(fake.values(a)->status, std::optional<DownloadStatus>(DownloadStatus::Current));
        fake.markLocal(b);
        QVERIFY(!fake.values(b)->ubiquitous);
        // A file that is not on disk yet can still be known as not downloaded.
        fake.markNotDownloaded(m_dir.path() + "/cloud-only.png");
        QVERIFY(fake.values(m_dir.path() + "/cloud-only.png"));
    }
};

QTEST_GUILESS_MAIN(TestStorePlatform)
#include "tst_storeplatform.moc"
