// Records and the written form of library.json: strict, all-or-nothing
// decoding, and an encoder whose output is fixed byte for byte.

#include "library/Records.h"
#include "library/JsonWriter.h"
#include "platform/Uuid.h"

#include <QDir>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <limits>

using namespace vellora;
using nlohmann::json;

Q_DECLARE_METATYPE(DecodingError::Kind)

namespace {

QString fixturePath(const QString &name)
{
    return QDir(QStringLiteral(VELLORA_RECORDS_FIXTURES)).filePath(name);
}

QByteArray readFixture(const QString &name)
{
    QFile f(fixturePath(name));
    if (!f.open(QIODevice::ReadOnly))
        qWarning("missing fixture %s", qPrintable(f.fileName()));
    return f.readAll();
}

// A small valid document; the failure cases each break one thing in it.
json baseDocument()
{
    return json::parse(R"({
      "collections": [{"id": "B1", "name": "Inbox", "dateCreated": 10, "groups": []}],
      "items": [{
        "id": "I1", "kind": "image", "originalFilename": "a.png", "storedFilename": "I1.png",
        "thumbnailFilename": "I1.jpg", "pixelWidth": 4, "pixelHeight": 3, "contentHash": "ab",
        "dateAdded": 1.5, "dateCreated": 1, "collectionIds": ["B1"],
        "insight": {"summary": "s", "keyPoints": [], "category": "c", "entities": {}, "suggestedTags": []},
        "fileSize": 10
      }],
      "topLevelOrder": ["B1"],
      "smartFolders": [{"id": "S1", "name": "F", "match": "all",
                        "rules": [{"colourNear": {"_0": "#ff0000", "_1": 10}}, {"noTags": {}}]}]
    })");
}

QByteArray dump(const json &j) { return QByteArray::fromStdString(j.dump()); }

QStringList keysOf(const json &object)
{
    QStringList out;
    for (auto it = object.begin(); it != object.end(); ++it)
        out << QString::fromStdString(it.key());
    return out;
}

} // namespace

class TestRecords : public QObject {
    Q_OBJECT
private slots:
    void fixtureWritesGoldenFile();
    void fixtureFieldsDecode();
    void requiredOnlyItemWritesElevenKeys();
    void decodingFailsWholeDocument_data();
    void decodingFailsWholeDocument();
    void rejectsWhatIsNotADocument_data();
    void rejectsWhatIsNotADocument();
    void unknownMembersMayNestDeeply();
    void lenientReading_data();
    void lenientReading();
    void smartFoldersAbsentVersusEmpty();
    void numbersRoundTripExactly_data();
    void numbersRoundTripExactly();
    void nonFiniteNumberNamesField_data();
    void nonFiniteNumberNamesField();
    void stringsAreEscaped();
    void insightCompactForm();
    void insightDecoding();
    void insightOfACopyIsItsOwn();
    void ruleFormOfEveryCase();
    void host_data();
    void host();
    void defaultsAreStableWithinProcess();
    void defaultsDifferBetweenProcesses();
    void boardEqualityCoversEveryField();
};

void TestRecords::fixtureWritesGoldenFile()
{
    const LibraryFile file = LibraryFile::decode(readFixture("library-full.json"));
    const QByteArray golden = readFixture("library-full.golden.json");
    const QByteArray written = file.encode();
    if (written != golden) {
        QFile out(QDir::temp().filePath("library-full.actual.json"));
        if (out.open(QIODevice::WriteOnly))
            out.write(written);
        QFAIL(qPrintable("written form differs from the golden file; see " + out.fileName()));
    }
    // The document written record by record is the generic writer's text.
    QCOMPARE(writeJSON(file.toJSON(), JsonStyle::PrettySorted), golden);
    LibraryFile empty;
    QCOMPARE(empty.encode(), writeJSON(empty.toJSON(), JsonStyle::PrettySorted));
    // Writing what was written changes nothing.
    QCOMPARE(LibraryFile::decode(written).encode(), golden);
}

