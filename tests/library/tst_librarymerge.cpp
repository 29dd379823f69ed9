#include "library/LibraryMerge.h"

#include "StoreFixtures.h"

#include <QTest>

using namespace vellora;
using namespace storetest;

namespace {
QStringList ids(const QList<Item> &items)
{
    QStringList out;
    for (const Item &i : items)
        out << i.id;
    return out;
}

QStringList ids(const QList<Board> &boards)
{
    QStringList out;
    for (const Board &b : boards)
        out << b.id;
    return out;
}

LibraryFile library(const QList<Board> &boards, const QList<Item> &items)
{
    LibraryFile file;
    file.collections = boards;
    file.items = items;
    file.smartFolders = QList<SmartFolder>{};
    return file;
}

Item tagged(const QString &id, const QString &tag, const QStringList &collections = {"B1"})
{
    Item i = item(id, collections);
    i.tags = QStringList{tag};
    return i;
}
} // namespace

class TestLibraryMerge : public QObject {
    Q_OBJECT

private slots:
    // One side's change against the common version, record by record.
    void items_data()
    {
        QTest::addColumn<QList<Item>>("local");
        QTest::addColumn<QList<Item>>("remote");
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QStringList>("tags"); // tag of each merged item
        const Item a = tagged("A", "base");
        const Item b = tagged("B", "base");
        QTest::newRow("nothing changed") << QList<Item>{a, b} << QList<Item>{a, b} << QStringList{"A", "B"}
                                         << QStringList{"base", "base"};
        QTest::newRow("changed there") << QList<Item>{a, b} << QList<Item>{tagged("A", "there"), b}
                                       << QStringList{"A", "B"} << QStringList{"there", "base"};
        QTest::newRow("changed here") << QList<Item>{tagged("A", "here"), b} << QList<Item>{a, b}
                                      << QStringList{"A", "B"} << QStringList{"here", "base"};
        QTest::newRow("changed on both sides") << QList<Item>{tagged("A", "here"), b}
                                               << QList<Item>{tagged("A", "there"), b} << QStringList{"A", "B"}
                                               << QStringList{"here", "base"};
        QTest::newRow("added on both sides") << QList<Item>{a, b, tagged("L", "l")}
                                             << QList<Item>{a, tagged("R", "r"), b} << QStringList{"A", "B", "L", "R"}
                                             << QStringList{"base", "base", "l", "r"};
        QTest::newRow("deleted there") << QList<Item>{a, b} << QList<Item>{b} << QStringList{"B"}
                                       << QStringList{"base"};
        QTest::newRow("deleted here") << QList<Item>{b} << QList<Item>{a, b} << QStringList{"B"}
                                      << QStringList{"base"};
        // A deletion removed the item's files: it wins over any change.
        QTest::newRow("deleted there, changed here") << QList<Item>{tagged("A", "here"), b} << QList<Item>{b}
                                                     << QStringList{"B"} << QStringList{"base"};
        QTest::newRow("deleted here, changed there") << QList<Item>{b} << QList<Item>{tagged("A", "there"), b}
                                                     << QStringList{"B"} << QStringList{"base"};
    }

    void items()
    {
        QFETCH(QList<Item>, local);
        QFETCH(QList<Item>, remote);
        QFETCH(QStringList, ids);
        QFETCH(QStringList, tags);
        const QList<Board> boards{board("B1")};
        const LibraryFile merged = mergeLibraries(library(boards, {tagged("A", "base"), tagged("B", "base")}),
                                                  library(boards, local), library(boards, remote));
        QCOMPARE(::ids(merged.items), ids);
        QStringList mergedTags;
        for (const Item &i : merged.items)
            mergedTags << i.tags.value().first();
        QCOMPARE(mergedTags, tags);
    }

    // Items of a collection that one side deleted fall back to the first one;
    // ids that never named a collection are left alone.
    void deletedCollections()
    {
        const LibraryFile base = library({board("B1"), board("B2")}, {item("A", {"B1", "B2"}), item("X", {"B2"})});
        const LibraryFile local = library({board("B1"), board("B2")},
                                          {item("A", {"B1", "B2"}), item("X", {"B2"}), item("N", {"B2", "ODD"})});
        LibraryFile remote = library({board("B1")}, {item("A", {"B1", "B2"}), item("X", {"B2"})});
        Item trashed = item("T", {});
        trashed.trashedAt = 1.0;
        trashed.trashedFrom = QStringList{"B2"};
        remote.items.append(trashed);
        const LibraryFile merged = mergeLibraries(base, local, remote);
        QCOMPARE(ids(merged.collections), QStringList{"B1"});
        QCOMPARE(merged.topLevelOrder, QStringList{"B1"});
        QCOMPARE(merged.items.at(0).collectionIds, QStringList{"B1"});
        QCOMPARE(merged.items.at(1).collectionIds, QStringList{"B1"});
        QCOMPARE(merged.items.at(2).collectionIds, QStringList{"ODD"});
        QCOMPARE(merged.items.at(3).trashedFrom, std::optional<QStringList>(QStringList{"B2"}));
        QVERIFY(merged.items.at(3).collectionIds.isEmpty());
    }

    void smartFoldersAbsentThere()
    {
        LibraryFile base = library({board("B1")}, {});
        base.smartFolders = SmartFolder::defaults();
        LibraryFile local = base;
        local.smartFolders->append(SmartFolder{"S", "Mine", "all", {Rule::noTags()}});
        LibraryFile remote = library({board("B1")}, {});
        remote.smartFolders.reset();
        const LibraryFile merged = mergeLibraries(base, local, remote);
        QCOMPARE(merged.smartFolders.value().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestLibraryMerge)
#include "tst_librarymerge.moc"
