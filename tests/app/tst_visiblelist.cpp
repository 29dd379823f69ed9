// The visible items kept by id: after every edit of the library's records,
// the list and the change handed to the grid must equal the visible items
// computed afresh, under each section kind, sort order and filter.
#include "app/VisibleItems.h"

#include "ItemFixtures.h"

#include "library/SmartFolder.h"

#include <QtTest>

#include <functional>

using namespace vellora;
using apptest::imageItem;

namespace {

using Member = std::function<bool(const Item &)>;

// Where each shown item stands in the store's list.
QList<qsizetype> storePositions(const QList<Item> &store, const QList<Item> &shown)
{
    QList<qsizetype> positions;
    for (const Item &item : shown)
        for (qsizetype i = 0; i < store.size(); ++i)
            if (store[i].id == item.id)
                positions.append(i);
    return positions;
}

// The store's list: ties of date, name and openings, two links, two items in
// the trash (one trashed at the same moment as another), one red palette.
QList<Item> library()
{
    QList<Item> items;
    Item a = imageItem("A", "img10.png", 100);
    a.palette = QStringList{"#ff2a00"};
    a.ocrText = QStringLiteral("moss wall");
    a.openCount = 1;
    a.lastOpenedAt = 50;
    Item b = imageItem("B", "img2.png", 300);
    b.tags = QStringList{"poster"};
    b.openCount = 2;
    Item c = imageItem("C", "Banner.jpg", 200);
    c.kind = QStringLiteral("link");
    c.title = QStringLiteral("Moss gardens");
    c.openCount = 1;
    c.lastOpenedAt = 70;
    Item d = imageItem("D", "zebra.png", 200);
    d.tags = QStringList{"poster"};
    d.palette = QStringList{"#ff3300"};
    Item e = imageItem("E", "banner.jpg", 50);
    e.trashedAt = 900;
    e.ocrText = QStringLiteral("moss");
    Item f = imageItem("F", "Img2.png", 300);
    f.kind = QStringLiteral("link");
    f.trashedAt = 900;
    Item g = imageItem("G", "apple.png", 400);
    g.trashedAt = 950;
    g.tags = QStringList{"poster"};
    Item h = imageItem("H", "img10.png", 100);
    h.openCount = 1;
    h.lastOpenedAt = 50;
    return {a, b, c, d, e, f, g, h};
}

struct Section {
    Member member;
    bool trash = false;
};

Section sectionNamed(const QString &name)
{
    if (name == "all")
        return {[](const Item &item) { return !item.trashedAt; }};
    if (name == "links")
        return {[](const Item &item) { return !item.trashedAt && item.kind == QLatin1String("link"); }};
    if (name == "trash")
        return {[](const Item &item) { return bool(item.trashedAt); }, true};
    // A smart folder: posters outside the trash.
    SmartFolder folder;
    folder.match = QStringLiteral("all");
    folder.rules = {Rule::tagsAny({QStringLiteral("poster")})};
    return {[folder](const Item &item) { return !item.trashedAt && folder.matches(item); }};
}

// The section's items as the store yields them.
QList<Item> sectionItems(const QList<Item> &store, const Section &s)
{
    QList<Item> out;
    for (const Item &item : store)
        if (s.member(item))
            out.append(item);
    if (s.trash)
        std::stable_sort(out.begin(), out.end(), [](const Item &a, const Item &b) { return *a.trashedAt > *b.trashedAt; });
    return out;
}

QStringList ids(const QList<Item> &items)
{
    QStringList out;
    for (const Item &item : items)
        out.append(item.id);
    return out;
}

VisibleFilter filterNamed(const QString &name, const QString &sort)
{
    VisibleFilter filter;
    filter.sort = sort;
    if (name == "search")
        filter.query = QStringLiteral("MOSS");
    else if (name == "colour")
        filter.hueFilter = 10;
    else if (name == "ranked")
        filter.ranked = QHash<QString, int>{{"B", 5}, {"C", 9}, {"G", 5}, {"N", 7}, {"H", 1}};
    else if (name == "nothing")
        filter.query = QStringLiteral("?!");
    return filter;
}

// One edit of the store's list; it says which ids it touched and where the
// removed ones were.
struct Edit {
    QStringList ids;
    QList<qsizetype> removedAt;
};

Edit applyEdit(QList<Item> &store, const QString &edit)
{
    auto at = [&](const QString &id) {
        for (qsizetype i = 0; i < store.size(); ++i)
            if (store[i].id == id)
                return i;
        return qsizetype(-1);
    };
    if (edit == "add newest") {
        Item n = imageItem("N", "new.png", 500);
        n.tags = QStringList{"poster"};
        n.ocrText = QStringLiteral("moss");
        n.palette = QStringList{"#ff2000"};
        store.append(n);
        return {{"N"}, {}};
    }
    if (edit == "add tie") {
        // Same date, name and openings as others: the store's order decides.
        Item n = imageItem("N", "img2.png", 200);
        n.kind = QStringLiteral("link");
        n.title = QStringLiteral("moss");
        n.openCount = 1;
        n.lastOpenedAt = 70;
        store.append(n);
        return {{"N"}, {}};
    }
    if (edit == "add two") {
        Item n = imageItem("N", "a.png", 10);
        Item m = imageItem("M", "b.png", 1000);
        m.tags = QStringList{"poster"};
        store.append(n);
        store.append(m);
        return {{"N", "M"}, {}};
    }
    if (edit == "retitle") {
        store[at("C")].originalFilename = QStringLiteral("zz.png");
        store[at("C")].title = QStringLiteral("Plain");
        return {{"C"}, {}};
    }
    if (edit == "redate") {
        store[at("H")].dateAdded = 250;
        store[at("H")].tags = QStringList{"poster"};
        return {{"H"}, {}};
    }
    if (edit == "open") {
        store[at("D")].openCount = 3;
        store[at("D")].lastOpenedAt = 99;
        return {{"D"}, {}};
    }
    if (edit == "trash") {
        store[at("D")].trashedAt = 950;
        return {{"D"}, {}};
    }
    if (edit == "restore") {
        store[at("E")].trashedAt.reset();
        return {{"E"}, {}};
    }
    if (edit == "remove") {
        const qsizetype i = at("B");
        store.removeAt(i);
        return {{"B"}, {i}};
    }
    if (edit == "remove two then add") {
        // The records after the removed ones moved up twice; the new one
        // still comes last in the store's order.
        const qsizetype first = at("B");
        store.removeAt(first);
        const qsizetype second = at("F");
        store.removeAt(second);
        Item n = imageItem("N", "img10.png", 100);
        n.openCount = 1;
        n.lastOpenedAt = 50;
        store.append(n);
        return {{"B", "F", "N"}, {first, second}};
    }
    if (edit == "remove trashed then add") {
        const qsizetype i = at("F");
        store.removeAt(i);
        Item n = imageItem("N", "img2.png", 300);
        n.tags = QStringList{"poster"};
        store.append(n);
        return {{"F", "N"}, {i}};
    }
    // "remove and change": two edits in one turn, the later one after the
    // removal moved the records up.
    const qsizetype i = at("A");
    store.removeAt(i);
    store[at("H")].dateAdded = 1;
    return {{"A", "H"}, {i}};
}

} // namespace

