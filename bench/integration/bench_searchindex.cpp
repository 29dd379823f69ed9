// Indexing 100 000 items, and two-word prefix queries over them (the desktop
// asks once per keystroke; the answer should come in well under 5 ms).

#include "integration/SearchIndex.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <sqlite3.h>

#include <random>

using namespace vellora;

namespace {

constexpr int kItems = 100000;

// Pronounceable words, used with a skewed (Zipf-like) frequency as real text is.
class Vocabulary {
public:
    explicit Vocabulary(int size)
    {
        static const char *onsets[] = {"b", "c", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r", "s", "t",
                                       "v", "w", "br", "cr", "st", "tr", "pl", "gr", "sh", "ch"};
        static const char *vowels[] = {"a", "e", "i", "o", "u", "ai", "ou", "ea"};
        static const char *codas[] = {"", "n", "r", "s", "t", "l", "m", "nd", "st", "ck"};
        std::mt19937 random(7);
        while (int(m_words.size()) < size) {
            QString word;
            const int syllables = 1 + int(random() % 3);
            for (int s = 0; s < syllables; ++s) {
                word += QLatin1String(onsets[random() % std::size(onsets)]);
                word += QLatin1String(vowels[random() % std::size(vowels)]);
            }
            word += QLatin1String(codas[random() % std::size(codas)]);
            m_words.append(word);
        }
        std::vector<double> weights;
        for (int i = 0; i < size; ++i)
            weights.push_back(1.0 / double(i + 1));
        m_pick = std::discrete_distribution<int>(weights.begin(), weights.end());
    }

