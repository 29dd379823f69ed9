#include "ManualScheduler.h"
#include "MemoryKeyValueStore.h"
#include "SeamGuard.h"

#include "library/SettingsSync.h"
#include "platform/Defaults.h"
#include "platform/KeyValueStore.h"
#include "platform/Scheduler.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace vellora;

namespace {
const QString kBundle = QStringLiteral("com.quendle.vellora");
}

class SettingsSyncTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_seams.emplace();
        QVERIFY(m_dir.isValid());
        m_defaults = std::make_unique<Defaults>(m_dir.filePath(QStringLiteral("defaults-%1.conf").arg(++m_count)));
        m_defaults->registerDefaults({{"gridSortOrder", "newest"}, {"lastBoard", "inbox"}, {"localStorageCapMB", 0}});
        m_store = std::make_unique<MemoryKeyValueStore>();
        m_scheduler = std::make_unique<ManualScheduler>();
        Scheduler::setMain(m_scheduler.get());
    }
    void cleanup()
    {
        m_store.reset();
        m_defaults.reset();
        m_seams.reset();
        m_scheduler.reset();
    }

    void pushSendsOnlyExplicitValuesThatDiffer()
    {
        m_defaults->set("gridSortOrder", "az");    // differs from the store
        m_defaults->set("lastBoard", "B1");        // already equal in the store
        m_defaults->set("unrelated", "x");         // not mirrored
        m_store->values = {{"lastBoard", "B1"}, {"other", 5}};
        // localStorageCapMB is only registered: never pushed.

        SettingsSync::push(*m_defaults, kBundle, *m_store);

        QCOMPARE(m_store->writes, QStringList{"gridSortOrder"});
        QCOMPARE(m_store->values.value("gridSortOrder").toString(), QString("az"));
        QVERIFY(!m_store->values.contains("localStorageCapMB"));
        QVERIFY(!m_store->values.contains("unrelated"));
        QCOMPARE(m_store->values.value("other").toInt(), 5);
    }

    void pushNeverRemovesWhatIsNotSetLocally()
    {
        m_store->values = {{"gridSortOrder", "oldest"}};
        SettingsSync::push(*m_defaults, kBundle, *m_store);
        QVERIFY(m_store->writes.isEmpty());
        QCOMPARE(m_store->values.value("gridSortOrder").toString(), QString("oldest"));
    }

    void numbersCompareByValue()
    {
        // The defaults file hands numbers back as text after a restart; that
        // must not count as a change against the store's number.
        m_defaults->set("localStorageCapMB", QString("500"));
        m_store->values = {{"localStorageCapMB", qint64(500)}};
        SettingsSync::push(*m_defaults, kBundle, *m_store);
        QVERIFY(m_store->writes.isEmpty());
    }

    void startPullsTheCloudValueOverTheLocalOne()
    {
        m_defaults->set("gridSortOrder", "az");
        m_store->values = {{"gridSortOrder", "oldest"}, {"notMirrored", "z"}};

        SettingsSync::start(*m_defaults, *m_store, kBundle);

        QCOMPARE(m_store->synchronizeCount, 1);
        QCOMPARE(m_defaults->string("gridSortOrder"), QString("oldest"));
        QVERIFY(!m_defaults->hasExplicitValue("notMirrored"));
        // The pull's own change runs a push that finds nothing to write.
        m_scheduler->runPending();
        QVERIFY(m_store->writes.isEmpty());
    }

    void withoutBundleIdentifierNothingIsMirrored()
    {
        m_defaults->set("gridSortOrder", "az");
        m_store->values = {{"lastBoard", "B9"}};
        SettingsSync::start(*m_defaults, *m_store, QString());
        SettingsSync::push(*m_defaults, QString(), *m_store);
        m_defaults->set("lastBoard", "B2");
        m_store->simulateExternalChange({{"gridSortOrder", "za"}});
        m_scheduler->runPending();

        QCOMPARE(m_store->synchronizeCount, 0);
        QVERIFY(m_store->writes.isEmpty());
        QCOMPARE(m_defaults->string("gridSortOrder"), QString("az"));
        QCOMPARE(m_defaults->string("lastBoard"), QString("B2"));
    }

    void anyLocalChangePushesTheMirroredKeys()
    {
        SettingsSync::start(*m_defaults, *m_store, kBundle);
        m_defaults->set("lastBoard", "B3");
        m_defaults->set("sidebarWidth", 300.0);
        QVERIFY(m_store->writes.isEmpty()); // pushed once the current work is done
        m_scheduler->runPending();
        QCOMPARE(m_store->writes, QStringList{"lastBoard"});

        m_store->writes.clear();
        m_defaults->set("importScreenshots", true); // a change of an unmirrored key
        m_scheduler->runPending();
        QVERIFY(m_store->writes.isEmpty()); // nothing differs
    }

    void externalChange_data()
    {
        QTest::addColumn<QVariantMap>("local");
        QTest::addColumn<QVariantMap>("change");
        QTest::addColumn<QVariantMap>("expected"); // explicit local values afterwards

        QTest::newRow("changed key is pulled")
            << QVariantMap{{"gridSortOrder", "az"}} << QVariantMap{{"gridSortOrder", "za"}}
            << QVariantMap{{"gridSortOrder", "za"}};
        QTest::newRow("only unmirrored keys: nothing")
            << QVariantMap{{"gridSortOrder", "az"}} << QVariantMap{{"sidebarWidth", 100}, {"deviceId", "X"}}
            << QVariantMap{{"gridSortOrder", "az"}};
        QTest::newRow("removed in the cloud: removed here")
            << QVariantMap{{"lastBoard", "B1"}, {"gridSortOrder", "az"}} << QVariantMap{{"lastBoard", QVariant()}}
            << QVariantMap{{"gridSortOrder", "az"}};
        QTest::newRow("several keys at once keep the other machine's values")
            << QVariantMap{{"lastBoard", "B1"}, {"gridSortOrder", "az"}, {"localStorageCapMB", 10}}
            << QVariantMap{{"lastBoard", "B2"}, {"gridSortOrder", "opened"}, {"localStorageCapMB", 20}}
            << QVariantMap{{"lastBoard", "B2"}, {"gridSortOrder", "opened"}, {"localStorageCapMB", 20}};
    }
    void externalChange()
    {
        QFETCH(QVariantMap, local);
        QFETCH(QVariantMap, change);
        QFETCH(QVariantMap, expected);
        for (auto it = local.begin(); it != local.end(); ++it) {
            m_defaults->set(it.key(), it.value());
            m_store->values.insert(it.key(), it.value());
        }
        SettingsSync::start(*m_defaults, *m_store, kBundle);
        m_scheduler->runPending();
        m_store->writes.clear();

        m_store->simulateExternalChange(change);
        m_scheduler->runPending();

        for (const QString &key : SettingsSync::mirroredKeys()) {
            QCOMPARE(m_defaults->hasExplicitValue(key), expected.contains(key));
            if (expected.contains(key))
                QCOMPARE(m_defaults->explicitValue(key).toString(), expected.value(key).toString());
        }
        // The push that follows a pull writes nothing back.
        QVERIFY2(m_store->writes.isEmpty(), qPrintable(m_store->writes.join(',')));
        // A removed setting falls back to its built-in default.
        QCOMPARE(m_defaults->string("lastBoard"), expected.value("lastBoard", "inbox").toString());
    }

    void twoMachinesShareOneSyncedFolder()
    {
        // Real time here: the synced document and its folder watch.
        Scheduler::setMain(nullptr);
        QTemporaryDir synced;
        Defaults here(m_dir.filePath("here.conf"));
        Defaults there(m_dir.filePath("there.conf"));
        FileKeyValueStore hereStore(synced.path());
        FileKeyValueStore thereStore(synced.path());
        SettingsSync::start(here, hereStore, kBundle);
        SettingsSync::start(there, thereStore, kBundle);

        here.set("gridSortOrder", "az");
        here.set("localStorageCapMB", 500);
        QTRY_COMPARE(there.string("gridSortOrder"), QString("az"));
        QTRY_COMPARE(there.integer("localStorageCapMB"), qint64(500));

        there.set("lastBoard", "B7");
        QTRY_COMPARE(here.string("lastBoard"), QString("B7"));
        QCOMPARE(here.string("gridSortOrder"), QString("az"));

        // The exchange comes to rest: nothing is written back and forth.
        QTest::qWait(300);
        const QDateTime settled = QFileInfo(hereStore.filePath()).lastModified();
        QTest::qWait(600);
        QCOMPARE(QFileInfo(hereStore.filePath()).lastModified(), settled);
    }

private:
    QTemporaryDir m_dir;
    int m_count = 0;
    std::unique_ptr<Defaults> m_defaults;
    std::unique_ptr<MemoryKeyValueStore> m_store;
    std::unique_ptr<ManualScheduler> m_scheduler;
    std::optional<SeamGuard> m_seams;
};

QTEST_GUILESS_MAIN(SettingsSyncTest)
#include "tst_settingssync.moc"