void TestRecords::fixtureFieldsDecode()
{
    const LibraryFile file = LibraryFile::decode(readFixture("library-full.json"));
    QCOMPARE(file.collections.size(), 2);
    QCOMPARE(file.collections[0].dateCreated, 786000000.0);
    QVERIFY(!file.collections[0].zone);
    QCOMPARE(file.collections[1].zone, std::optional<QString>("Board-B2"));
    QCOMPARE(file.collections[1].zoneOwner, std::optional<QString>("_9f8e7d6c5b4a"));
    QCOMPARE(file.collections[1].groups, QStringList({"g1", "g2"}));

    QCOMPARE(file.items.size(), 2);
    const Item &link = file.items[0];
    QCOMPARE(link.fileSize, std::optional<qint64>(9007199254740993LL));
    QCOMPARE(link.dateCreated, 786100000.0);
    QCOMPARE(link.snapshotDate, std::optional<double>(786100002.125));
    QCOMPARE(link.tags, std::optional<QStringList>({"Design", "inspiration", QString::fromUtf8("日本")}));
    QCOMPARE(link.summary, std::optional<QString>(QString::fromUtf8("A page about examples 🎨.")));
    QVERIFY(link.insight);
    QCOMPARE(link.insight->category, QString("cookbook"));
    QCOMPARE(link.insight->entities.price, std::optional<QString>("$9.99"));
    QVERIFY(!link.insight->entities.author);
    QCOMPARE(link.openCount, std::optional<qint64>(12));
    QCOMPARE(link.trashedFrom, std::optional<QStringList>(QStringList{"B2"}));

    const Item &image = file.items[1];
    QCOMPARE(image.pixelHeight, std::numeric_limits<qint64>::max());
    QCOMPARE(image.fileSize, std::optional<qint64>(std::numeric_limits<qint64>::min()));
    QVERIFY(!image.sourceURL);
    QVERIFY(!image.tags);
    QVERIFY(!image.title);
    QCOMPARE(image.labels, std::optional<QStringList>(QStringList()));
    QCOMPARE(image.ocrText, std::optional<QString>(QString()));

    QVERIFY(file.smartFolders);
    QCOMPARE(file.smartFolders->size(), 2);
    const QList<Rule> &rules = file.smartFolders->at(0).rules;
    QCOMPARE(rules.size(), 11);
    QCOMPARE(rules[8], Rule::colourNear("#C8A070", 30.0));
    QCOMPARE(rules[9], Rule::openedAtLeast(3));
    QCOMPARE(rules[10], Rule::colourNear("#0000ff", 12.5));
}

void TestRecords::requiredOnlyItemWritesElevenKeys()
{
    json doc = baseDocument();
    json &item = doc["items"][0];
    item.erase("insight");
    item.erase("fileSize");
    const LibraryFile file = LibraryFile::decode(dump(doc));
    const Item &decoded = file.items[0];
    QVERIFY(!decoded.sourceURL && !decoded.labels && !decoded.ocrText && !decoded.tags && !decoded.palette);
    QVERIFY(!decoded.fileSize && !decoded.title && !decoded.siteName && !decoded.summary && !decoded.faviconFilename);
    QVERIFY(!decoded.snapshotDate && !decoded.pageText && !decoded.insight && !decoded.openCount);
    QVERIFY(!decoded.lastOpenedAt && !decoded.trashedAt && !decoded.trashedFrom);

    const json written = json::parse(file.encode().toStdString())["items"][0];
    QCOMPARE(keysOf(written),
             QStringList({"collectionIds", "contentHash", "dateAdded", "dateCreated", "id", "kind", "originalFilename",
                          "pixelHeight", "pixelWidth", "storedFilename", "thumbnailFilename"}));
}

