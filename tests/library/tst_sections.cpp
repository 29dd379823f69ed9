// Which records belong to which section, and the section counts that edits
// keep up to date without reading the whole library again.
#include "library/LibraryStore.h"
#include "library/Sections.h"

#include "StoreFixtures.h"

#include <QTemporaryDir>
#include <QTest>

using namespace vellora;
using namespace storetest;

namespace {
// b1 is the inbox. i1 image in b1 tagged red, i2 link in b2, i3 image in b1
// and b2 tagged blue, t1 trashed red image still naming b1, t2 trashed link.
QList<Item> records()
{
    Item i1 = item("i1", {"b1"});
    i1.tags = QStringList{"red"};
    Item i2 = item("i2", {"b2"});
    i2.kind = QStringLiteral("link");
    Item i3 = item("i3", {"b1", "b2"});
    i3.tags = QStringList{"blue"};
    Item t1 = item("t1", {"b1"});
    t1.tags = QStringList{"red"};
    t1.trashedAt = 800000000.0;
    Item t2 = item("t2", {});
    t2.kind = QStringLiteral("link");
    t2.trashedAt = 800000000.0;
    return {i1, i2, i3, t1, t2};
}

QList<SmartFolder> folders()
{
    return {SmartFolder{"s-any", "Any", "any", {Rule::tagsAny({"red"}), Rule::tagsAny({"blue"})}},
            SmartFolder{"s-all", "All", "all", {Rule::tagsAny({"red"}), Rule::kind("image")}},
            SmartFolder{"s-empty", "Empty", "any", {}},
            // Shadows the collection b2; the first folder with an id decides.
            SmartFolder{"b2", "Links", "all", {Rule::kind("link")}},
            SmartFolder{"b2", "Late", "all", {Rule::kind("image")}}};
}

QStringList members(const SectionMember &member, const QList<Item> &items)
{
    QStringList ids;
    for (const Item &i : items)
        if (member(i))
            ids << i.id;
    return ids;
}

QList<int> counts(const SectionCounts &c, qsizetype n)
{
    QList<int> out;
    for (qsizetype i = 0; i < n; ++i)
        out << c.count(i);
    return out;
}
} // namespace

class TestSections : public QObject {
    Q_OBJECT
private slots:
    void builtInTable()
    {
        QStringList rows;
        for (const BuiltInSection &s : builtInSections())
            rows << s.id + "|" + s.title + "|" + s.icon + "|" + s.rowTitle;
        QCOMPARE(rows, (QStringList{"all|All|rectangle.stack|All Items", "inbox|Inbox|tray|Inbox",
                                    "links|Links|link|Links", "trash|Trash|trash|Trash"}));
        QCOMPARE(builtInSection("trash"), &builtInSections().at(3));
        QVERIFY(!builtInSection("Trash"));
        QVERIFY(!builtInSection(QString()));
    }

    void membership_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("all: outside the trash") << "all" << QStringList{"i1", "i2", "i3"};
        QTest::newRow("inbox: the first collection's members") << "inbox" << QStringList{"i1", "i3", "t1"};
        QTest::newRow("links outside the trash") << "links" << QStringList{"i2"};
        QTest::newRow("trash") << "trash" << QStringList{"t1", "t2"};
        QTest::newRow("collection") << "b1" << QStringList{"i1", "i3", "t1"};
        QTest::newRow("unknown id") << "nowhere" << QStringList{};
        QTest::newRow("smart any, trash left out") << "s-any" << QStringList{"i1", "i3"};
        QTest::newRow("smart all") << "s-all" << QStringList{"i1"};
        QTest::newRow("smart without rules") << "s-empty" << QStringList{};
        QTest::newRow("smart folder over a collection, first one decides") << "b2" << QStringList{"i2"};
    }

    void membership()
    {
        QFETCH(QString, section);
        QFETCH(QStringList, expected);
        QCOMPARE(members(sectionMembership(section, "b1", folders()), records()), expected);
    }

    // Counts kept by edits equal counts made afresh, edit after edit.
    void countsFollowEdits()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/Library";
        QVERIFY(writeFile(root + "/library.json", document({board("b1", "Inbox"), board("b2", "Two")}, records())));
        LibraryStore store(root, false);
        QVERIFY(store.loaded());
        store.replaceSmartFolders(folders());

        auto sections = [&store] {
            QList<SectionMember> list{sectionMembership(store, kSectionLinks)};
            for (const SmartFolder &f : store.smartFolders())
                list << smartFolderMembership(f);
            return list;
        };
        SectionCounts kept;
        kept.recount(store.items(), sections(), 0);
        QVERIFY(kept.valid());
        // Links, then each folder by its own rules (the two b2 folders differ).
        QCOMPARE(counts(kept, 6), (QList<int>{1, 2, 1, 0, 1, 2}));
        connect(&store, &LibraryStore::itemsEdited, this,
                [&](const ItemChanges &changes) { kept.apply(changes, store.items()); });

        const QList<std::pair<const char *, std::function<void()>>> edits{
            {"trash a link", [&] { store.trash({"i2"}); }},
            {"restore it", [&] { store.restore({"i2"}); }},
            {"a tag added", [&] { store.updateItem("i3", [](Item &i) { i.tags = QStringList{"red"}; }); }},
            {"a picture becomes a link", [&] { store.updateItem("i1", [](Item &i) { i.kind = "link"; }); }},
            {"new records", [&] {
                 Item fresh = item("n1", {"b1"});
                 fresh.tags = QStringList{"blue"};
                 Item link = item("n2", {"b2"});
                 link.kind = "link";
                 store.appendItems({fresh, link});
             }},
            {"deleted for good", [&] { store.deletePermanently("i1"); }},
            {"a trashed record deleted", [&] { store.deletePermanently("t2"); }},
        };
        for (const auto &[what, edit] : edits) {
            edit();
            QVERIFY2(kept.valid(), what);
            SectionCounts fresh;
            fresh.recount(store.items(), sections(), 0);
            QCOMPARE(counts(kept, 6), counts(fresh, 6));
        }
    }

    void countsThatCannotFollowAskForARecount()
    {
        QList<Item> items = records();
        const SectionMember links = sectionMembership("links", "b1", {});
        SectionCounts c;
        c.recount(items, {links}, 0);
        QVERIFY(c.valid());
        // An edit whose position does not hold the record it names.
        ItemChanges wrong;
        wrong.change("i2", 0);
        c.apply(wrong, items);
        QVERIFY(!c.valid());

        // Two records with one id cannot be told apart by an edit.
        items.append(items.at(1));
        c.recount(items, {links}, 0);
        QCOMPARE(c.count(0), 2);
        QVERIFY(!c.valid());

        // More sections than an edit can follow: counted, but not kept.
        c.recount(records(), QList<SectionMember>(65, links), 7);
        QCOMPARE(c.count(64), 1);
        QCOMPARE(c.countedAt(), 7);
        QVERIFY(!c.valid());
        c.recount(records(), QList<SectionMember>(64, links), 8);
        QVERIFY(c.valid());
        QCOMPARE(c.count(64), 0);
    }
};

QTEST_GUILESS_MAIN(TestSections)
#include "tst_sections.moc"
