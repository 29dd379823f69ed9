// What a section shows, where its drops go, the shared URL import and the
// permanent-delete question.
#include "SeamGuard.h"

#include "GridFixtures.h"

#include "views/CollectionContents.h"

#include "library/Media.h"

#include <QApplication>
#include <QFile>
#include <QTest>

using namespace vellora;

namespace {
Item plain(const QString &id, const QStringList &collections, const QString &kind = QStringLiteral("image"))
{
    Item item = storetest::namedItem(id, kind);
    item.pixelWidth = 4;
    item.pixelHeight = 3;
    item.contentHash = id;
    item.dateAdded = 800000000.0;
    item.collectionIds = collections;
    return item;
}

QStringList ids(const QList<Item> &items)
{
    QStringList out;
    for (const Item &item : items)
        out << item.id;
    return out;
}
} // namespace

class CollectionContentsTest : public QObject {
    Q_OBJECT
    std::optional<SeamGuard> m_seams;
private slots:
    void init() { m_seams.emplace(); }
    void cleanup() { m_seams.reset(); }
    void sections_data();
    void sections();
    void libraryWithoutCollections();
    void resolveBoard_data();
    void resolveBoard();
    void importURLsSortsFilesAndLinks();
    void permanentDelete_data();
    void permanentDelete();
};

// A fixed library: boards b1 (first, the inbox) and b2; items
//   i1 image in b1 (tagged red), i2 link in b2, i3 image in b1+b2 (tagged blue),
//   t1 and t2 trashed at the same moment, t3 trashed later, i4 link without
//   collection; smart folders "any" (red or blue), "all" (red and in b... ),
//   an empty one, one with an odd match word, and one whose id equals b2.
void CollectionContentsTest::sections_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("all") << "all" << QStringList{"i1", "i2", "i3", "i4"};
    QTest::newRow("inbox") << "inbox" << QStringList{"i1", "i3"};
    QTest::newRow("links") << "links" << QStringList{"i2", "i4"};
    QTest::newRow("trash: last trashed first, ties keep order") << "trash" << QStringList{"t3", "t1", "t2"};
    QTest::newRow("collection") << "b2" << QStringList{"i2", "i3"};
    QTest::newRow("unknown id") << "nowhere" << QStringList{};
    QTest::newRow("smart any") << "s-any" << QStringList{"i1", "i3"};
    QTest::newRow("smart all") << "s-all" << QStringList{"i1"};
    QTest::newRow("smart without rules") << "s-empty" << QStringList{};
    QTest::newRow("smart odd match is all") << "s-odd" << QStringList{"i1"};
    QTest::newRow("smart id equal to a collection wins") << "b1" << QStringList{"i2", "i4"};
}

void CollectionContentsTest::sections()
{
    QFETCH(QString, section);
    QFETCH(QStringList, expected);
    gridtest::Library lib;
    LibraryStore &store = *lib.store;
    Board b1;
    b1.id = "b1";
    b1.name = "Inbox";
    Board b2;
    b2.id = "b2";
    b2.name = "Two";
    store.replaceCollections({b1, b2});
    Item i1 = plain("i1", {"b1"});
    i1.tags = QStringList{"red"};
    Item i2 = plain("i2", {"b2"}, "link");
    Item i3 = plain("i3", {"b1", "b2"});
    i3.tags = QStringList{"blue"};
    Item t1 = plain("t1", {});
    t1.tags = QStringList{"red"};
    t1.trashedAt = 100.0;
    Item t2 = plain("t2", {}, "link");
    t2.trashedAt = 100.0;
    Item t3 = plain("t3", {});
    t3.trashedAt = 200.0;
    Item i4 = plain("i4", {}, "link");
    store.replaceItems({t1, i1, i2, t2, i3, t3, i4});
    SmartFolder any{"s-any", "Any", "any", {Rule::tagsAny({"red"}), Rule::tagsAny({"blue"})}};
    SmartFolder all{"s-all", "All", "all", {Rule::tagsAny({"red"}), Rule::kind("image")}};
    SmartFolder empty{"s-empty", "Empty", "any", {}};
    SmartFolder odd{"s-odd", "Odd", "most", {Rule::tagsAny({"red"}), Rule::kind("image")}};
    SmartFolder shadow{"b1", "Shadow", "all", {Rule::kind("link")}};
    store.replaceSmartFolders({any, all, empty, odd, shadow});

    // The inbox is the first collection even when a smart folder shares its id.
    QCOMPARE(ids(itemsInCollection(store, section)), expected);
}