// Each row replaces (or, with a null replacement and `erase` set, removes)
// the value at a JSON pointer of the base document; the whole document must
// then fail to decode.
void TestRecords::decodingFailsWholeDocument_data()
{
    QTest::addColumn<QString>("pointer");
    QTest::addColumn<QByteArray>("replacement"); // empty: remove the member
    QTest::addColumn<DecodingError::Kind>("kind");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("message"); // empty: not checked

    using K = DecodingError::Kind;
    QTest::newRow("missing thumbnailFilename") << "/items/0/thumbnailFilename" << QByteArray() << K::KeyNotFound
                                               << "items[0]" << "No value associated with key \"thumbnailFilename\".";
    QTest::newRow("null required string") << "/items/0/id" << QByteArray("null") << K::ValueNotFound << "items[0].id" << "";
    QTest::newRow("text for a number") << "/items/0/dateAdded" << QByteArray("\"5\"") << K::TypeMismatch
                                       << "items[0].dateAdded" << "";
    QTest::newRow("number for text") << "/items/0/kind" << QByteArray("1") << K::TypeMismatch << "items[0].kind" << "";
    QTest::newRow("fractional integer") << "/items/0/pixelWidth" << QByteArray("1.5") << K::TypeMismatch
                                        << "items[0].pixelWidth" << "";
    QTest::newRow("fractional optional integer") << "/items/0/fileSize" << QByteArray("10.25") << K::TypeMismatch
                                                 << "items[0].fileSize" << "";
    QTest::newRow("integer beyond 64 bits") << "/items/0/pixelHeight" << QByteArray("9223372036854775808")
                                            << K::TypeMismatch << "items[0].pixelHeight" << "";
    QTest::newRow("boolean for integer") << "/items/0/pixelHeight" << QByteArray("true") << K::TypeMismatch
                                         << "items[0].pixelHeight" << "";
    QTest::newRow("object for a list") << "/items/0/collectionIds" << QByteArray("{}") << K::TypeMismatch
                                       << "items[0].collectionIds" << "";
    QTest::newRow("number in a string list") << "/items/0/collectionIds" << QByteArray("[\"B1\", 2]")
                                             << K::TypeMismatch << "items[0].collectionIds[1]" << "";
    QTest::newRow("null in a string list") << "/items/0/tags" << QByteArray("[null]") << K::ValueNotFound
                                           << "items[0].tags[0]" << "";
    QTest::newRow("wrong type in optional") << "/items/0/sourceURL" << QByteArray("[]") << K::TypeMismatch
                                            << "items[0].sourceURL" << "";
    QTest::newRow("insight without keyPoints") << "/items/0/insight/keyPoints" << QByteArray() << K::KeyNotFound
                                               << "items[0].insight" << "";
    QTest::newRow("insight entities not an object") << "/items/0/insight/entities" << QByteArray("[]")
                                                    << K::TypeMismatch << "items[0].insight.entities" << "";
    QTest::newRow("entity of wrong type") << "/items/0/insight/entities" << QByteArray("{\"price\": 3}")
                                          << K::TypeMismatch << "items[0].insight.entities.price" << "";
    QTest::newRow("null item") << "/items/0" << QByteArray("null") << K::ValueNotFound << "items[0]" << "";
    QTest::newRow("board without groups") << "/collections/0/groups" << QByteArray() << K::KeyNotFound
                                          << "collections[0]" << "";
    QTest::newRow("missing items") << "/items" << QByteArray() << K::KeyNotFound << "" << "";
    QTest::newRow("missing topLevelOrder") << "/topLevelOrder" << QByteArray() << K::KeyNotFound << "" << "";
    QTest::newRow("smart folder without rules") << "/smartFolders/0/rules" << QByteArray() << K::KeyNotFound
                                                << "smartFolders[0]" << "";
    QTest::newRow("rule with two cases") << "/smartFolders/0/rules/1"
                                         << QByteArray(R"({"noTags": {}, "kind": {"_0": "link"}})") << K::TypeMismatch
                                         << "smartFolders[0].rules[1]" << "Invalid number of keys found, expected one.";
    QTest::newRow("rule with no case") << "/smartFolders/0/rules/1" << QByteArray(R"({"unknown": {"_0": 1}})")
                                       << K::TypeMismatch << "smartFolders[0].rules[1]"
                                       << "Invalid number of keys found, expected one.";
    QTest::newRow("empty rule object") << "/smartFolders/0/rules/1" << QByteArray("{}") << K::TypeMismatch
                                       << "smartFolders[0].rules[1]" << "Invalid number of keys found, expected one.";
    QTest::newRow("rule not an object") << "/smartFolders/0/rules/1" << QByteArray("\"noTags\"") << K::TypeMismatch
                                        << "smartFolders[0].rules[1]" << "";
    QTest::newRow("noTags value not an object") << "/smartFolders/0/rules/1" << QByteArray(R"({"noTags": []})")
                                                << K::TypeMismatch << "smartFolders[0].rules[1].noTags" << "";
    QTest::newRow("colourNear without tolerance") << "/smartFolders/0/rules/0/colourNear/_1" << QByteArray()
                                                  << K::KeyNotFound << "smartFolders[0].rules[0].colourNear" << "";
    QTest::newRow("fractional day count") << "/smartFolders/0/rules/1" << QByteArray(R"({"addedWithinDays": {"_0": 0.5}})")
                                          << K::TypeMismatch << "smartFolders[0].rules[1].addedWithinDays._0" << "";
    QTest::newRow("tag list of wrong type") << "/smartFolders/0/rules/1" << QByteArray(R"({"tagsAny": {"_0": "a"}})")
                                            << K::TypeMismatch << "smartFolders[0].rules[1].tagsAny._0" << "";
    QTest::newRow("smartFolders not a list") << "/smartFolders" << QByteArray("{}") << K::TypeMismatch
                                             << "smartFolders" << "";
}