    QString words(std::mt19937 &random, int count)
    {
        QStringList out;
        for (int i = 0; i < count; ++i)
            out << m_words.at(m_pick(random));
        return out.join(QLatin1Char(' '));
    }
    const QString &at(int rank) const { return m_words.at(rank); }

private:
    QStringList m_words;
    std::discrete_distribution<int> m_pick;
};

QList<SearchDocument> library(int count)
{
    Vocabulary vocabulary(20000);
    std::mt19937 random(42);
    QList<SearchDocument> documents;
    documents.reserve(count);
    for (int i = 0; i < count; ++i) {
        SearchDocument d;
        d.id = QStringLiteral("00000000-0000-4000-8000-%1").arg(i, 12, 10, QLatin1Char('0'));
        d.title = vocabulary.words(random, 2 + int(random() % 5));
        d.description = vocabulary.words(random, 8);
        d.keywords = vocabulary.words(random, 4);
        d.content = vocabulary.words(random, 20 + int(random() % 60));
        d.domain = vocabulary.words(random, 1) + QStringLiteral(".com");
        d.kind = i % 4 == 0 ? QStringLiteral("link") : QStringLiteral("image");
        d.thumbnail = QStringLiteral("/home/user/.local/share/Vellora/thumbnails/") + d.id + QStringLiteral(".jpg");
        documents.append(d);
    }
    return documents;
}

const QList<SearchDocument> &documents()
{
    static const QList<SearchDocument> made = library(kItems);
    return made;
}

void BM_Index100k(benchmark::State &state)
{
    const QList<SearchDocument> &all = documents();
    for (auto _ : state) {
        QTemporaryDir dir;
        SearchIndex index(dir.path() + "/search-index.sqlite", SearchIndex::Access::ReadWrite);
        if (!index.open().ok || !index.upsert(all).ok)
            state.SkipWithError("index failed");
    }
    state.SetItemsProcessed(state.iterations() * all.size());
}
BENCHMARK(BM_Index100k)->Unit(benchmark::kMillisecond)->Iterations(2);

// One index of 100 000 items, read as the search provider reads it.
struct Built {
    QTemporaryDir dir;
    QString path;
    Built()
    {
        path = dir.path() + "/search-index.sqlite";
        SearchIndex index(path, SearchIndex::Access::ReadWrite);
        index.open();
        index.upsert(documents());
    }
};

Built &built()
{
    static Built b;
    return b;
}

// How many items the query matches in all.
qsizetype matches(const QStringList &terms)
{
    SearchIndex index(built().path, SearchIndex::Access::ReadOnly);
    index.open();
    return index.search(terms, kItems).size();
}

// The true best `limit` ids by the index's weighted bm25 over every match:
// plain FTS5, ranking each matched row in SQL. What search() must equal.
QStringList plainBest(const QStringList &terms, int limit)
{
    sqlite3 *db = nullptr;
    QStringList ids;
    if (sqlite3_open_v2(QFile::encodeName(built().path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return ids;
    }
    const char *sql = "SELECT item.id FROM item_fts JOIN item ON item.rowid = item_fts.rowid "
                      "WHERE item_fts MATCH ?1 ORDER BY bm25(item_fts, 10.0, 4.0, 6.0, 1.0, 3.0) LIMIT ?2";
    sqlite3_stmt *select = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &select, nullptr) == SQLITE_OK) {
        const QByteArray match = SearchIndex::matchExpression(terms).toUtf8();
        sqlite3_bind_text(select, 1, match.constData(), int(match.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(select, 2, limit);
        while (sqlite3_step(select) == SQLITE_ROW)
            ids << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(select, 0)));
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    return ids;
}

// Searches until the index ranks in memory: its copy is made in the
// background after the open. False when it never comes.
bool waitForMemoryRanking(SearchIndex &index, const QStringList &terms)
{
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        index.search(terms, 20);
        if (index.searchedInMemory())
            return true;
        QThread::msleep(5);
    }
    return false;
}

// What the desktop asks while the user types. The 20 results must be plain
// FTS5's best 20.
void typedQuery(benchmark::State &state, const QStringList &terms)
{
    SearchIndex index(built().path, SearchIndex::Access::ReadOnly);
    if (!index.open().ok) {
        state.SkipWithError("no index");
        return;
    }
    if (!waitForMemoryRanking(index, terms)) {
        state.SkipWithError("the index never ranked in memory");
        return;
    }
    qsizetype found = 0;
    bool inMemory = true;
    for (auto _ : state) {
        const QList<SearchHit> hits = index.search(terms, 20);
        found = hits.size();
        inMemory = inMemory && index.searchedInMemory();
        benchmark::DoNotOptimize(found);
    }
    state.counters["results"] = double(found);
    state.counters["in_memory"] = inMemory ? 1 : 0;
    state.counters["ranking_MB"] = double(index.rankingMemory()) / 1e6;
    QStringList got;
    for (const SearchHit &hit : index.search(terms, 20))
        got << hit.id;
    const QStringList best = plainBest(terms, 20);
    int same = 0;
    for (const QString &id : got)
        same += best.contains(id) ? 1 : 0;
    state.counters["of_true_top20"] = double(same);
    if (got != best)
        state.SkipWithError("the results are not plain FTS5's best 20 by bm25");
    state.SetLabel((terms.join(' ') + QStringLiteral(" (%1 matches)").arg(matches(terms))).toStdString());
}

// Two words typed, the second one still being typed: prefixes of words of
// the given frequency ranks.
void twoWordQuery(benchmark::State &state, int firstRank, int secondRank)
{
    Vocabulary vocabulary(20000);
    typedQuery(state, {vocabulary.at(firstRank), vocabulary.at(secondRank).left(3)});
}

void BM_TwoWordPrefixQuery_Typical(benchmark::State &state)
{
    twoWordQuery(state, 300, 1200);
}
BENCHMARK(BM_TwoWordPrefixQuery_Typical)->Unit(benchmark::kMicrosecond);

void BM_TwoWordPrefixQuery_CommonWords(benchmark::State &state)
{
    twoWordQuery(state, 3, 8);
}
BENCHMARK(BM_TwoWordPrefixQuery_CommonWords)->Unit(benchmark::kMicrosecond);

void BM_TwoWordPrefixQuery_Rare(benchmark::State &state)
{
    twoWordQuery(state, 5000, 9000);
}
BENCHMARK(BM_TwoWordPrefixQuery_Rare)->Unit(benchmark::kMicrosecond);

// From opening the index to the first search ranked in memory: how long a
// change of the file leaves the desktop's search on the full-text table.
void BM_InMemoryRankingReady100k(benchmark::State &state)
{
    Vocabulary vocabulary(20000);
    const QStringList terms{vocabulary.at(3), vocabulary.at(8).left(3)};
    built();
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        SearchIndex index(built().path, SearchIndex::Access::ReadOnly);
        if (!index.open().ok || !waitForMemoryRanking(index, terms)) {
            state.SkipWithError("the index never ranked in memory");
            break;
        }
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
        state.counters["ranking_MB"] = double(index.rankingMemory()) / 1e6;
    }
}
BENCHMARK(BM_InMemoryRankingReady100k)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

