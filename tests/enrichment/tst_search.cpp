#include "ManualScheduler.h"
#include "ScopedScheduler.h"

#include "FakeModelServer.h"

#include "enrichment/Search.h"
#include "library/LibraryStore.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/Scheduler.h"
#include "platform/Uuid.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace vellora;
using nlohmann::json;

using Scores = QHash<QString, int>;

namespace {
Item makeItem(const QString &filename)
{
    Item item;
    item.id = newUUIDString();
    item.kind = QStringLiteral("image");
    item.originalFilename = filename;
    item.storedFilename = item.id + QStringLiteral(".png");
    item.thumbnailFilename = item.id + QStringLiteral(".jpg");
    item.contentHash = item.id;
    item.dateAdded = item.dateCreated = now();
    return item;
}
} // namespace

class TestSearch : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void searchableTextOrder();
    void ranking_data();
    void ranking();
    void colourNames();
    void oneWordFoundAsksNothing();
    void debounceAndTypingOn();
    void emptyAndBlankQueriesAskNothing();
    void withoutModelNothingIsAsked();
    void planRanksItems();
    void modelErrorLeavesNoRanking();
    void lateAnswerNeverOverwrites();

private:
    void useServer() { Defaults::standard().set(QString::fromLatin1(kLanguageModelURLKey), m_server->url().toString()); }

    QTemporaryDir m_dir;
    std::unique_ptr<LibraryStore> m_store;
    std::unique_ptr<FakeModelServer> m_server;
    std::unique_ptr<ManualScheduler> m_scheduler;
    std::unique_ptr<ScopedScheduler> m_scope;
    QString m_chair, m_poster, m_red;
};

void TestSearch::initTestCase() { QVERIFY(m_dir.isValid()); }

void TestSearch::init()
{
    Defaults::standard().remove(QString::fromLatin1(kLanguageModelURLKey));
    Defaults::standard().set(QString::fromLatin1(kLanguageModelTimeoutKey), 5.0);
    LanguageModel::endAllRests();
    m_scheduler = std::make_unique<ManualScheduler>();
    m_scope = std::make_unique<ScopedScheduler>(m_scheduler.get());
    m_server = std::make_unique<FakeModelServer>();
    static int n = 0;
    m_store = std::make_unique<LibraryStore>(m_dir.filePath(QStringLiteral("lib%1").arg(++n)), false);
    Item chair = makeItem(QStringLiteral("chair.png"));
    chair.title = QStringLiteral("Walnut lounge chair");
    chair.palette = QStringList{"#8b5a2b"};
    Item poster = makeItem(QStringLiteral("poster.jpg"));
    poster.ocrText = QStringLiteral("Bauhaus exhibition 1923");
    poster.tags = QStringList{"typography"};
    Item red = makeItem(QStringLiteral("sunset.jpg"));
    red.palette = QStringList{"#d02020", "#2050d0"};
    m_chair = chair.id;
    m_poster = poster.id;
    m_red = red.id;
    m_store->appendItems({chair, poster, red});
}

void TestSearch::cleanup()
{
    m_store.reset();
    m_scope.reset();
    m_scheduler.reset();
    m_server.reset();
}

void TestSearch::searchableTextOrder()
{
    Item item = makeItem(QStringLiteral("file.png"));
    QCOMPARE(searchableText(item), QStringLiteral("file.png       "));
    item.ocrText = QStringLiteral("ocr");
    item.title = QStringLiteral("title");
    item.sourceURL = QStringLiteral("https://www.example.com/page");
    item.siteName = QStringLiteral("site");
    item.summary = QStringLiteral("summary");
    LinkInsight insight;
    insight.summary = QStringLiteral("insight");
    item.insight = insight;
    item.pageText = QStringLiteral("page");
    item.tags = QStringList{"t1", "t2"};
    item.labels = QStringList{"l1"};
    QCOMPARE(searchableText(item), QStringLiteral("file.png ocr title example.com site summary insight page t1 t2 l1"));
}

void TestSearch::ranking_data()
{
    QTest::addColumn<QStringList>("terms");
    QTest::addColumn<QStringList>("colors");
    QTest::addColumn<Scores>("expected"); // by file name
    using H = QHash<QString, int>;
    QTest::newRow("two colour hits, any case") << QStringList{} << QStringList{"Red", "blue"} << H{{"sunset.jpg", 2}};
    QTest::newRow("terms and colours add up")
        << QStringList{"walnut", "CHAIR", "lounge"} << QStringList{"orange"} << H{{"chair.png", 4}};
    QTest::newRow("a colour named twice counts twice") << QStringList{} << QStringList{"red", "RED"} << H{{"sunset.jpg", 2}};
    QTest::newRow("unknown colours add nothing") << QStringList{"bauhaus"} << QStringList{"mauve"} << H{{"poster.jpg", 1}};
    QTest::newRow("empty and blank terms match nothing") << QStringList{"", " ", "\t"} << QStringList{} << H{};
    QTest::newRow("nothing found") << QStringList{"zebra"} << QStringList{"green"} << H{};
    QTest::newRow("tags and text count") << QStringList{"typography", "1923", "jpg"} << QStringList{}
                                         << H{{"poster.jpg", 3}, {"sunset.jpg", 1}};
}

void TestSearch::ranking()
{
    QFETCH(QStringList, terms);
    QFETCH(QStringList, colors);
    QFETCH(Scores, expected);
    QHash<QString, int> byName;
    const QHash<QString, int> scores = rankItems(m_store->items(), terms, colors);
    for (const Item &item : m_store->items())
        if (scores.contains(item.id))
            byName.insert(item.originalFilename, scores.value(item.id));
    QCOMPARE(byName, expected);
}