void TestRecords::decodingFailsWholeDocument()
{
    QFETCH(QString, pointer);
    QFETCH(QByteArray, replacement);
    QFETCH(DecodingError::Kind, kind);
    QFETCH(QString, path);
    QFETCH(QString, message);

    json doc = baseDocument();
    const json::json_pointer ptr(pointer.toStdString());
    if (replacement.isEmpty())
        doc[ptr.parent_pointer()].erase(ptr.back());
    else
        doc[ptr] = json::parse(replacement.toStdString());

    try {
        LibraryFile::decode(dump(doc));
        QFAIL("the document decoded");
    } catch (const DecodingError &e) {
        QCOMPARE(e.kind(), kind);
        QCOMPARE(e.path(), path);
        if (!message.isEmpty()) {
            QCOMPARE(e.message(), message);
            QCOMPARE(QString::fromUtf8(e.what()), message);
        }
    }
}

void TestRecords::rejectsWhatIsNotADocument_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<DecodingError::Kind>("kind");

    using K = DecodingError::Kind;
    QTest::newRow("empty") << QByteArray() << K::DataCorrupted;
    QTest::newRow("truncated") << dump(baseDocument()).chopped(1) << K::DataCorrupted;
    QTest::newRow("trailing garbage") << dump(baseDocument()) + "x" << K::DataCorrupted;
    QTest::newRow("invalid UTF-8") << QByteArray(R"({"collections":[],"items":[],"topLevelOrder":[")") + "\xff\xfe\"]}" << K::DataCorrupted;
    QTest::newRow("lone surrogate escape")
        << QByteArray(R"({"collections":[],"items":[],"topLevelOrder":["\ud800"]})") << K::DataCorrupted;
    QTest::newRow("number beyond the double range")
        << dump(baseDocument()).replace("\"dateAdded\":1.5", "\"dateAdded\":1e400") << K::DataCorrupted;
    QTest::newRow("top-level array") << QByteArray("[]") << K::TypeMismatch;
    QTest::newRow("top-level null") << QByteArray("null") << K::ValueNotFound;
}

void TestRecords::rejectsWhatIsNotADocument()
{
    QFETCH(QByteArray, bytes);
    QFETCH(DecodingError::Kind, kind);
    try {
        LibraryFile::decode(bytes);
        QFAIL("decoded");
    } catch (const DecodingError &e) {
        QCOMPARE(e.kind(), kind);
    }
}

void TestRecords::unknownMembersMayNestDeeply()
{
    json doc = baseDocument();
    const int depth = 200000;
    const QByteArray nested = QByteArray(depth, '[') + QByteArray(depth, ']');
    QByteArray bytes = dump(doc);
    bytes.insert(1, "\"extra\":" + nested + ",");
    const LibraryFile file = LibraryFile::decode(bytes);
    QCOMPARE(file.items.size(), 1);
    QVERIFY(!file.encode().contains("extra"));
}

