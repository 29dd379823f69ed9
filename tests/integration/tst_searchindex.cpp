#include "../library/StoreFixtures.h"
#include "SeamGuard.h"

#include "integration/SearchIndex.h"
#include "integration/SystemSearchIndex.h"

#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"
#include "library/Services.h"
#include "platform/Defaults.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <optional>
#include <random>

using namespace vellora;

namespace {

Item picture(const QString &id, const QString &title, const QString &ocr = {})
{
    Item item = storetest::namedItem(id);
    item.pixelWidth = item.pixelHeight = 10;
    item.contentHash = QStringLiteral("00");
    item.dateAdded = item.dateCreated = 800000000.0;
    if (!title.isEmpty())
        item.title = title;
    if (!ocr.isEmpty())
        item.ocrText = ocr;
    return item;
}

SearchDocument doc(const QString &id, const QString &title, const QString &content = {},
                   const QString &keywords = {})
{
    SearchDocument d;
    d.id = id;
    d.title = title;
    d.content = content;
    d.keywords = keywords;
    d.kind = QStringLiteral("image");
    return d;
}

// Documents of words drawn with a skewed frequency, as real text is: the
// commonest words match most rows, the rarest a handful.
QList<SearchDocument> generatedDocuments(int count)
{
    static const char *syllables[] = {"ba", "ko", "ri", "tu", "me", "sa", "lo", "ne", "vi", "da", "po", "ga"};
    std::mt19937 random(11);
    QStringList words;
    while (words.size() < 600) {
        QString word;
        for (int s = 0, n = 2 + int(random() % 2); s < n; ++s)
            word += QLatin1String(syllables[random() % std::size(syllables)]);
        if (!words.contains(word))
            words << word;
    }
    std::vector<double> weights;
    for (int i = 0; i < int(words.size()); ++i)
        weights.push_back(1.0 / (i + 1));
    std::discrete_distribution<int> pick(weights.begin(), weights.end());
    const auto text = [&](int length) {
        QStringList out;
        for (int i = 0; i < length; ++i)
            out << words.at(pick(random));
        return out.join(' ');
    };
    QList<SearchDocument> documents;
    for (int i = 0; i < count; ++i) {
        SearchDocument d = doc(QStringLiteral("G%1").arg(i, 5, 10, QLatin1Char('0')), text(2 + int(random() % 4)),
                               text(10 + int(random() % 40)), text(2));
        d.description = text(5);
        d.domain = text(1) + ".com";
        documents << d;
    }
    return documents;
}

// Every match of `match` with its weighted bm25 score, as plain FTS5 ranks
// them in SQL, best first; rows that score alike in the order of the table.
QList<std::pair<QString, double>> plainRanking(const QString &path, const QString &match)
{
    QList<std::pair<QString, double>> ranked;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *select = nullptr;
        const char *sql = "SELECT item.id, bm25(item_fts, 10.0, 4.0, 6.0, 1.0, 3.0) AS score FROM item_fts "
                          "JOIN item ON item.rowid = item_fts.rowid WHERE item_fts MATCH ?1 ORDER BY score, item.rowid";
        if (sqlite3_prepare_v2(db, sql, -1, &select, nullptr) == SQLITE_OK) {
            const QByteArray utf8 = match.toUtf8();
            sqlite3_bind_text(select, 1, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
            while (sqlite3_step(select) == SQLITE_ROW)
                ranked.append({QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(select, 0))),
                               sqlite3_column_double(select, 1)});
        }
        sqlite3_finalize(select);
    }
    sqlite3_close(db);
    return ranked;
}

QStringList idsOf(const QList<SearchHit> &hits)
{
    QStringList ids;
    for (const SearchHit &hit : hits)
        ids << hit.id;
    return ids;
}

QStringList idsOf(const QList<std::pair<QString, double>> &ranked, qsizetype limit)
{
    QStringList ids;
    for (qsizetype i = 0; i < std::min(limit, ranked.size()); ++i)
        ids << ranked[i].first;
    return ids;
}

