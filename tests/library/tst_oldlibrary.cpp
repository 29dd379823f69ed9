// Reading the library.json of an older library folder, loosely typed.

#include <QTemporaryDir>
#include <QTest>

#include "PictureFixtures.h"
#include "library/OldLibrary.h"

using namespace vellora;

class TestOldLibrary : public QObject {
    Q_OBJECT
private slots:
    void refusesIncompleteDocuments_data();
    void refusesIncompleteDocuments();
    void readsCollectionsGroupsAndEntries();
};

void TestOldLibrary::refusesIncompleteDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("readable");
    QTest::newRow("no file") << QByteArray() << false;
    QTest::newRow("not json") << QByteArray("{\"collections\": [") << false;
    QTest::newRow("array") << QByteArray("[]") << false;
    QTest::newRow("no collections") << QByteArray(R"({"topLevelOrder": []})") << false;
    QTest::newRow("no order") << QByteArray(R"({"collections": []})") << false;
    QTest::newRow("collection not an object") << QByteArray(R"({"collections": [1], "topLevelOrder": []})") << false;
    QTest::newRow("order not strings") << QByteArray(R"({"collections": [], "topLevelOrder": [7]})") << false;
    QTest::newRow("collections an object") << QByteArray(R"({"collections": {}, "topLevelOrder": []})") << false;
    QTest::newRow("minimal") << QByteArray(R"({"collections": [], "topLevelOrder": []})") << true;
    QTest::newRow("items not a list") << QByteArray(R"({"collections": [], "topLevelOrder": [], "items": 3})") << true;
}

void TestOldLibrary::refusesIncompleteDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, readable);
    QTemporaryDir dir;
    if (!document.isNull())
        QVERIFY(fixtures::writeFile(dir.filePath("library.json"), document));
    QCOMPARE(readOldLibrary(dir.path()).has_value(), readable);
}

void TestOldLibrary::readsCollectionsGroupsAndEntries()
{
    QTemporaryDir dir;
    QVERIFY(fixtures::writeFile(dir.filePath("library.json"), R"({
      "collections": [
        {"id": "A", "name": "Posters", "dateCreated": 100, "groups": [{"itemIDs": ["i1", "i2"]}, {"itemIDs": ["i3"]}]},
        {"id": "B", "groups": [{"itemIDs": ["i2"]}, "not a group", {"itemIDs": "nope"}]},
        {"name": "no id", "groups": [{"itemIDs": ["i3"]}]},
        {"id": "C", "name": "Unlisted", "groups": [{"itemIDs": ["i4"]}]},
        {"id": "A", "name": "Second A"}
      ],
      "topLevelOrder": ["B", "missing", "A"],
      "items": [
        {"id": "late", "dateAdded": 300},
        "not an entry",
        {"id": "none"},
        {"id": "early", "dateAdded": 5.5},
        {"id": "text date", "dateAdded": "yesterday"},
        {"id": "mid", "dateAdded": 100}
      ],
      "somethingElse": true
    })"));
    const auto library = readOldLibrary(dir.path());
    QVERIFY(library.has_value());

    QCOMPARE(library->collections.size(), 2);
    QCOMPARE(library->collections[0].id, "B");
    QCOMPARE(library->collections[0].name, "Untitled");
    QCOMPARE(library->collections[0].dateCreated, 0.0);
    QCOMPARE(library->collections[1].id, "A");
    QCOMPARE(library->collections[1].name, "Posters");
    QCOMPARE(library->collections[1].dateCreated, 100.0);

    QCOMPARE(library->collectionOfItem.value("i1"), "A");
    QCOMPARE(library->collectionOfItem.value("i2"), "B"); // the last collection listing it
    QVERIFY(!library->collectionOfItem.contains("i3"));    // last listed by a collection without id
    QCOMPARE(library->collectionOfItem.value("i4"), "C");

    QStringList order;
    for (const auto &entry : library->entries)
        order << oldString(entry, "id").value_or("?");
    // Entries without a numeric date count as 0 and keep their file order.
    QCOMPARE(order, (QStringList{"none", "text date", "early", "mid", "late"}));
}

QTEST_GUILESS_MAIN(TestOldLibrary)
#include "tst_oldlibrary.moc"