void TestRecords::lenientReading_data()
{
    QTest::addColumn<QString>("pointer");
    QTest::addColumn<QByteArray>("replacement"); // empty: remove the member
    QTest::addColumn<QString>("writtenPointer"); // where to look in the written form
    QTest::addColumn<QByteArray>("written");     // empty: absent from the written form

    QTest::newRow("whole number as a float in an integer field")
        << "/items/0/pixelWidth" << QByteArray("4.0") << "/items/0/pixelWidth" << QByteArray("4");
    QTest::newRow("exponent form of an integer") << "/items/0/fileSize" << QByteArray("1e3") << "/items/0/fileSize"
                                                 << QByteArray("1000");
    QTest::newRow("null optional is unset") << "/items/0/tags" << QByteArray("null") << "/items/0/tags" << QByteArray();
    QTest::newRow("unknown key dropped") << "/items/0/rating" << QByteArray("5") << "/items/0/rating" << QByteArray();
    QTest::newRow("unknown top-level key dropped") << "/version" << QByteArray("2") << "/version" << QByteArray();
    QTest::newRow("entities without price")
        << "/items/0/insight/entities" << QByteArray(R"({"author": "Ann", "price": null})")
        << "/items/0/insight/entities" << QByteArray(R"({"author":"Ann"})");
    QTest::newRow("rule with an extra member")
        << "/smartFolders/0/rules/1" << QByteArray(R"({"noTags": {}, "comment": "x"})")
        << "/smartFolders/0/rules/1" << QByteArray(R"({"noTags":{}})");
    QTest::newRow("noTags with members") << "/smartFolders/0/rules/1" << QByteArray(R"({"noTags": {"_0": 1}})")
                                         << "/smartFolders/0/rules/1" << QByteArray(R"({"noTags":{}})");
    QTest::newRow("payload with an extra member")
        << "/smartFolders/0/rules/1" << QByteArray(R"({"openedAtLeast": {"_0": 2, "_1": 3}})")
        << "/smartFolders/0/rules/1" << QByteArray(R"({"openedAtLeast":{"_0":2}})");
    QTest::newRow("board zone kept") << "/collections/0/zone" << QByteArray("\"Z\"") << "/collections/0/zone"
                                     << QByteArray("\"Z\"");
}

void TestRecords::lenientReading()
{
    QFETCH(QString, pointer);
    QFETCH(QByteArray, replacement);
    QFETCH(QString, writtenPointer);
    QFETCH(QByteArray, written);

    json doc = baseDocument();
    const json::json_pointer ptr(pointer.toStdString());
    if (replacement.isEmpty())
        doc[ptr.parent_pointer()].erase(ptr.back());
    else
        doc[ptr] = json::parse(replacement.toStdString());

    const json out = json::parse(LibraryFile::decode(dump(doc)).encode().toStdString());
    const json::json_pointer wptr(writtenPointer.toStdString());
    if (written.isEmpty()) {
        QVERIFY(!out.contains(wptr));
    } else {
        QVERIFY(out.contains(wptr));
        QCOMPARE(dump(out[wptr]), written);
    }
}

void TestRecords::smartFoldersAbsentVersusEmpty()
{
    json doc = baseDocument();
    doc.erase("smartFolders");
    const LibraryFile absent = LibraryFile::decode(dump(doc));
    QVERIFY(!absent.smartFolders);
    QVERIFY(!absent.encode().contains("smartFolders"));

    doc["smartFolders"] = json::array();
    const LibraryFile empty = LibraryFile::decode(dump(doc));
    QVERIFY(empty.smartFolders);
    QVERIFY(empty.smartFolders->isEmpty());
    QVERIFY(empty.encode().contains("\"smartFolders\" : []"));
}