// Ranking the common words with FTS5's own rank over every match, in the
// full-text table: what a search costs until the in-memory copy is ready.
void BM_TwoWordPrefixQuery_CommonWords_FullTextRank(benchmark::State &state)
{
    Vocabulary vocabulary(20000);
    const QByteArray match = SearchIndex::matchExpression({vocabulary.at(3), vocabulary.at(8).left(3)}).toUtf8();
    sqlite3 *db = nullptr;
    sqlite3_stmt *select = nullptr;
    const char *sql = "SELECT item.id FROM (SELECT rowid, rank FROM item_fts WHERE item_fts MATCH ?1 "
                      "AND rank MATCH 'bm25(10.0, 4.0, 6.0, 1.0, 3.0)' ORDER BY rank LIMIT 20) AS hit "
                      "JOIN item ON item.rowid = hit.rowid ORDER BY hit.rank";
    if (sqlite3_open_v2(QFile::encodeName(built().path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK
        || sqlite3_prepare_v2(db, sql, -1, &select, nullptr) != SQLITE_OK) {
        state.SkipWithError("no index");
    } else {
        for (auto _ : state) {
            sqlite3_bind_text(select, 1, match.constData(), int(match.size()), SQLITE_TRANSIENT);
            int rows = 0;
            while (sqlite3_step(select) == SQLITE_ROW)
                ++rows;
            benchmark::DoNotOptimize(rows);
            sqlite3_reset(select);
        }
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
}
BENCHMARK(BM_TwoWordPrefixQuery_CommonWords_FullTextRank)->Unit(benchmark::kMicrosecond);

// The first letter typed: most of the library matches.
void BM_OneLetterQuery(benchmark::State &state)
{
    typedQuery(state, {QStringLiteral("b")});
}
BENCHMARK(BM_OneLetterQuery)->Unit(benchmark::kMicrosecond);

// The reference itself on the common words, for comparison.
void BM_TwoWordPrefixQuery_CommonWords_PlainBm25(benchmark::State &state)
{
    Vocabulary vocabulary(20000);
    const QStringList terms{vocabulary.at(3), vocabulary.at(8).left(3)};
    for (auto _ : state)
        benchmark::DoNotOptimize(plainBest(terms, 20));
}
BENCHMARK(BM_TwoWordPrefixQuery_CommonWords_PlainBm25)->Unit(benchmark::kMicrosecond);

// Only finding the common words' matches, in plain FTS5, without ranking
// them: the least that any ranking over every match costs.
void BM_TwoWordPrefixQuery_CommonWords_MatchOnly(benchmark::State &state)
{
    Vocabulary vocabulary(20000);
    const QByteArray match = SearchIndex::matchExpression({vocabulary.at(3), vocabulary.at(8).left(3)}).toUtf8();
    sqlite3 *db = nullptr;
    sqlite3_stmt *count = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(built().path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK
        || sqlite3_prepare_v2(db, "SELECT count(*) FROM item_fts WHERE item_fts MATCH ?1", -1, &count, nullptr)
               != SQLITE_OK) {
        state.SkipWithError("no index");
    } else {
        for (auto _ : state) {
            sqlite3_bind_text(count, 1, match.constData(), int(match.size()), SQLITE_TRANSIENT);
            if (sqlite3_step(count) == SQLITE_ROW)
                state.counters["matches"] = double(sqlite3_column_int(count, 0));
            sqlite3_reset(count);
        }
    }
    sqlite3_finalize(count);
    sqlite3_close(db);
}
BENCHMARK(BM_TwoWordPrefixQuery_CommonWords_MatchOnly)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