class VisibleListTest : public QObject {
    Q_OBJECT
private slots:
    void followsEdits_data();
    void followsEdits();
    void keepsUnchangedItemsOutOfTheChange();
};

void VisibleListTest::followsEdits_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("sort");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("edit");
    const QStringList sections{"all", "links", "trash", "smart"};
    const QStringList sorts{"newest", "oldest", "az", "za", "opened", "store"};
    const QStringList filters{"none", "search", "colour", "ranked", "nothing"};
    const QStringList edits{"add newest", "add tie", "add two",  "retitle", "redate", "open",
                            "trash",      "restore", "remove", "remove two then add", "remove trashed then add", "remove and change"};
    for (const QString &s : sections)
        for (const QString &sort : sorts)
            for (const QString &f : filters)
                for (const QString &e : edits)
                    QTest::addRow("%s %s %s %s", qPrintable(s), qPrintable(sort), qPrintable(f), qPrintable(e))
                        << s << sort << f << e;
}

void VisibleListTest::followsEdits()
{
    QFETCH(QString, section);
    QFETCH(QString, sort);
    QFETCH(QString, filter);
    QFETCH(QString, edit);
    const Section s = sectionNamed(section);
    const VisibleFilter f = filterNamed(filter, sort);
    QList<Item> store = library();

    const QList<Item> before = filteredSortedItems(sectionItems(store, s), f);
    const QList<qsizetype> positions = storePositions(store, before);
    VisibleList list;
    SearchKeyCache cache;
    list.reset(before, positions, f, s.trash);
    QCOMPARE(list.ids(), ids(before));

    const Edit change = applyEdit(store, edit);
    for (qsizetype at : change.removedAt)
        list.removedAt(at);
    QList<std::pair<qsizetype, Item>> records;
    for (qsizetype i = 0; i < store.size(); ++i)
        if (change.ids.contains(store[i].id))
            records.append({i, store[i]});
    const VisibleDiff diff = list.update(change.ids, records, s.member, &cache);

    const QStringList expected = ids(filteredSortedItems(sectionItems(store, s), f));
    QCOMPARE(list.ids(), expected);
    // The grid's side: the old list with the change applied.
    QStringList grid = ids(before);
    for (const QString &id : diff.removed)
        QVERIFY2(grid.removeOne(id), qPrintable(id));
    qsizetype last = -1;
    for (const auto &[at, item] : diff.inserted) {
        QVERIFY(at > last);
        last = at;
        grid.insert(at, item.id);
    }
    QCOMPARE(grid, expected);
}

void VisibleListTest::keepsUnchangedItemsOutOfTheChange()
{
    // Only the edited record travels; its unchanged neighbours are not named.
    QList<Item> store = library();
    const Section s = sectionNamed("all");
    VisibleFilter f;
    f.sort = QStringLiteral("newest");
    const QList<Item> before = filteredSortedItems(sectionItems(store, s), f);
    const QList<qsizetype> positions = storePositions(store, before);
    VisibleList list;
    list.reset(before, positions, f, false);

    applyEdit(store, "add newest");
    VisibleDiff diff = list.update({"N"}, {{store.size() - 1, store.last()}}, s.member);
    QVERIFY(diff.removed.isEmpty());
    QCOMPARE(diff.inserted.size(), 1);
    QCOMPARE(diff.inserted.first().first, 0);
    QCOMPARE(diff.inserted.first().second.id, QStringLiteral("N"));

    // An id the section never showed and that left the store: nothing to do.
    diff = list.update({"X"}, {}, s.member);
    QVERIFY(diff.isEmpty());
}

QTEST_GUILESS_MAIN(VisibleListTest)
#include "tst_visiblelist.moc"