void TestRecords::numbersRoundTripExactly_data()
{
    QTest::addColumn<double>("time");
    QTest::addColumn<qint64>("integer");
    QTest::addColumn<QByteArray>("timeText");

    QTest::newRow("whole time") << 786000000.0 << qint64(0) << QByteArray("786000000");
    QTest::newRow("fraction") << 786000000.123456 << qint64(1) << QByteArray("786000000.123456");
    QTest::newRow("tenth") << 0.1 << qint64(-1) << QByteArray("0.1");
    QTest::newRow("tiny") << 1e-7 << qint64(1LL << 53) + 1 << QByteArray("1e-07");
    QTest::newRow("huge") << 1e300 << std::numeric_limits<qint64>::max() << QByteArray("1e+300");
    QTest::newRow("negative") << -12.5 << std::numeric_limits<qint64>::min() << QByteArray("-12.5");
    QTest::newRow("max double") << std::numeric_limits<double>::max() << qint64(42)
                                << QByteArray("1.7976931348623157e+308");
    QTest::newRow("smallest subnormal") << std::numeric_limits<double>::denorm_min() << qint64(42)
                                        << QByteArray("5e-324");
}

void TestRecords::numbersRoundTripExactly()
{
    QFETCH(double, time);
    QFETCH(qint64, integer);
    QFETCH(QByteArray, timeText);

    LibraryFile file;
    Item item;
    item.id = "I";
    item.dateAdded = time;
    item.fileSize = integer;
    file.items << item;
    const QByteArray written = file.encode();
    QVERIFY2(written.contains("\"dateAdded\" : " + timeText + ","), written.constData());
    QVERIFY(written.contains("\"fileSize\" : " + QByteArray::number(integer) + ","));
    const LibraryFile back = LibraryFile::decode(written);
    QCOMPARE(back.items[0].dateAdded, time);
    QCOMPARE(back.items[0].fileSize, std::optional<qint64>(integer));
}

void TestRecords::nonFiniteNumberNamesField_data()
{
    QTest::addColumn<int>("where");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("path");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("item time") << 0 << nan << "items[1].dateAdded";
    QTest::newRow("optional item time") << 1 << inf << "items[1].trashedAt";
    QTest::newRow("board time") << 2 << -inf << "collections[0].dateCreated";
    QTest::newRow("rule tolerance") << 3 << nan << "smartFolders[0].rules[0].colourNear._1";
}

void TestRecords::nonFiniteNumberNamesField()
{
    QFETCH(int, where);
    QFETCH(double, value);
    QFETCH(QString, path);

    LibraryFile file = LibraryFile::decode(dump(baseDocument()));
    file.items << file.items[0];
    switch (where) {
    case 0: file.items[1].dateAdded = value; break;
    case 1: file.items[1].trashedAt = value; break;
    case 2: file.collections[0].dateCreated = value; break;
    case 3: (*file.smartFolders)[0].rules[0].tolerance = value; break;
    }
    try {
        file.encode();
        QFAIL("a non-finite number was written");
    } catch (const EncodingError &e) {
        QCOMPARE(e.path(), path);
        QVERIFY(QString::fromUtf8(e.what()).startsWith(path));
    }
}

void TestRecords::stringsAreEscaped()
{
    Board board;
    board.id = "B";
    board.name = QString::fromUtf8("a/b \"q\" \\ \n\t\r\b\f \x01 \x1f é 🎨 \u2028");
    LibraryFile file;
    file.collections << board;
    const QByteArray written = file.encode();
    QVERIFY2(written.contains(R"("name" : "a\/b \"q\" \\ \n\t\r\b\f \u0001 \u001f )"
                              "\xc3\xa9 \xf0\x9f\x8e\xa8 \xe2\x80\xa8\""),
             written.constData());
    QCOMPARE(LibraryFile::decode(written).collections[0], board);
}