// The generated library and words that the tokenizer reads in its own way:
// accents folded, letters it keeps apart, marks it drops; and rows that
// score exactly alike, more of them than one page of results.
QList<SearchDocument> rankingDocuments()
{
    QList<SearchDocument> documents = generatedDocuments(3000);
    const QString enclosed = QStringLiteral("x\u20DDy");
    const QList<SearchDocument> special{
        doc("S01", "Café au lait", "bako"),
        doc("S02", "cafe racer", "ri"),
        doc("S03", "Crème brûlée", "CAFÉ society"),
        doc("S04", "Straße", "", "cafés"),
        doc("S05", enclosed, "bako"),
        doc("S06", "y x", "bako"),
        doc("S07", "x y", "ko"),
        doc("S08", QStringLiteral("e\u0301toile"), "étoile"),
    };
    documents << special;
    for (int i = 0; i < 30; ++i)
        documents << doc(QStringLiteral("T%1").arg(i, 2, 10, QLatin1Char('0')), "Twinned harbour", "bako");
    return documents;
}

// Searches until `index` ranks in memory, its copy being made meanwhile.
bool rankedInMemory(SearchIndex &index)
{
    index.search({"ba"}, 1);
    return index.searchedInMemory();
}

} // namespace

class TestSearchIndex : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Defaults> m_settings;
    std::unique_ptr<SystemSearchIndex> m_index;
    std::unique_ptr<LibraryStore> m_store;
    QStringList m_errors;
    std::optional<SeamGuard> m_seams;

    QString indexPath() const { return m_dir->path() + "/search-index.sqlite"; }

    // What a desktop search for `query` finds now, after the queued writes.
    QStringList find(const QString &query)
    {
        m_index->waitForIdle();
        SearchIndex reader(indexPath(), SearchIndex::Access::ReadOnly);
        if (!reader.open().ok)
            return {QStringLiteral("<no index>")};
        return idsOf(reader.search(query.split(' '), 50));
    }

    QStringList allIds()
    {
        m_index->waitForIdle();
        SearchIndex reader(indexPath(), SearchIndex::Access::ReadOnly);
        if (!reader.open().ok)
            return {QStringLiteral("<no index>")};
        QStringList ids = reader.ids();
        ids.sort();
        return ids;
    }

    // The default local library, with the index's hooks installed.
    void openLibrary(const QList<Item> &items, const QString &root = LibraryLocation::localURL())
    {
        m_store = std::make_unique<LibraryStore>(root, false, *m_settings);
        QVERIFY(m_store->loaded());
        QList<Item> placed = items;
        for (Item &item : placed)
            item.collectionIds = {m_store->defaultBoardId()};
        m_store->appendItems(placed);
    }

