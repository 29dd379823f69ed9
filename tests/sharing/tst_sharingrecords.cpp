// The shared-collection record format: library values to records and back,
// the stored snapshot, and which database a collection lives in.

#include "SharingFixtures.h"

#include "sharing/SharingRecords.h"

#include <QJsonArray>
#include <QtTest>

using namespace vellora;

class SharingRecordsTest : public QObject {
    Q_OBJECT

private slots:
    void scopeOfACollection_data()
    {
        QTest::addColumn<std::optional<QString>>("zone");
        QTest::addColumn<std::optional<QString>>("owner");
        QTest::addColumn<bool>("joined");
        QTest::newRow("local") << std::optional<QString>() << std::optional<QString>() << false;
        QTest::newRow("zone without owner is private") << std::optional<QString>(QStringLiteral("collection-x"))
                                                       << std::optional<QString>() << false;
        QTest::newRow("empty owner is private") << std::optional<QString>(QStringLiteral("collection-x"))
                                                << std::optional<QString>(QString()) << false;
        QTest::newRow("own share") << std::optional<QString>(QStringLiteral("collection-x"))
                                   << std::optional<QString>(kCurrentUserDefaultName) << false;
        QTest::newRow("joined") << std::optional<QString>(QStringLiteral("collection-x"))
                                << std::optional<QString>(QStringLiteral("ada")) << true;
    }
    void scopeOfACollection()
    {
        QFETCH(std::optional<QString>, zone);
        QFETCH(std::optional<QString>, owner);
        QFETCH(bool, joined);
        Board board;
        board.id = QStringLiteral("x");
        board.zone = zone;
        board.zoneOwner = owner;
        QCOMPARE(isJoined(board), joined);
        QCOMPARE(scopeFor(board) == CloudScope::Shared, joined);
        QCOMPARE(zoneFor(board).owner, joined ? *owner : kCurrentUserDefaultName);
        QCOMPARE(zoneFor(board).name, QStringLiteral("collection-x"));
    }