void TestRecords::insightCompactForm()
{
    LinkInsight insight;
    insight.summary = "A tool/page.";
    insight.keyPoints = {"fast", "free"};
    insight.category = "tool";
    insight.suggestedTags = {"Dev"};
    QCOMPARE(insight.compactJSON(),
             QByteArray(R"({"summary":"A tool\/page.","keyPoints":["fast","free"],"category":"tool","entities":{},"suggestedTags":["Dev"]})"));

    insight.entities.publishDate = "2024";
    insight.entities.productName = "P";
    QCOMPARE(insight.compactJSON(),
             QByteArray(R"({"summary":"A tool\/page.","keyPoints":["fast","free"],"category":"tool","entities":{"productName":"P","publishDate":"2024"},"suggestedTags":["Dev"]})"));
    QCOMPARE(LinkInsight::decode(insight.compactJSON()), insight);
}

void TestRecords::insightDecoding()
{
    const LinkInsight odd = LinkInsight::decode(
        R"({"summary":"","keyPoints":[],"category":"recipe","entities":{"price":null},"suggestedTags":[]})");
    QCOMPARE(odd.category, QString("recipe"));
    QVERIFY(!odd.entities.price);
    for (const char *missing : {"summary", "keyPoints", "category", "entities", "suggestedTags"}) {
        json j = json::parse(R"({"summary":"","keyPoints":[],"category":"x","entities":{},"suggestedTags":[]})");
        j.erase(missing);
        QVERIFY_THROWS_EXCEPTION(DecodingError, LinkInsight::decode(dump(j)));
    }
    QVERIFY_THROWS_EXCEPTION(DecodingError, LinkInsight::decode("{not json"));
}

// Copies of a record share its insight's block; replacing or dropping the
// insight of one must leave the other as it was, and equality is by value.
void TestRecords::insightOfACopyIsItsOwn()
{
    LinkInsight first;
    first.summary = "First.";
    first.category = "article";
    Item original;
    original.insight = first;
    Item copy = original;
    QVERIFY(copy.insight == original.insight);

    LinkInsight second = *copy.insight;
    second.summary = "Second.";
    copy.insight = second;
    QCOMPARE(original.insight->summary, QString("First."));
    QCOMPARE(copy.insight->summary, QString("Second."));
    QVERIFY(!(copy.insight == original.insight));

    // Equal values in separate blocks are equal.
    copy.insight = first;
    QVERIFY(copy.insight == original.insight);

    copy.insight.reset();
    QVERIFY(!copy.insight);
    QVERIFY(original.insight);
    QVERIFY(!(copy.insight == original.insight));
    QCOMPARE(copy.insight.value_or(second).summary, QString("Second."));
    QVERIFY_THROWS_EXCEPTION(std::bad_optional_access, copy.insight.value());

    // The stored form is unchanged by the sharing: the copy writes what the
    // original wrote.
    Item again = original;
    QCOMPARE(again.toJSON().dump(), original.toJSON().dump());
}