void CollectionContentsTest::libraryWithoutCollections()
{
    gridtest::Library lib;
    LibraryStore &store = *lib.store;
    store.replaceCollections({});
    store.replaceItems({plain("a", {"x"}), plain("b", {""})});
    QCOMPARE(ids(itemsInCollection(store, "inbox")), QStringList{"b"});
    for (const QString &section : {"all", "inbox", "trash", "x"})
        QCOMPARE(resolveBoardId(store, section), QString());
}

void CollectionContentsTest::resolveBoard_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("expected");
    QTest::newRow("all") << "all" << "b1";
    QTest::newRow("inbox") << "inbox" << "b1";
    QTest::newRow("links") << "links" << "b1";
    QTest::newRow("trash") << "trash" << "b1";
    QTest::newRow("smart folder") << "s1" << "b1";
    QTest::newRow("second collection") << "b2" << "b2";
    QTest::newRow("prefix of an id") << "b" << "b1";
}

void CollectionContentsTest::resolveBoard()
{
    QFETCH(QString, section);
    QFETCH(QString, expected);
    gridtest::Library lib;
    Board b1;
    b1.id = "b1";
    Board b2;
    b2.id = "b2";
    // Collections whose ids are those of sections (a stranger's share could
    // bring them): a section still resolves to the default collection.
    Board inbox;
    inbox.id = "inbox";
    Board trash;
    trash.id = "trash";
    lib.store->replaceCollections({b1, b2, inbox, trash});
    lib.store->replaceSmartFolders({SmartFolder{"s1", "S", "all", {Rule::noTags()}}});
    QCOMPARE(resolveBoardId(*lib.store, section), expected);
}

void CollectionContentsTest::importURLsSortsFilesAndLinks()
{
    gridtest::Library lib;
    LibraryStore &store = *lib.store;
    const QString second = store.createCollection("Second");
    const QString a = lib.dir.filePath("a.png");
    const QString b = lib.dir.filePath("b.png");
    gridtest::picture(40, 30, Qt::red).save(a);
    gridtest::picture(30, 40, Qt::green).save(b);
    // Closed loopback ports: the metadata run fails at once and keeps the item.
    importURLs({QUrl::fromLocalFile(a), QUrl("http://127.0.0.1:1/first"), QUrl("ftp://files.example.org/x"),
                QUrl::fromLocalFile(b), QUrl("http://127.0.0.1:1/first")},
               store, second);
    QTRY_COMPARE(store.items().size(), 3);
    QStringList kinds;
    for (const Item &item : store.items()) {
        QCOMPARE(item.collectionIds, QStringList{second});
        kinds << item.kind;
    }
    kinds.sort();
    QCOMPARE(kinds, (QStringList{"image", "image", "link"}));
    for (const Item &item : store.items())
        if (item.kind == "link")
            QCOMPARE(item.sourceURL.value_or(QString()), QString("http://127.0.0.1:1/first"));

    importURLs({}, store, second);
    QTest::qWait(20);
    QCOMPARE(store.items().size(), 3);
}

void CollectionContentsTest::permanentDelete_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<QString>("message");
    QTest::newRow("none asks nothing") << 0 << true << QString();
    QTest::newRow("one, delete") << 1 << true << "Delete this item permanently?";
    QTest::newRow("one, cancel") << 1 << false << "Delete this item permanently?";
    QTest::newRow("three, delete") << 3 << true << "Delete 3 items permanently?";
    QTest::newRow("three, cancel") << 3 << false << "Delete 3 items permanently?";
}

void CollectionContentsTest::permanentDelete()
{
    QFETCH(int, count);
    QFETCH(bool, accept);
    QFETCH(QString, message);
    gridtest::Library lib;
    const QStringList made = lib.addPictures({Qt::red, Qt::green, Qt::blue, Qt::yellow});
    QCOMPARE(made.size(), 4);
    lib.store->trash(made);
    const QStringList targets = made.mid(0, count);

    QStringList asked;
    setDestructiveAlert([&](QWidget *, const QString &text, const QString &informative, const QString &button) {
        asked << text << informative << button;
        return accept;
    });
    const bool deleted = confirmDeletePermanently(targets, *lib.store);

    if (message.isEmpty())
        QVERIFY(asked.isEmpty());
    else
        QCOMPARE(asked, (QStringList{message, "You can't undo this.", "Delete"}));
    QCOMPARE(deleted, accept && count > 0);
    const int left = deleted ? 4 - count : 4;
    QCOMPARE(lib.store->items().size(), left);
    // The files of a deleted item go with it; the others stay.
    for (const QString &id : made) {
        const bool gone = deleted && targets.contains(id);
        QCOMPARE(QFile::exists(thumbnailPath(lib.root(), id + ".jpg")), !gone);
        QCOMPARE(QFile::exists(coverPath(lib.root(), id + ".jpg")), !gone);
    }
}

QTEST_MAIN(CollectionContentsTest)
#include "tst_collectioncontents.moc"