    void snapshotShape_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("usable");
        QTest::newRow("absent") << QVariant() << false;
        QTest::newRow("lists of strings") << QVariant(QVariantMap{{QStringLiteral("a"), QStringList{QStringLiteral("1")}},
                                                                  {QStringLiteral("b"), QStringList()}})
                                          << true;
        QTest::newRow("variant list of strings")
            << QVariant(QVariantMap{{QStringLiteral("a"), QVariantList{QStringLiteral("1")}}}) << true;
        QTest::newRow("a number inside") << QVariant(QVariantMap{{QStringLiteral("a"), QVariantList{1}}}) << false;
        QTest::newRow("a string for a list") << QVariant(QVariantMap{{QStringLiteral("a"), QStringLiteral("1")}}) << false;
        QTest::newRow("not a dictionary") << QVariant(QStringList{QStringLiteral("a")}) << false;
    }
    void snapshotShape()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, usable);
        const auto snapshot = decodeSnapshot(stored);
        QCOMPARE(snapshot.has_value(), usable);
        if (usable)
            QCOMPARE(decodeSnapshot(encodeSnapshot(*snapshot)), snapshot);
    }

    void itemToRecord()
    {
        sharingtest::Library library([](QObject *) -> CloudContainer * { return nullptr; });
        const QString id = library.addImage({QStringLiteral("c")});
        Item item = *library.store->item(id);
        item.sourceURL = QStringLiteral("https://example.org/a");
        const CloudZoneID zone{QStringLiteral("collection-c"), kCurrentUserDefaultName};
        CloudRecord record = itemRecord(item, zone, QStringLiteral("c"), library.root());
        QCOMPARE(record.type, kItemRecordType);
        QCOMPARE(record.name, id);
        QCOMPARE(record.parent, QStringLiteral("c"));
        QCOMPARE(record.fields.value(QStringLiteral("label")).toString(), item.originalFilename);
        QCOMPARE(record.fields.value(QStringLiteral("ext")).toString(), QStringLiteral("png"));
        QCOMPARE(record.fields.value(QStringLiteral("addedAt")).toDouble(), item.dateAdded);
        QCOMPARE(record.fields.value(QStringLiteral("tags")).toArray().size(), 1);
        QCOMPARE(record.fields.value(QStringLiteral("sourceURL")).toString(), *item.sourceURL);
        QVERIFY(!record.fields.contains(QStringLiteral("title")));
        QCOMPARE(record.assets.keys(), (QStringList{QStringLiteral("original"), QStringLiteral("thumbnail")}));

        // Missing files leave the assets out; no extension gives an empty one.
        item.storedFilename = QStringLiteral("noextension");
        item.thumbnailFilename = QStringLiteral("../escape.jpg");
        record = itemRecord(item, zone, QStringLiteral("c"), library.root());
        QCOMPARE(record.fields.value(QStringLiteral("ext")).toString(), QString());
        QVERIFY(record.assets.isEmpty());
    }

    void recordToItem_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QJsonObject>("fields");
        QTest::addColumn<bool>("made");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<std::optional<QString>>("url");

        const QString id = QStringLiteral("0b3b6b3c-1d1e-4c4f-9a9b-5a5b5c5d5e5f");
        const auto none = std::optional<QString>();
        QTest::newRow("plain") << id << QJsonObject{{"ext", "jpeg"}, {"label", "a.jpeg"}, {"kind", "image"}} << true
                               << id + ".jpeg" << "a.jpeg" << "image" << none;
        QTest::newRow("missing ext") << id << QJsonObject{} << true << id + ".png" << id + ".png" << "image" << none;
        QTest::newRow("empty ext") << id << QJsonObject{{"ext", ""}} << true << id + ".png" << id + ".png" << "image" << none;
        QTest::newRow("ext with a path") << id << QJsonObject{{"ext", "../../etc/passwd"}} << true << id + ".png"
                                         << id + ".png" << "image" << none;
        QTest::newRow("ext too long") << id << QJsonObject{{"ext", "abcdefghi"}} << true << id + ".png" << id + ".png"
                                      << "image" << none;
        QTest::newRow("label with a path") << id << QJsonObject{{"ext", "gif"}, {"label", "../x.gif"}} << true
                                           << id + ".gif" << id + ".gif" << "image" << none;
        QTest::newRow("unknown kind") << id << QJsonObject{{"kind", "script"}} << true << id + ".png" << id + ".png"
                                      << "image" << none;
        QTest::newRow("link") << id << QJsonObject{{"kind", "link"}, {"sourceURL", "example.org/page"}} << true
                              << id + ".png" << id + ".png" << "link"
                              << std::optional<QString>(QStringLiteral("https://example.org/page"));
        QTest::newRow("address that is no link") << id << QJsonObject{{"kind", "link"}, {"sourceURL", "file:///etc/passwd"}}
                                                 << true << id + ".png" << id + ".png" << "link" << none;
        QTest::newRow("name with a path") << "../../x" << QJsonObject{} << false << "" << "" << "" << none;
        QTest::newRow("name that is no id") << "inbox" << QJsonObject{} << false << "" << "" << "" << none;
    }
    void recordToItem()
    {
        QFETCH(QString, name);
        QFETCH(QJsonObject, fields);
        QFETCH(bool, made);
        CloudRecord record;
        record.type = kItemRecordType;
        record.name = name;
        record.fields = fields;
        const auto item = itemFromRecord(record, QStringLiteral("c"), 1000.0);
        QCOMPARE(item.has_value(), made);
        if (!made)
            return;
        QFETCH(QString, stored);
        QFETCH(QString, label);
        QFETCH(QString, kind);
        QFETCH(std::optional<QString>, url);
        QCOMPARE(item->storedFilename, stored);
        QCOMPARE(item->thumbnailFilename, name + QStringLiteral(".jpg"));
        QCOMPARE(item->originalFilename, label);
        QCOMPARE(item->kind, kind);
        QCOMPARE(item->sourceURL, url);
        QCOMPARE(item->collectionIds, QStringList{QStringLiteral("c")});
        QCOMPARE(item->dateAdded, 1000.0);
    }

    void recordRoundTrip()
    {
        sharingtest::Library library([](QObject *) -> CloudContainer * { return nullptr; });
        const QString id = library.addImage({QStringLiteral("c")});
        Item item = *library.store->item(id);
        item.title = QStringLiteral("Title");
        const CloudRecord record = itemRecord(item, CloudZoneID{QStringLiteral("z"), kCurrentUserDefaultName},
                                              QStringLiteral("c"), library.root());
        const auto back = itemFromRecord(record, QStringLiteral("c"), 0.0);
        QVERIFY(back);
        QCOMPARE(back->id, item.id);
        QCOMPARE(back->originalFilename, item.originalFilename);
        QCOMPARE(back->pixelWidth, item.pixelWidth);
        QCOMPARE(back->pixelHeight, item.pixelHeight);
        QCOMPARE(back->contentHash, item.contentHash);
        QCOMPARE(back->tags, item.tags);
        QCOMPARE(back->title, item.title);
        QCOMPARE(back->dateAdded, item.dateAdded);
    }
    // What counts as a change to send, and how a fetched change is taken.
    void agreementsAndChanges_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<bool>("changed");
        QTest::newRow("nothing") << "" << false;
        QTest::newRow("a tag") << "tag" << true;
        QTest::newRow("the title") << "title" << true;
        QTest::newRow("the user's opening count") << "opened" << false;
        QTest::newRow("labels the analyzer found") << "labels" << false;
        QTest::newRow("a link's run under way (time cleared)") << "run started" << false;
        QTest::newRow("a link's new snapshot") << "new snapshot" << true;
    }
    void agreementsAndChanges()
    {
        QFETCH(QString, edit);
        QFETCH(bool, changed);
        Item item;
        item.id = QStringLiteral("A");
        item.kind = QStringLiteral("link");
        item.title = QStringLiteral("Chairs");
        item.tags = QStringList{QStringLiteral("wood")};
        item.snapshotDate = 100.0;
        const QString agreed = agreement(item, {}, QStringLiteral("thumbhash"));
        QCOMPARE(agreementParts(agreed).at(2), QStringLiteral("thumbhash"));
        QVERIFY(changedSince(item, QString())); // never agreed: to be sent
        if (edit == QLatin1String("tag"))
            item.tags->append(QStringLiteral("oak"));
        else if (edit == QLatin1String("title"))
            item.title = QStringLiteral("Stools");
        else if (edit == QLatin1String("opened"))
            item.openCount = 3;
        else if (edit == QLatin1String("labels"))
            item.labels = QStringList{QStringLiteral("chair")};
        else if (edit == QLatin1String("run started"))
            item.snapshotDate.reset();
        else if (edit == QLatin1String("new snapshot"))
            item.snapshotDate = 200.0;
        QCOMPARE(changedSince(item, agreed), changed);
    }

    void fetchedFieldsApply_data()
    {
        QTest::addColumn<bool>("theirs");
        QTest::addColumn<QJsonObject>("fields");
        QTest::addColumn<QStringList>("tags");
        QTest::addColumn<QString>("title");
        QTest::newRow("theirs: taken as they are, a removed tag too")
            << true << QJsonObject{{"tags", QJsonArray{"Oak"}}, {"title", "Stools"}} << QStringList{"Oak"} << "Stools";
        QTest::newRow("theirs: a field the record lacks stays")
            << true << QJsonObject{{"tags", QJsonArray{}}} << QStringList{} << "Chairs";
        QTest::newRow("theirs: a title set to nothing goes")
            << true << QJsonObject{{"title", QJsonValue::Null}} << QStringList{"wood"} << "";
        QTest::newRow("changed here too: tags merged, title ours")
            << false << QJsonObject{{"tags", QJsonArray{"Oak", "wood"}}, {"title", "Stools"}}
            << QStringList{"wood", "oak"} << "Chairs";
    }
    void fetchedFieldsApply()
    {
        QFETCH(bool, theirs);
        QFETCH(QJsonObject, fields);
        QFETCH(QStringList, tags);
        QFETCH(QString, title);
        Item item;
        item.kind = QStringLiteral("image");
        item.title = QStringLiteral("Chairs");
        item.tags = QStringList{QStringLiteral("wood")};
        applyChangingFields(item, fields, theirs);
        QCOMPARE(item.tags.value_or(QStringList()), tags);
        QCOMPARE(item.title.value_or(QString()), title);
    }

    void sectionIds()
    {
        for (const char *id : {"all", "inbox", "links", "trash"})
            QVERIFY(isSectionId(QString::fromLatin1(id)));
        for (const char *id : {"Inbox", "inbox ", "", "collection-inbox"})
            QVERIFY(!isSectionId(QString::fromLatin1(id)));
    }
};

QTEST_GUILESS_MAIN(SharingRecordsTest)
#include "tst_sharingrecords.moc"