void TestRecords::ruleFormOfEveryCase()
{
    const QList<QPair<Rule, QByteArray>> cases = {
        {Rule::kind("link"), R"({"kind":{"_0":"link"}})"},
        {Rule::tagsAny({"a", "B"}), R"({"tagsAny":{"_0":["a","B"]}})"},
        {Rule::tagsAll({}), R"({"tagsAll":{"_0":[]}})"},
        {Rule::noTags(), R"({"noTags":{}})"},
        {Rule::labelContains("menu"), R"({"labelContains":{"_0":"menu"}})"},
        {Rule::textContains("x/y"), R"({"textContains":{"_0":"x\/y"}})"},
        {Rule::domainIs("example.com"), R"({"domainIs":{"_0":"example.com"}})"},
        {Rule::addedWithinDays(7), R"({"addedWithinDays":{"_0":7}})"},
        {Rule::colourNear("#C8A070", 30.0), R"({"colourNear":{"_0":"#C8A070","_1":30}})"},
        {Rule::openedAtLeast(-2), R"({"openedAtLeast":{"_0":-2}})"},
    };
    for (const auto &[rule, form] : cases) {
        QCOMPARE(writeJSON(rule.toJSON(), JsonStyle::Compact), form);
        QCOMPARE(Rule::fromJSON(json::parse(form.toStdString())), rule);
    }
    // Payload members that a case does not use play no part in equality.
    Rule a = Rule::noTags(), b = Rule::noTags();
    b.text = "ignored";
    QCOMPARE(a, b);
    QCOMPARE(qHash(a), qHash(b));
    QVERIFY(Rule::kind("link") != Rule::domainIs("link"));
    QVERIFY(Rule::colourNear("#fff", 1) != Rule::colourNear("#fff", 2));
}

void TestRecords::host_data()
{
    QTest::addColumn<QString>("sourceURL"); // null: unset
    QTest::addColumn<QString>("host");

    QTest::newRow("www dropped") << "https://www.example.com/a" << "example.com";
    QTest::newRow("upper-case WWW kept") << "https://WWW.Example.com/" << "WWW.Example.com";
    QTest::newRow("case kept") << "http://Sub.EXAMPLE.org:8080/x?y#z" << "Sub.EXAMPLE.org";
    QTest::newRow("only the leading www") << "https://shop.www.example.com" << "shop.www.example.com";
    QTest::newRow("user info and port") << "https://ann:pw@www.site.io:443/" << "site.io";
    QTest::newRow("percent-encoded kept") << "https://ex%41mple.com/" << "ex%41mple.com";
    QTest::newRow("international name kept") << QString::fromUtf8("https://www.bücher.de/") << QString::fromUtf8("bücher.de");
    QTest::newRow("no scheme") << "example.com/page" << "";
    QTest::newRow("no host") << "mailto:ann@example.com" << "";
    QTest::newRow("does not parse") << "https://exa mple.com/" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("unset") << QString() << "";
}

void TestRecords::host()
{
    QFETCH(QString, sourceURL);
    QFETCH(QString, host);
    Item item;
    if (!sourceURL.isNull())
        item.sourceURL = sourceURL;
    QCOMPARE(item.host(), host);
}

void TestRecords::defaultsAreStableWithinProcess()
{
    const QList<SmartFolder> first = SmartFolder::defaults();
    const QList<SmartFolder> second = SmartFolder::defaults();
    QCOMPARE(first, second);
    QCOMPARE(first.size(), 2);
    QVERIFY(first[0].id != first[1].id);
    QVERIFY(isUUIDString(first[0].id) && first[0].id == first[0].id.toUpper());
    QCOMPARE(first[0].name, QString("Recent"));
    QCOMPARE(first[0].match, QString("all"));
    QCOMPARE(first[0].rules, QList<Rule>{Rule::addedWithinDays(7)});
    QCOMPARE(first[1].name, QString("Warm tones"));
    QCOMPARE(first[1].match, QString("all"));
    QCOMPARE(first[1].rules, QList<Rule>{Rule::colourNear("#C8A070", 30.0)});
}

void TestRecords::defaultsDifferBetweenProcesses()
{
    const auto idsOfAnotherRun = [] {
        QProcess p;
        p.start(QCoreApplication::applicationFilePath(), {"--print-default-ids"});
        if (!p.waitForFinished(20000))
            return QStringList();
        return QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    };
    const QStringList first = idsOfAnotherRun();
    const QStringList second = idsOfAnotherRun();
    QCOMPARE(first.size(), 2);
    QCOMPARE(second.size(), 2);
    QVERIFY(first[0] != second[0] && first[1] != second[1]);
    QVERIFY(!first.contains(SmartFolder::defaults()[0].id));
}

void TestRecords::boardEqualityCoversEveryField()
{
    Board base;
    base.id = "B";
    base.name = "N";
    base.dateCreated = 5;
    base.groups = {"g"};
    QList<Board> variants(6, base);
    variants[0].id = "C";
    variants[1].name = "M";
    variants[2].dateCreated = 6;
    variants[3].groups = {};
    variants[4].zone = "";
    variants[5].zoneOwner = "o";
    for (const Board &v : variants)
        QVERIFY(!(v == base));
    Board same = base;
    QCOMPARE(same, base);
    QCOMPARE(qHash(same), qHash(base));
}

// Run as a helper with this one argument, the program prints the ids of the
// default smart folders and ends, so a test can compare two processes.
int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--print-default-ids") == 0) {
        for (const SmartFolder &f : SmartFolder::defaults())
            printf("%s\n", qPrintable(f.id));
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestRecords test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_records.moc"
