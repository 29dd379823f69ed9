// The fast road for library.json must give exactly what the general road
// gives: the same bytes written, the same records read, and every document
// it is unsure of handed over rather than read differently.

#include "library/CodingSupport.h"
#include "library/JsonWriter.h"
#include "library/LibraryCodec.h"
#include "library/LibraryMerge.h"
#include "library/Records.h"

#include <QFile>
#include <QTest>

#include <limits>
#include <stdexcept>

using namespace vellora;

namespace {

QByteArray readFixture(const char *name)
{
    QFile file(QStringLiteral(VELLORA_RECORDS_FIXTURES "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A library that uses every member and the awkward corners of the written form.
LibraryFile variedLibrary(int count = 40)
{
    LibraryFile file;
    Board board;
    board.id = QStringLiteral("B1");
    board.name = QStringLiteral("Mood / \"board\" \u00e9\u6f22");
    board.dateCreated = 786000000.5;
    board.zone = QStringLiteral("zone-1");
    file.collections << board;
    file.topLevelOrder << board.id;
    const double numbers[] = {0.0, -1.0, 0.1, 1e-7, 1e22, 786000000.123456, -5.25, 123456789012345.0};
    for (int i = 0; i < count; ++i) {
        Item item;
        item.id = QStringLiteral("ID-%1").arg(i);
        item.kind = i % 3 ? QStringLiteral("image") : QStringLiteral("link");
        item.originalFilename = QStringLiteral("a\tb\\c/d\u0001\u00fc\U0001F600 %1.png").arg(i);
        item.storedFilename = item.id + QStringLiteral(".png");
        item.thumbnailFilename = item.id + QStringLiteral(".jpg");
        item.pixelWidth = i == 7 ? std::numeric_limits<qint64>::max() : 1440 + i;
        item.pixelHeight = i == 8 ? std::numeric_limits<qint64>::min() : 900;
        item.contentHash = QStringLiteral("e3b0c442");
        item.dateAdded = numbers[i % 8];
        item.dateCreated = numbers[(i + 3) % 8];
        item.collectionIds = i % 5 ? QStringList{board.id} : QStringList{};
        if (i % 2) {
            item.labels = QStringList{};
            item.ocrText = QStringLiteral("line one\nline two \"quoted\"");
            item.tags = QStringList{QStringLiteral("ui"), QStringLiteral("\u00e9t\u00e9")};
            item.palette = QStringList{QStringLiteral("#c8a070")};
            item.fileSize = i * 1000;
            item.openCount = i;
            item.lastOpenedAt = numbers[(i + 1) % 8];
        }
        if (item.kind == QLatin1String("link")) {
            item.sourceURL = QStringLiteral("https://www.example.com/a/%1?x=1&y=2").arg(i);
            item.title = QStringLiteral("Title </script>");
            item.siteName = QStringLiteral("Example");
            item.summary = QStringLiteral("Summary");
            item.faviconFilename = item.id + QStringLiteral("-icon.png");
            item.snapshotDate = 786000000.25;
            item.pageText = QString(300, QLatin1Char('x'));
            LinkInsight insight;
            insight.summary = QStringLiteral("What it is");
            insight.keyPoints = {QStringLiteral("one"), QStringLiteral("two")};
            insight.category = QStringLiteral("article");
            insight.entities.author = QStringLiteral("Ann");
            item.insight = insight;
        }
        if (i % 7 == 0) {
            item.trashedAt = 786000100.0;
            item.trashedFrom = QStringList{board.id};
        }
        file.items << item;
    }
    file.smartFolders = SmartFolder::defaults();
    return file;
}

QString outcome(const std::function<LibraryFile()> &decode)
{
    try {
        return QString::fromUtf8(decode().encode());
    } catch (const DecodingError &error) {
        return QStringLiteral("error: ") + error.describe();
    }
}

} // namespace

class TestLibraryCodec : public QObject {
    Q_OBJECT

private slots:
    void directWriterMatchesTreeWriter()
    {
        const LibraryFile file = variedLibrary();
        QCOMPARE(file.encode(), writeJSON(file.toJSON(), JsonStyle::PrettySorted));
    }

    void fastReaderTakesWhatWeWrite()
    {
        const QByteArray written = variedLibrary().encode();
        const auto fast = coding::decodeLibraryFast(written);
        QVERIFY(fast.has_value());
        QCOMPARE(fast->encode(), written);
        QCOMPARE(LibraryFile::fromJSON(coding::parse(written)).encode(), written);

        // The golden file is what we write; the fixture it comes from carries
        // members we do not know, which only the general road may drop.
        const QByteArray golden = readFixture("library-full.golden.json");
        const auto fromGolden = coding::decodeLibraryFast(golden);
        QVERIFY(fromGolden.has_value());
        QCOMPARE(fromGolden->encode(), golden);
        QVERIFY(!coding::decodeLibraryFast(readFixture("library-full.json")).has_value());
    }

    void nonFiniteNumberStillNamesItsField()
    {
        LibraryFile file = variedLibrary();
        file.items[3].lastOpenedAt = std::numeric_limits<double>::infinity();
        try {
            file.encode();
            QFAIL("an infinite time was written");
        } catch (const EncodingError &error) {
            QCOMPARE(QString::fromUtf8(error.what()),
                     QStringLiteral("items[3].lastOpenedAt: inf is not a finite number and cannot be written"));
        }
    }

    void documentsTheFastReaderHandsOver_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<bool>("fast");
        const QByteArray item = R"("id":"A","kind":"image","originalFilename":"a.png","storedFilename":"A.png",)"
                                R"("thumbnailFilename":"A.jpg","pixelWidth":10,"pixelHeight":20,"contentHash":"h",)"
                                R"("dateAdded":1.5,"dateCreated":2,"collectionIds":["B"])";
        auto doc = [&item](const QByteArray &extra, const QByteArray &top = {}) {
            return R"({"collections":[{"id":"B","name":"Inbox","dateCreated":0,"groups":[]}],"items":[{)" + item + extra
                   + R"(}],"topLevelOrder":["B"])" + top + "}";
        };
        QTest::newRow("plain") << doc({}) << true;
        QTest::newRow("null optional") << doc(R"(,"tags":null)") << true;
        QTest::newRow("duplicate key, last wins") << doc(R"(,"kind":"link")") << true;
        QTest::newRow("whole float for an integer") << doc(R"(,"fileSize":3.0)") << true;
        QTest::newRow("unknown item key") << doc(R"(,"rating":5)") << false;
        QTest::newRow("unknown top-level key") << doc({}, R"(,"version":2)") << false;
        QTest::newRow("null for a required member") << doc(R"(,"id":null)") << false;
        QTest::newRow("fraction for an integer") << doc(R"(,"openCount":1.5)") << false;
        QTest::newRow("integer beyond 64 bits") << doc(R"(,"fileSize":9223372036854775808)") << false;
        QTest::newRow("number beyond the double range") << doc(R"(,"lastOpenedAt":1e400)") << false;
        QTest::newRow("text for a number") << doc(R"(,"dateAdded":"5")") << false;
        QTest::newRow("not JSON") << QByteArray("{\"items\":[") << false;
        QTest::newRow("missing items") << QByteArray(R"({"collections":[],"topLevelOrder":[]})") << false;
        // The long texts are kept as UTF-8: present but empty is not absent,
        // and escapes come out as the characters they stand for.
        QTest::newRow("empty text") << doc(R"(,"ocrText":"","pageText":"")") << true;
        QTest::newRow("null text") << doc(R"(,"ocrText":null,"pageText":null)") << true;
        QTest::newRow("escaped text") << doc(",\"ocrText\":\"\\u00e9\\ud83d\\ude00\\u0000\\n\\\"\\/\",\"pageText\":\"\\u2028\"") << true;
        QTest::newRow("lone surrogate") << doc(R"(,"pageText":"a\ud800b")") << false;
        QTest::newRow("text for a list") << doc(R"(,"tags":"ui")") << false;
        QTest::newRow("number in a list") << doc(R"(,"labels":["a",1])") << false;
        QTest::newRow("backslashes before quotes")
            << doc(",\"title\":\"a\\\\\",\"summary\":\"\\\\\\\"b\\\\\\\\\",\"labels\":[\"\\\\\"]") << true;
        QTest::newRow("raw control character") << doc(",\"title\":\"a\tb\"") << false;
        QTest::newRow("escaped member name") << doc(R"(,"\u0074itle":"t")") << false;
        QTest::newRow("text after the document") << doc({}) + " {}" << false;
        QTest::newRow("insight that is not an object") << doc(R"(,"insight":"smart")") << false;
    }

    void documentsTheFastReaderHandsOver()
    {
        QFETCH(QByteArray, document);
        QFETCH(bool, fast);
        QCOMPARE(coding::decodeLibraryFast(document).has_value(), fast);
        // Whichever road reads it, the outcome is the general road's, to the letter.
        QCOMPARE(outcome([&] { return LibraryFile::decode(document); }),
                 outcome([&] { return LibraryFile::fromJSON(coding::parse(document)); }));
    }

    void longTextsKeepEveryCharacter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("ascii") << QStringLiteral("Line one\nLine\ttwo \"quoted\" back\\slash </script>");
        QTest::newRow("accents and CJK") << QStringLiteral("Caf\u00e9 cr\u00e8me \u6f22\u5b57");
        QTest::newRow("emoji, a surrogate pair") << QStringLiteral("grin \U0001F600 flag \U0001F1EB\U0001F1F7");
        QTest::newRow("NUL and controls") << QString::fromUtf16(u"a\u0000b\u0001\u001f\u007f", 6);
        QTest::newRow("byte order mark first") << QStringLiteral("\ufeffmarked");
        QTest::newRow("line separators") << QStringLiteral("\u2028\u2029");
    }

    void longTextsKeepEveryCharacter()
    {
        QFETCH(QString, text);
        const CompactText compact = text;
        QCOMPARE(compact.toString(), text);
        QVERIFY(compact == text && text == compact && compact == CompactText(text));
        QVERIFY(compact != text + QLatin1Char('!'));
        QCOMPARE(compact.isEmpty(), text.isEmpty());

        LibraryFile file = variedLibrary();
        file.items[1].ocrText = text;
        file.items[0].pageText = text;
        const QByteArray written = file.encode();
        QCOMPARE(written, writeJSON(file.toJSON(), JsonStyle::PrettySorted));
        const auto fast = coding::decodeLibraryFast(written);
        QVERIFY(fast.has_value());
        const LibraryFile general = LibraryFile::fromJSON(coding::parse(written));
        for (const LibraryFile &read : {*fast, general}) {
            QVERIFY(read.items[1].ocrText.has_value() && read.items[0].pageText.has_value());
            QCOMPARE(read.items[1].ocrText->toString(), text);
            QCOMPARE(read.items[0].pageText->toString(), text);
            QCOMPARE(read.encode(), written);
        }
    }

    void sharedListsStayApart()
    {
        // Items with lists that only differ in where one text ends and the
        // next begins, or in one character, must each keep their own list.
        auto item = [](const char *id, const char *kind, const char *collections, const char *tags, const char *labels) {
            return QString::fromLatin1(R"({"id":"%1","kind":"%2","originalFilename":"a","storedFilename":"s",)"
                                       R"("thumbnailFilename":"t","pixelWidth":1,"pixelHeight":1,"contentHash":"h",)"
                                       R"("dateAdded":0,"dateCreated":0,"collectionIds":%3,"tags":%4,"labels":%5})")
                .arg(QLatin1String(id), QLatin1String(kind), QLatin1String(collections), QLatin1String(tags),
                     QLatin1String(labels))
                .toUtf8();
        };
        const QByteArray document = R"({"collections":[{"id":"B","name":"Inbox","dateCreated":0,"groups":[]}],"items":[)"
            + item("1", "image", R"(["B"])", R"(["ab","c"])", R"(["x"])") + ","
            + item("2", "image", R"(["B"])", R"(["a","bc"])", R"(["x","x"])") + ","
            + item("3", "link", R"(["B"])", R"(["1:ab","c"])", "[]") + ","
            + item("4", "image", "[]", R"(["ab","c"])", R"(["\u00e9"])") + ","
            + item("5", "image", R"(["B"])", R"(["a\u0000b","c"])", R"(["e\u0301"])")
            + R"(],"topLevelOrder":["B"]})";
        auto fast = coding::decodeLibraryFast(document);
        QVERIFY(fast.has_value());
        QCOMPARE(fast->encode(), LibraryFile::fromJSON(coding::parse(document)).encode());
        const QList<QStringList> tags = {{"ab", "c"}, {"a", "bc"}, {"1:ab", "c"}, {"ab", "c"},
                                         {QString::fromUtf16(u"a\u0000b", 3), "c"}};
        for (qsizetype i = 0; i < tags.size(); ++i)
            QCOMPARE(*fast->items[i].tags, tags[i]);
        QCOMPARE(fast->items[2].kind, QStringLiteral("link"));
        QCOMPARE(*fast->items[4].labels, QStringList{QString::fromUtf16(u"e\u0301")});

        // A change to one item's list is that item's alone.
        fast->items[0].tags->append(QStringLiteral("new"));
        (*fast->items[1].labels)[0] = QStringLiteral("y");
        QCOMPARE(*fast->items[3].tags, (QStringList{"ab", "c"}));
        QCOMPARE(*fast->items[1].labels, (QStringList{"y", "x"}));
        QCOMPARE(*fast->items[0].labels, QStringList{"x"});
    }

    // A large library is read and written in parts on several threads: the
    // parts must join in order, and a fault in any part must come out as the
    // general road reports it, naming the item where it is.
    void largeLibraryInParts()
    {
        LibraryFile file = variedLibrary(9000);
        const QByteArray written = file.encode();
        QCOMPARE(written, writeJSON(file.toJSON(), JsonStyle::PrettySorted));
        qsizetype joined = 0;
        for (const std::string &piece : file.encodePieces()) {
            QCOMPARE(QByteArray::fromRawData(piece.data(), qsizetype(piece.size())),
                     written.mid(joined, qsizetype(piece.size())));
            joined += qsizetype(piece.size());
        }
        QCOMPARE(joined, written.size());

        // Written as it is encoded: the same bytes in order, and a writer
        // that fails stops the encoding instead of waiting on it.
        QByteArray streamed;
        file.encodeInOrder([&streamed](std::string_view piece) { streamed.append(piece.data(), qsizetype(piece.size())); });
        QVERIFY(streamed == written);
        int calls = 0;
        try {
            file.encodeInOrder([&calls](std::string_view) {
                if (++calls == 3)
                    throw std::runtime_error("disk full");
            });
            QFAIL("the writer's failure was lost");
        } catch (const std::runtime_error &error) {
            QCOMPARE(QByteArray(error.what()), QByteArray("disk full"));
        }
        QCOMPARE(calls, 3);

        const auto fast = coding::decodeLibraryFast(written);
        QVERIFY(fast.has_value());
        QCOMPARE(fast->items.size(), 9000);
        QCOMPARE(fast->items[8999].id, QStringLiteral("ID-8999"));
        QCOMPARE(fast->encode(), written);

        // Faults late in the list, where only a later part meets them.
        for (const char *id : {"ID-6001", "ID-8999"}) {
            QByteArray damaged = written;
            const qsizetype at = damaged.indexOf(QByteArray("\"id\" : \"") + id + '"');
            QVERIFY(at > 0);
            const qsizetype height = damaged.indexOf("\"pixelHeight\" : ", at);
            damaged.insert(height + qsizetype(qstrlen("\"pixelHeight\" : ")), "\"tall\", \"x\" : ");
            QVERIFY(!coding::decodeLibraryFast(damaged).has_value());
            const QString error = outcome([&] { return LibraryFile::decode(damaged); });
            QVERIFY2(error.startsWith(QStringLiteral("error: ")), qPrintable(error.left(80)));
            QCOMPARE(error, outcome([&] { return LibraryFile::fromJSON(coding::parse(damaged)); }));
        }

        file.items[6000].lastOpenedAt = std::numeric_limits<double>::quiet_NaN();
        file.items[8000].lastOpenedAt = std::numeric_limits<double>::infinity();
        const std::function<void()> encodings[] = {
            [&file] { file.encodePieces(); },
            [&file] { file.encodeInOrder([](std::string_view) {}); },
        };
        for (const auto &encode : encodings) {
            try {
                encode();
                QFAIL("a time that is not a number was written");
            } catch (const EncodingError &error) {
                QCOMPARE(QString::fromUtf8(error.what()),
                         QStringLiteral("items[6000].lastOpenedAt: nan is not a finite number and cannot be written"));
            }
        }
    }

    void mergeComparesLongTexts()
    {
        // Both sides start from a decoded file, the way the store meets them.
        LibraryFile written = variedLibrary();
        written.items[1].ocrText = QStringLiteral("Men\u00fc \U0001F600");
        const LibraryFile base = *coding::decodeLibraryFast(written.encode());
        LibraryFile local = base;
        LibraryFile remote = base;
        // The same text set again is no change; a new one is.
        local.items[1].ocrText = QStringLiteral("Men\u00fc \U0001F600");
        local.items[3].pageText = QStringLiteral("r\u00e9\u00e9crit");
        remote.items[1].ocrText = QStringLiteral("remote text");
        remote.items[3].ocrText = CompactText();
        remote.items[6].pageText.reset();
        const LibraryFile merged = mergeLibraries(base, local, remote);
        QCOMPARE(merged.items[1].ocrText->toString(), QStringLiteral("remote text"));
        QCOMPARE(merged.items[3].pageText->toString(), QStringLiteral("r\u00e9\u00e9crit"));
        QVERIFY(merged.items[3].ocrText && merged.items[3].ocrText->isEmpty());
        QVERIFY(!merged.items[6].pageText);
    }
};

QTEST_GUILESS_MAIN(TestLibraryCodec)
#include "tst_librarycodec.moc"
