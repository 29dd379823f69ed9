// A store given a settings scope of its own records its sync time there and
// reads it back from there, and leaves the user's defaults alone.

#include "library/LibraryStore.h"
#include "platform/Defaults.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace vellora;

class StoreSettingsTest : public QObject {
    Q_OBJECT
private slots:
    void scratchScopeKeepsTheSyncTime()
    {
        QTemporaryDir dir;
        const QString key = "lastSyncedAt";
        Defaults::standard().remove(key);
        {
            Defaults scratch(dir.filePath("scratch.conf"));
            LibraryStore first(dir.filePath("library"), false, scratch);
            // A new library is written at once, and its save is a sync.
            QVERIFY(first.lastSyncedAt());
            QCOMPARE(scratch.number(key), *first.lastSyncedAt());

            LibraryStore second(dir.filePath("library"), false, scratch);
            QCOMPARE(second.lastSyncedAt(), first.lastSyncedAt());
        }
        QVERIFY(!Defaults::standard().contains(key));
        Defaults reread(dir.filePath("scratch.conf"));
        QVERIFY(reread.contains(key));

        // Without a scope of its own a store keeps using the user's defaults.
        LibraryStore plain(dir.filePath("other"), false);
        QVERIFY(plain.lastSyncedAt());
        QCOMPARE(Defaults::standard().number(key), *plain.lastSyncedAt());
    }
};

QTEST_GUILESS_MAIN(StoreSettingsTest)
#include "tst_storesettings.moc"