private slots:
    void init()
    {
        m_seams.emplace();
        m_dir = std::make_unique<QTemporaryDir>();
        QDir(LibraryLocation::localURL()).removeRecursively();
        m_settings = std::make_unique<Defaults>(m_dir->path() + "/settings.conf");
        m_index = std::make_unique<SystemSearchIndex>(indexPath(), *m_settings);
        m_errors.clear();
        m_index->setErrorOutput([this](const QString &line) { m_errors << line; });
        LibraryServices &services = LibraryServices::installed();
        services = LibraryServices{};
        services.indexInSpotlight = [this](LibraryStore &s, const QList<Item> &items) { m_index->index(s, items); };
        services.removeFromSpotlight = [this](LibraryStore &s, const QStringList &ids) { m_index->remove(s, ids); };
        services.reindexSpotlightIfNeeded = [this](LibraryStore &s) { m_index->reindexIfNeeded(s); };
    }

    void cleanup()
    {
        m_store.reset();
        m_index.reset();
        m_seams.reset();
    }

    void matchExpression_data()
    {
        QTest::addColumn<QStringList>("terms");
        QTest::addColumn<QString>("expected");
        QTest::newRow("two words") << QStringList{"sun", "bea"} << "\"sun\"* \"bea\"*";
        QTest::newRow("one term, two words") << QStringList{"sun bea"} << "\"sun\"* \"bea\"*";
        QTest::newRow("accents kept") << QStringList{"Café"} << "\"Café\"*";
        // Typed syntax is never FTS5 syntax.
        QTest::newRow("quotes and operators") << QStringList{"a\"b OR title:c*"} << "\"a\"* \"b\"* \"OR\"* \"title\"* \"c\"*";
        QTest::newRow("only punctuation") << QStringList{"-", "\"*"} << QString();
        QTest::newRow("nothing") << QStringList{} << QString();
    }
    void matchExpression()
    {
        QFETCH(QStringList, terms);
        QFETCH(QString, expected);
        QCOMPARE(SearchIndex::matchExpression(terms), expected);
    }

    // The file on its own: prefix words, ranking, one row per id.
    void indexFile()
    {
        SearchIndex index(indexPath(), SearchIndex::Access::ReadWrite);
        QVERIFY(index.open().ok);
        QVERIFY(index.upsert({doc("A", "Sunset beach", "waves"), doc("B", "Mountain", "sunset behind the beach"),
                              doc("C", "City at night")})
                    .ok);
        // Both words as prefixes; the title outweighs the content.
        QCOMPARE(idsOf(index.search({"sun", "bea"}, 10)), (QStringList{"A", "B"}));
        QCOMPARE(idsOf(index.search({"sunset", "city"}, 10)), QStringList());
        QCOMPARE(idsOf(index.search({"sun"}, 1)), QStringList{"A"});

        // Writing an id again replaces its row.
        QVERIFY(index.upsert({doc("A", "Harbour")}).ok);
        QCOMPARE(idsOf(index.search({"harb"}, 10)), QStringList{"A"});
        QCOMPARE(idsOf(index.search({"sun", "bea"}, 10)), QStringList{"B"});
        QCOMPARE(index.ids().size(), 3);

        QVERIFY(index.remove({"B", "unknown"}).ok);
        QCOMPARE(idsOf(index.search({"sunset"}, 10)), QStringList());
        QCOMPARE(idsOf(index.lookup({"C", "B", "A"})), (QStringList{"C", "A"}));

        QVERIFY(index.replaceAll({doc("D", "Desert")}).ok);
        QCOMPARE(index.ids(), QStringList{"D"});
        QCOMPARE(idsOf(index.search({"harbour"}, 10)), QStringList());
        QCOMPARE(idsOf(index.search({"des"}, 10)), QStringList{"D"});

        // Reconcile brings a row that holds something older up to date.
        QVERIFY(index.reconcile({doc("D", "Changed"), doc("E", "Forest")}).ok);
        QCOMPARE(idsOf(index.search({"desert"}, 10)), QStringList());
        QCOMPARE(idsOf(index.search({"changed"}, 10)), QStringList{"D"});
        QCOMPARE(idsOf(index.search({"forest"}, 10)), QStringList{"E"});
    }

    // Not a database, or a database of someone else: never patched, rebuilt.
    void foreignFileIsDamaged_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("garbage") << QByteArray(8192, 'x');
        QTest::newRow("truncated header") << QByteArray("SQLite format 3\0", 16) + QByteArray(100, '\0');
    }
    void foreignFileIsDamaged()
    {
        QFETCH(QByteArray, bytes);
        QFile file(indexPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        SearchIndex index(indexPath(), SearchIndex::Access::ReadWrite);
        const SearchIndexStatus opened = index.open();
        QVERIFY(!opened.ok);
        QVERIFY2(opened.damaged, qPrintable(opened.message));
    }

    void otherProgramsTablesAreDamaged()
    {
        {
            SearchIndex index(indexPath(), SearchIndex::Access::ReadWrite);
            QVERIFY(index.open().ok);
        }
        // Same file, tables of another version: the version no longer matches.
        QFile::remove(indexPath());
        QProcess::execute("sqlite3", {indexPath(), "CREATE TABLE other(x)"});
        if (!QFile::exists(indexPath()))
            QSKIP("no sqlite3 tool");
        SearchIndex index(indexPath(), SearchIndex::Access::ReadWrite);
        const SearchIndexStatus opened = index.open();
        QVERIFY(!opened.ok);
        QVERIFY(opened.damaged);
    }

    // The store's items through the hooks: add, update, trash, restore.
    void storeKeepsIndexCurrent()
    {
        openLibrary({picture("P1", "Receipt", "Quarterly revenue dashboard"), picture("P2", "Poster")});
        m_store->indexInSpotlight(m_store->activeItems());
        // A word of a picture's recognised text finds it.
        QCOMPARE(find("revenue"), QStringList{"P1"});
        QCOMPARE(find("quart dash"), QStringList{"P1"});

        // A link's metadata run writes the item again: new words, one row.
        Item link = picture("L1", QString());
        link.kind = "link";
        link.sourceURL = "https://www.example.org/page";
        m_store->appendItems({link});
        m_store->indexInSpotlight({*m_store->item("L1")});
        QCOMPARE(find("example"), QStringList{"L1"});
        m_store->updateItem("L1", [](Item &item) {
            item.title = "Typography in practice";
            item.pageText = "kerning and leading";
            item.tags = QStringList{"fonts"};
        });
        m_store->indexInSpotlight({*m_store->item("L1")});
        QCOMPARE(find("typo kern"), QStringList{"L1"});
        QCOMPARE(find("fonts"), QStringList{"L1"});
        QCOMPARE(allIds(), (QStringList{"L1", "P1", "P2"}));

        m_store->trash({"P1"});
        QCOMPARE(find("revenue"), QStringList());
        m_store->restore({"P1"});
        QCOMPARE(find("revenue"), QStringList{"P1"});

        m_store->deletePermanently("P2");
        QCOMPARE(allIds(), (QStringList{"L1", "P1"}));
        QVERIFY(m_errors.isEmpty());
    }

    // After the load, every edit of a searchable field reaches the index by
    // itself: analysis results, tags, a title, a link's fetched facts.
    void indexFollowsEveryEdit_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("query");
        QTest::newRow("recognised text") << "ocrText" << "zephyr";
        QTest::newRow("labels") << "labels" << "lighthou";
        QTest::newRow("tags") << "tags" << "moodbo";
        QTest::newRow("title") << "title" << "brutal";
        QTest::newRow("page text") << "pageText" << "kerning";
        QTest::newRow("summary") << "summary" << "harbour";
        QTest::newRow("whole list replaced") << "replace" << "elsewhere";
    }
    void indexFollowsEveryEdit()
    {
        QFETCH(QString, field);
        QFETCH(QString, query);
        openLibrary({picture("P1", "Screenshot"), picture("P2", "Poster")});
        m_store->reindexSpotlightIfNeeded();
        QCOMPARE(find("screensh"), QStringList{"P1"});
        QCOMPARE(find(query), QStringList());

        if (field == "replace") {
            QList<Item> items = m_store->items();
            items[0].title = "Made elsewhere";
            m_store->replaceItems(items);
        } else {
            m_store->updateItem("P1", [&](Item &item) {
                if (field == "ocrText")
                    item.ocrText = "Quarterly Zephyr Report";
                else if (field == "labels")
                    item.labels = QStringList{"lighthouse"};
                else if (field == "tags")
                    item.tags = QStringList{"moodboard"};
                else if (field == "title")
                    item.title = "Brutalist stairs";
                else if (field == "pageText")
                    item.pageText = "kerning and leading";
                else if (field == "summary")
                    item.summary = "A harbour at dusk";
            });
        }
        // Gathered, then written on the worker: the edit itself returns at once.
        QTRY_COMPARE(find(query), QStringList{"P1"});
        QCOMPARE(find("poster"), QStringList{"P2"});
        // An edit of a trashed item does not bring it back.
        m_store->trash({"P1"});
        m_store->updateItem("P1", [](Item &item) { item.tags = QStringList{"trashed"}; });
        QCOMPARE(find("trashed"), QStringList());
        QVERIFY(m_errors.isEmpty());
    }

    // A common word matches most of a large library: the best rows of all
    // matches come back, old ones too, not the best of the newest few.
    void searchRanksEveryMatch()
    {
        SearchIndex index(indexPath(), SearchIndex::Access::ReadWrite);
        QVERIFY(index.open().ok);
        QList<SearchDocument> documents;
        // The oldest rows hold the word in their titles; 800 newer ones only
        // deep in a long text.
        for (int i = 0; i < 3; ++i)
            documents << doc(QStringLiteral("BEST%1").arg(i), "Harbour");
        for (int i = 0; i < 800; ++i) {
            SearchDocument d = doc(QStringLiteral("N%1").arg(i, 4, 10, QLatin1Char('0')), "Picture");
            d.content = QStringLiteral("many other words here and there about things ").repeated(8) + "harbour";
            documents << d;
        }
        QVERIFY(index.upsert(documents).ok);
        const QStringList best = idsOf(index.search({"harb"}, 3));
        QCOMPARE(best.size(), 3);
        for (const QString &id : best)
            QVERIFY2(id.startsWith("BEST"), qPrintable(best.join(' ')));
        QCOMPARE(index.search({"harb"}, 1000).size(), qsizetype(803));
    }

    void rankingIsPlainBm25OverEveryMatch_data()
    {
        QTest::addColumn<QString>("query");
        QTest::newRow("two common words, the second being typed") << "bako ri";
        QTest::newRow("one short prefix") << "ko";
        QTest::newRow("one common word") << "bako";
        QTest::newRow("three words") << "ba ko ri";
        QTest::newRow("a rare word") << "gapoda";
    }

    // The best 20 are plain FTS5's best 20 by the weighted bm25 over all
    // matches, however many there are; rows that score alike may trade places.
    void rankingIsPlainBm25OverEveryMatch()
    {
        QFETCH(QString, query);
        static const QList<SearchDocument> documents = generatedDocuments(4000);
        SearchIndex index(indexPath(), SearchIndex::Access::ReadWrite);
        QVERIFY(index.open().ok);
        QVERIFY(index.upsert(documents).ok);
        const QStringList terms = query.split(' ');
        const QList<std::pair<QString, double>> plain = plainRanking(indexPath(), SearchIndex::matchExpression(terms));
        QVERIFY(!plain.isEmpty());
        QHash<QString, double> scoreOf;
        for (const auto &[id, score] : plain)
            scoreOf.insert(id, score);
        const QStringList got = idsOf(index.search(terms, 20));
        QCOMPARE(got.size(), std::min<qsizetype>(20, plain.size()));
        for (qsizetype i = 0; i < got.size(); ++i) {
            QVERIFY2(scoreOf.contains(got[i]), qPrintable(got[i]));
            QCOMPARE(scoreOf.value(got[i]), plain[i].second);
        }
        QCOMPARE(QSet<QString>(got.cbegin(), got.cend()).size(), got.size());
        QVERIFY(!index.search(terms, plain.size() + 5).isEmpty());
        QCOMPARE(index.search(terms, plain.size() + 5).size(), plain.size());
    }

    // Once the in-memory copy is made, its answers are plain FTS5's: the
    // same rows in the same order, ties in the table's order, for the first
    // page and for every match. Words FTS5 reads as a phrase or as nothing
    // stay with FTS5.
    void inMemoryRankingIsPlainBm25_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<bool>("inMemory");
        QTest::newRow("common word and a prefix being typed") << "bako ri" << true;
        QTest::newRow("one letter") << "k" << true;
        QTest::newRow("two letters") << "ko" << true;
        QTest::newRow("three short prefixes") << "ba ko ri" << true;
        QTest::newRow("a word twice") << "bako bako" << true;
        QTest::newRow("a rare word") << "gapoda" << true;
        QTest::newRow("accent typed, folded in the rows") << "CAFÉ" << true;
        QTest::newRow("no accent typed") << "cafe" << true;
        QTest::newRow("sharp s and a mark inside a word") << QStringLiteral("straße e\u0301to") << true;
        QTest::newRow("rows that tie past the first page") << "twinned harb" << true;
        QTest::newRow("no match") << "zuzuzu" << true;
        QTest::newRow("a match in no row together") << "gapoda twinned" << true;
        QTest::newRow("one typed word, two tokens") << QStringLiteral("x\u20DDy") << false;
        QTest::newRow("a word of no token") << QStringLiteral("\u0301 bako") << false;
    }
    void inMemoryRankingIsPlainBm25()
    {
        QFETCH(QString, query);
        QFETCH(bool, inMemory);
        static const QList<SearchDocument> documents = rankingDocuments();
        {
            SearchIndex writer(indexPath(), SearchIndex::Access::ReadWrite);
            QVERIFY(writer.open().ok);
            QVERIFY(writer.upsert(documents).ok);
        }
        // As the desktop's search provider reads it.
        SearchIndex index(indexPath(), SearchIndex::Access::ReadOnly);
        QVERIFY(index.open().ok);
        QTRY_VERIFY_WITH_TIMEOUT(rankedInMemory(index), 20000);

        const QStringList terms = query.split(' ');
        const QList<std::pair<QString, double>> plain = plainRanking(indexPath(), SearchIndex::matchExpression(terms));
        SearchIndexStatus status;
        QCOMPARE(idsOf(index.search(terms, 20, &status)), idsOf(plain, 20));
        QVERIFY(status.ok);
        QCOMPARE(index.searchedInMemory(), inMemory);
        QCOMPARE(idsOf(index.search(terms, 100000)), idsOf(plain, plain.size()));
        QCOMPARE(idsOf(index.search(terms, 1)), idsOf(plain, 1));
    }

    // The copy never answers for a file that has changed since it was made:
    // the next search already shows the change, and once the copy is made
    // again it shows it too. The writer's own writes count as changes.
    void inMemoryRankingFollowsWrites_data()
    {
        QTest::addColumn<bool>("sameConnection");
        QTest::newRow("written by another connection") << false;
        QTest::newRow("written by the searching connection") << true;
    }
    void inMemoryRankingFollowsWrites()
    {
        QFETCH(bool, sameConnection);
        SearchIndex writer(indexPath(), SearchIndex::Access::ReadWrite);
        QVERIFY(writer.open().ok);
        QList<SearchDocument> documents = generatedDocuments(500);
        documents << doc("OLD", "Lighthouse keeper") << doc("GONE", "Lighthouse ruin");
        QVERIFY(writer.upsert(documents).ok);
        SearchIndex reader(indexPath(), SearchIndex::Access::ReadOnly);
        SearchIndex &searcher = sameConnection ? writer : reader;
        QVERIFY(searcher.isOpen() || searcher.open().ok);
        QTRY_VERIFY_WITH_TIMEOUT(rankedInMemory(searcher), 20000);
        QCOMPARE(idsOf(searcher.search({"lighth"}, 20)), (QStringList{"OLD", "GONE"}));

        QVERIFY(writer.upsert({doc("OLD", "Harbour keeper"), doc("NEW", "Lighthouse at dawn")}).ok);
        QVERIFY(writer.remove({"GONE"}).ok);
        QCOMPARE(idsOf(searcher.search({"lighth"}, 20)), QStringList{"NEW"});
        // The copy holds the file as it was before the writes.
        QVERIFY(!searcher.searchedInMemory());
        QCOMPARE(idsOf(searcher.search({"harb", "keep"}, 20)), QStringList{"OLD"});
        QTRY_VERIFY_WITH_TIMEOUT(rankedInMemory(searcher), 20000);
        QCOMPARE(idsOf(searcher.search({"lighth"}, 20)), QStringList{"NEW"});
        QCOMPARE(idsOf(searcher.search({"harb", "keep"}, 20)), QStringList{"OLD"});
        QVERIFY(searcher.searchedInMemory());
    }

    void unsafeIdsAreSkipped()
    {
        openLibrary({picture("../escape", "Escape"), picture("a/b", "Slash"), picture("OK", "Fine")});
        m_store->indexInSpotlight(m_store->activeItems());
        QCOMPARE(allIds(), QStringList{"OK"});
    }

    // Only the default local library and a library in the cloud place.
    void otherRootsAreNotIndexed()
    {
        openLibrary({picture("P1", "Receipt")}, m_dir->path() + "/Elsewhere");
        m_store->indexInSpotlight(m_store->activeItems());
        m_store->reindexSpotlightIfNeeded();
        m_index->waitForIdle();
        QVERIFY(!QFile::exists(indexPath()));
        QCOMPARE(m_settings->integer(SystemSearchIndex::kVersionKey, 0), 0);
        QVERIFY(!SystemSearchIndex::indexesRoot(m_dir->path()));
        QVERIFY(SystemSearchIndex::indexesRoot(LibraryLocation::localURL() + "/"));
    }

    // Below version 2 the index is rebuilt once; after that it is brought in
    // line with the items, and follows their edits.
    void versionBelowTwoRebuildsOnce()
    {
        {
            SearchIndex stale(indexPath(), SearchIndex::Access::ReadWrite);
            QVERIFY(stale.open().ok);
            QVERIFY(stale.upsert({doc("P1", "Old words"), doc("GONE", "Gone")}).ok);
        }
        m_settings->set(SystemSearchIndex::kVersionKey, 1);
        openLibrary({picture("P1", "New words"), picture("P2", "Second")});
        m_store->trash({"P2"});

        m_store->reindexSpotlightIfNeeded();
        QCOMPARE(allIds(), QStringList{"P1"});
        QCOMPARE(find("new"), QStringList{"P1"});
        QCOMPARE(find("old"), QStringList());
        QCOMPARE(m_settings->integer(SystemSearchIndex::kVersionKey, 0), 2);

        // From then on the index follows the store's edits...
        m_store->updateItem("P1", [](Item &item) { item.title = "Third words"; });
        m_store->restore({"P2"});
        m_store->updateItem("P2", [](Item &item) { item.title = "Second again"; });
        QCOMPARE(find("third"), QStringList{"P1"});
        QCOMPARE(find("new"), QStringList());
        {
            SearchIndex direct(indexPath(), SearchIndex::Access::ReadWrite);
            QVERIFY(direct.open().ok);
            QVERIFY(direct.remove({"P2"}).ok);
            QVERIFY(direct.upsert({doc("P1", "Stale words")}).ok);
        }
        // ...and a later start brings rows that differ in line, without a rebuild.
        m_store->reindexSpotlightIfNeeded();
        QCOMPARE(find("third"), QStringList{"P1"});
        QCOMPARE(find("stale"), QStringList());
        QCOMPARE(find("again"), QStringList{"P2"});
    }

    // A damaged or vanished file is built again from the library; the save
    // or import that wrote never learns of it.
    void damagedIndexIsRebuiltFromLibrary_data()
    {
        QTest::addColumn<bool>("removeInstead");
        QTest::newRow("overwritten with garbage") << false;
        QTest::newRow("removed while open") << true;
    }
    void damagedIndexIsRebuiltFromLibrary()
    {
        QFETCH(bool, removeInstead);
        openLibrary({picture("P1", "Receipt"), picture("P2", "Poster"), picture("P3", "Chart")});
        m_store->indexInSpotlight(m_store->activeItems());
        QCOMPARE(allIds().size(), 3);

        if (removeInstead) {
            QVERIFY(QFile::remove(indexPath()));
        } else {
            // A fresh writer meets the damage when it opens the file.
            m_index.reset();
            QFile file(indexPath());
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.write(QByteArray(file.size(), 'x'));
            file.close();
            QFile::remove(indexPath() + "-wal");
            QFile::remove(indexPath() + "-shm");
            m_index = std::make_unique<SystemSearchIndex>(indexPath(), *m_settings);
            m_index->setErrorOutput([this](const QString &line) { m_errors << line; });
        }
        m_store->appendItems({picture("P4", "Sketch")});
        m_store->indexInSpotlight({*m_store->item("P4")});
        // The library comes back in full through the main thread.
        QTRY_COMPARE(allIds(), (QStringList{"P1", "P2", "P3", "P4"}));
        QCOMPARE(find("chart"), QStringList{"P3"});
        QVERIFY(m_errors.isEmpty());
    }

    void failedWritePrintsSpotlightLine()
    {
        // A folder where the file should be: nothing can be written there.
        QVERIFY(QDir().mkpath(indexPath()));
        openLibrary({picture("P1", "Receipt")});
        m_store->indexInSpotlight(m_store->activeItems());
        m_index->waitForIdle();
        QCOMPARE(m_errors.size(), 1);
        QVERIFY2(m_errors.first().startsWith("spotlight: "), qPrintable(m_errors.first()));
    }

    void installedHooksReachSharedIndex()
    {
        installSearchIndexServices();
        QCOMPARE(SystemSearchIndex::defaultPath(), LibraryLocation::localURL() + "/search-index.sqlite");
        openLibrary({picture("P1", "Lighthouse")});
        m_store->indexInSpotlight(m_store->activeItems());
        SystemSearchIndex::shared().waitForIdle();
        SearchIndex reader(SystemSearchIndex::defaultPath(), SearchIndex::Access::ReadOnly);
        QVERIFY(reader.open().ok);
        QCOMPARE(idsOf(reader.search({"light"}, 5)), QStringList{"P1"});
    }
};

QTEST_GUILESS_MAIN(TestSearchIndex)
#include "tst_searchindex.moc"
