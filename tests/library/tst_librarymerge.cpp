#include "library/LibraryMerge.h"

#include "StoreFixtures.h"

#include <QTest>

#include <functional>

#include <nlohmann/json.hpp>

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

// A change to one item, written as what it does to the common version.
using Edit = std::function<void(Item &)>;

Item edited(const Edit &edit)
{
    Item i = item("A", {"B1"});
    i.tags = QStringList{"base"};
    i.title = QStringLiteral("Base");
    i.openCount = 1;
    if (edit)
        edit(i);
    return i;
}
} // namespace

Q_DECLARE_METATYPE(Edit)

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

    // One item changed on both sides: every rule the merge promises for the
    // fields of one item, one row each. Expected is written as an edit of
    // the common version, the way the two sides are.
    void fieldsOfOneItem_data()
    {
        QTest::addColumn<Edit>("local");
        QTest::addColumn<Edit>("remote");
        QTest::addColumn<Edit>("expected");
        const auto tags = [](QStringList t) -> Edit { return [t](Item &i) { i.tags = t; }; };
        const auto trash = [](double at) -> Edit {
            return [at](Item &i) {
                i.trashedFrom = i.collectionIds;
                i.collectionIds.clear();
                i.trashedAt = at;
            };
        };
        const Edit none;

        // A change on one side wins over no change, whichever side and field.
        QTest::newRow("title changed there") << none << Edit([](Item &i) { i.title = "There"; })
                                             << Edit([](Item &i) { i.title = "There"; });
        QTest::newRow("title changed here, count there")
            << Edit([](Item &i) { i.title = "Here"; }) << Edit([](Item &i) { i.openCount = 5; })
            << Edit([](Item &i) {
                   i.title = "Here";
                   i.openCount = 5;
               });
        QTest::newRow("field removed there") << none << Edit([](Item &i) { i.title.reset(); })
                                             << Edit([](Item &i) { i.title.reset(); });
        QTest::newRow("palette set there, summary here")
            << Edit([](Item &i) { i.summary = "S"; }) << Edit([](Item &i) { i.palette = QStringList{"#112233"}; })
            << Edit([](Item &i) {
                   i.summary = "S";
                   i.palette = QStringList{"#112233"};
               });
        // A true clash keeps the local value.
        QTest::newRow("title changed on both sides") << Edit([](Item &i) { i.title = "Here"; })
                                                     << Edit([](Item &i) { i.title = "There"; })
                                                     << Edit([](Item &i) { i.title = "Here"; });

        // Tags merge as sets: additions of both sides are kept, a removal on
        // either side stays removed.
        QTest::newRow("tags added on both sides") << tags({"base", "here"}) << tags({"base", "there"})
                                                  << tags({"base", "here", "there"});
        QTest::newRow("tag removed here, added there") << tags({}) << tags({"base", "there"}) << tags({"there"});
        QTest::newRow("tag removed there, added here") << tags({"base", "here"}) << tags({}) << tags({"here"});
        // Collections merge as sets.
        QTest::newRow("collections added on both sides")
            << Edit([](Item &i) { i.collectionIds = {"B1", "B2"}; })
            << Edit([](Item &i) { i.collectionIds = {"B1", "B3"}; })
            << Edit([](Item &i) { i.collectionIds = {"B1", "B2", "B3"}; });
        QTest::newRow("collection left here, joined there")
            << Edit([](Item &i) { i.collectionIds = {"B2"}; })
            << Edit([](Item &i) { i.collectionIds = {"B1", "B3"}; })
            << Edit([](Item &i) { i.collectionIds = {"B2", "B3"}; });

        // A move to the trash wins on either side and takes its membership
        // along; collections the other side added meanwhile are remembered.
        QTest::newRow("trashed here") << trash(5) << none << trash(5);
        QTest::newRow("trashed there") << none << trash(5) << trash(5);
        QTest::newRow("trashed here, joined a collection there")
            << trash(5) << Edit([](Item &i) { i.collectionIds = {"B1", "B2"}; }) << Edit([](Item &i) {
                   i.collectionIds.clear();
                   i.trashedAt = 5;
                   i.trashedFrom = QStringList{"B1", "B2"};
               });
        QTest::newRow("trashed there, joined a collection here")
            << Edit([](Item &i) { i.collectionIds = {"B1", "B2"}; }) << trash(5) << Edit([](Item &i) {
                   i.collectionIds.clear();
                   i.trashedAt = 5;
                   i.trashedFrom = QStringList{"B1", "B2"};
               });
        QTest::newRow("trashed there, tagged here")
            << tags({"base", "here"}) << trash(5) << Edit([](Item &i) {
                   i.tags = QStringList{"base", "here"};
                   i.trashedFrom = i.collectionIds;
                   i.collectionIds.clear();
                   i.trashedAt = 5;
               });
    }

    void fieldsOfOneItem()
    {
        QFETCH(Edit, local);
        QFETCH(Edit, remote);
        QFETCH(Edit, expected);
        const QList<Board> boards{board("B1"), board("B2"), board("B3")};
        const LibraryFile merged = mergeLibraries(library(boards, {edited({})}), library(boards, {edited(local)}),
                                                  library(boards, {edited(remote)}));
        QCOMPARE(merged.items.size(), 1);
        QCOMPARE(QString::fromStdString(merged.items.first().toJSON().dump()),
                 QString::fromStdString(edited(expected).toJSON().dump()));
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