void TestSearch::colourNames()
{
    QCOMPARE(hueOfColourName(QStringLiteral("teal")), std::optional<double>(175));
    QCOMPARE(hueOfColourName(QStringLiteral("PINK")), std::optional<double>(325));
    QVERIFY(!hueOfColourName(QStringLiteral("grey")));
    QVERIFY(!hueOfColourName(QString()));
}

void TestSearch::oneWordFoundAsksNothing()
{
    useServer();
    Search search(*m_store);
    search.setQuery(QStringLiteral("Walnut")); // in the chair's title
    m_scheduler->advance(1.0);
    QTest::qWait(50);
    QCOMPARE(m_server->requestCount(), 0);
    QVERIFY(!search.ranked());
    QVERIFY(!search.thinking());
}

void TestSearch::debounceAndTypingOn()
{
    useServer();
    m_server->setStanding(FakeModelServer::answer(json{{"terms", json::array()}, {"colors", json::array()}}));
    Search search(*m_store);
    search.setQuery(QStringLiteral("zebr")); // found nowhere: the model is asked, but not yet
    m_scheduler->advance(0.29);
    QVERIFY(!search.thinking());
    search.setQuery(QStringLiteral("zebra"));
    m_scheduler->advance(0.29);
    QTest::qWait(50);
    QCOMPARE(m_server->requestCount(), 0);
    QSignalSpy thinking(&search, &Search::thinkingChanged);
    m_scheduler->advance(0.01);
    QVERIFY(search.thinking());
    QTRY_VERIFY(search.ranked().has_value());
    QVERIFY(!search.thinking());
    QCOMPARE(thinking.size(), 2);
    // Only the newer text was asked, with the instructions and the query as the prompt.
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(m_server->requests().first().system(), QString::fromUtf8(kSearchInstructions));
    QCOMPARE(m_server->requests().first().user(), QStringLiteral("zebra") + LanguageModel::schemaNote(searchPlanSchema()));
    QVERIFY(search.ranked()->isEmpty()); // a plan that hits nothing: present but empty
}

void TestSearch::emptyAndBlankQueriesAskNothing()
{
    useServer();
    Search search(*m_store);
    for (const QString &query : {" ", "   \t ", ""}) {
        search.setQuery(query);
        m_scheduler->advance(1.0);
    }
    QTest::qWait(50);
    QCOMPARE(m_server->requestCount(), 0);
    QVERIFY(!search.ranked());
}

void TestSearch::withoutModelNothingIsAsked()
{
    Search search(*m_store);
    search.setQuery(QStringLiteral("warm wooden furniture"));
    m_scheduler->advance(1.0);
    QTest::qWait(50);
    QCOMPARE(m_server->requestCount(), 0);
    QVERIFY(!search.ranked() && !search.thinking());
}

void TestSearch::planRanksItems()
{
    useServer();
    // The model gives no terms: the words of the query still count.
    m_server->setStanding(FakeModelServer::answer(json{{"terms", json::array()}, {"colors", {"Red", "blue"}}}));
    Search search(*m_store);
    QSignalSpy ranked(&search, &Search::rankedChanged);
    search.setQuery(QStringLiteral("  lounge bauhaus\t"));
    m_scheduler->advance(0.3);
    QTRY_VERIFY(search.ranked().has_value());
    const Ranking expected{{m_chair, 1}, {m_poster, 1}, {m_red, 2}};
    QCOMPARE(*search.ranked(), expected);
    QCOMPARE(m_server->requests().first().user(),
             QStringLiteral("lounge bauhaus") + LanguageModel::schemaNote(searchPlanSchema()));
    QCOMPARE(ranked.size(), 1);

    // A new query clears the ranking at once.
    search.setQuery(QStringLiteral("lounge bauhaus x"));
    QVERIFY(!search.ranked());
    QCOMPARE(ranked.size(), 2);
    // The same text again changes nothing and asks nothing new.
    search.setQuery(QStringLiteral("lounge bauhaus x"));
    QCOMPARE(ranked.size(), 2);
}

void TestSearch::modelErrorLeavesNoRanking()
{
    useServer();
    m_server->setStanding(FakeModelServer::answer(json{{"terms", {"only terms"}}})); // no colours: malformed
    Search search(*m_store);
    search.setQuery(QStringLiteral("two words"));
    m_scheduler->advance(0.3);
    QVERIFY(search.thinking());
    QTRY_VERIFY(!search.thinking());
    QVERIFY(!search.ranked());
    QCOMPARE(m_server->requestCount(), 1);
}

void TestSearch::lateAnswerNeverOverwrites()
{
    useServer();
    m_server->setStanding(FakeModelServer::answer(json{{"terms", {"walnut"}}, {"colors", json::array()}}));
    Search search(*m_store);
    search.setQuery(QStringLiteral("first query"));
    m_scheduler->advance(0.3);
    QVERIFY(search.thinking());
    // Typing on while the model answers: the old answer must not land.
    search.setQuery(QStringLiteral("Walnut")); // found in text: no new request
    QVERIFY(!search.thinking());
    QTRY_COMPARE(m_server->requestCount(), 1);
    QTest::qWait(200);
    QVERIFY(!search.ranked());
    QVERIFY(!search.thinking());
}

QTEST_MAIN(TestSearch)
#include "tst_search.moc"
