// The fast road for library.json must give exactly what the general road
// gives: the same bytes written, the same records read, and every document
// it is unsure of handed over rather than read differently.

#include "library/CodingSupport.h"
#include "library/JsonWriter.h"
#include "library/LibraryCodec.h"
#include "library/Records.h"

#include <QFile>
#include <QTest>

#include <limits>

using namespace vellora;

namespace {

QByteArray readFixture(const char *name)
{
    QFile file(QStringLiteral(VELLORA_RECORDS_FIXTURES "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A library that uses every member and the awkward corners of the written form.
LibraryFile variedLibrary()
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
    for (int i = 0; i < 40; ++i) {
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
};

QTEST_GUILESS_MAIN(TestLibraryCodec)
#include "tst_librarycodec.moc"
