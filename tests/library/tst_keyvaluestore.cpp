#include "platform/AtomicFile.h"
#include "platform/KeyValueStore.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace vellora;

namespace {
QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

class KeyValueStoreTest : public QObject {
    Q_OBJECT

private slots:
    void inertWithoutCloudPlace()
    {
        FileKeyValueStore store{QString()};
        QVERIFY(store.isInert());
        store.setObject("gridSortOrder", "az");
        QVERIFY(!store.object("gridSortOrder").isValid());
        QVERIFY(store.dictionaryRepresentation().isEmpty());
        QVERIFY(!store.synchronize());
    }

    void valuesKeepTheirTypesAcrossInstances()
    {
        QTemporaryDir dir;
        {
            FileKeyValueStore store(dir.path());
            store.setObject("localStorageCapMB", 500);
            store.setObject("gridSortOrder", "oldest");
            store.setObject("flag", true);
            store.setObject("ratio", 0.5);
            store.setObject("gone", "x");
            store.removeObject("gone");
        }
        FileKeyValueStore again(dir.path());
        QCOMPARE(again.dictionaryRepresentation().keys(),
                 (QStringList{"flag", "gridSortOrder", "localStorageCapMB", "ratio"}));
        QCOMPARE(again.object("localStorageCapMB").typeId(), QMetaType::LongLong);
        QCOMPARE(again.object("localStorageCapMB").toLongLong(), 500);
        QCOMPARE(again.object("gridSortOrder").toString(), QString("oldest"));
        QCOMPARE(again.object("flag").typeId(), QMetaType::Bool);
        QCOMPARE(again.object("ratio").toDouble(), 0.5);
    }

    void anotherWriterIsAnnouncedOwnWritesAreNot()
    {
        QTemporaryDir dir;
        FileKeyValueStore mine(dir.path());
        QSignalSpy spy(&mine, &KeyValueStore::changedExternally);
        mine.setObject("lastBoard", "B1");
        mine.setObject("gridSortOrder", "az");
        QTest::qWait(200);
        QCOMPARE(spy.count(), 0);

        // Another machine's sync client replaces the document.
        writeFileAtomically(mine.filePath(), R"({"gridSortOrder": "za", "localStorageCapMB": 7})");
        QTRY_COMPARE(spy.count(), 1);
        QStringList keys = spy.at(0).at(0).toStringList();
        keys.sort();
        QCOMPARE(keys, (QStringList{"gridSortOrder", "lastBoard", "localStorageCapMB"}));
        QCOMPARE(mine.object("gridSortOrder").toString(), QString("za"));
        QVERIFY(!mine.object("lastBoard").isValid());

        // A write after that keeps the other side's keys.
        mine.setObject("lastBoard", "B2");
        FileKeyValueStore reader(dir.path());
        QCOMPARE(reader.object("localStorageCapMB").toInt(), 7);
        QCOMPARE(reader.object("lastBoard").toString(), QString("B2"));
    }

    void undecodableDocumentIsNeverOverwritten()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(FileKeyValueStore::kFileName);
        const QByteArray damaged = "{\"gridSortOrder\": \"az\", ";
        writeFileAtomically(path, damaged);

        FileKeyValueStore store(dir.path());
        QVERIFY(store.dictionaryRepresentation().isEmpty());
        store.setObject("gridSortOrder", "oldest");
        store.removeObject("gridSortOrder");
        QVERIFY(!store.synchronize());
        QCOMPARE(readAll(path), damaged);

        // Once it decodes again the store takes it in and writes go through.
        writeFileAtomically(path, R"({"lastBoard": "B1"})");
        QVERIFY(store.synchronize());
        store.setObject("gridSortOrder", "oldest");
        FileKeyValueStore reader(dir.path());
        QCOMPARE(reader.object("lastBoard").toString(), QString("B1"));
        QCOMPARE(reader.object("gridSortOrder").toString(), QString("oldest"));
    }
};

QTEST_GUILESS_MAIN(KeyValueStoreTest)
#include "tst_keyvaluestore.moc"
