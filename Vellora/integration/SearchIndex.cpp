#include "SearchIndex.h"

#include "SearchRanker.h"

#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>

#include <sqlite3.h>
#include <sys/stat.h>

namespace vellora {

namespace {

// Bumped when the tables change; a file of another version is rebuilt.
constexpr int kSchemaVersion = 1;

// bm25 with the weights per indexed column that the in-memory ranking uses too.
QByteArray rankFunction()
{
    QByteArray call = "bm25(";
    for (std::size_t i = 0; i < kSearchColumnWeights.size(); ++i)
        call += (i ? ", " : "") + QByteArray::number(kSearchColumnWeights[i]) + ".0";
    return call + ")";
}

// Short words a user types match through the prefix index, not a scan. The
// in-memory ranking tokenizes with the same arguments (SearchRanker.cpp).
constexpr char kSchema[] = R"sql(
CREATE TABLE item (
    rowid INTEGER PRIMARY KEY,
    id TEXT NOT NULL UNIQUE,
    title TEXT NOT NULL,
    description TEXT NOT NULL,
    keywords TEXT NOT NULL,
    content TEXT NOT NULL,
    domain TEXT NOT NULL,
    kind TEXT NOT NULL,
    thumbnail TEXT NOT NULL
);
CREATE VIRTUAL TABLE item_fts USING fts5(
    title, description, keywords, content, domain,
    content='item', content_rowid='rowid',
    tokenize='unicode61 remove_diacritics 2', prefix='2 3'
);
CREATE TRIGGER item_ai AFTER INSERT ON item BEGIN
    INSERT INTO item_fts(rowid, title, description, keywords, content, domain)
    VALUES (new.rowid, new.title, new.description, new.keywords, new.content, new.domain);
END;
CREATE TRIGGER item_au AFTER UPDATE ON item BEGIN
    INSERT INTO item_fts(item_fts, rowid, title, description, keywords, content, domain)
    VALUES ('delete', old.rowid, old.title, old.description, old.keywords, old.content, old.domain);
    INSERT INTO item_fts(rowid, title, description, keywords, content, domain)
    VALUES (new.rowid, new.title, new.description, new.keywords, new.content, new.domain);
END;
)sql";

// Kept apart: emptying the whole index goes without it.
constexpr char kDeleteTrigger[] = R"sql(
CREATE TRIGGER item_ad AFTER DELETE ON item BEGIN
    INSERT INTO item_fts(item_fts, rowid, title, description, keywords, content, domain)
    VALUES ('delete', old.rowid, old.title, old.description, old.keywords, old.content, old.domain);
END;
)sql";

// More words than anyone types into a search field; the rest are ignored.
constexpr int kMaxTerms = 16;

bool isDamage(int code)
{
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_FORMAT;
}

class Statement {
public:
    Statement(sqlite3 *db, const char *sql) { m_code = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    int prepared() const { return m_code; }
    sqlite3_stmt *get() const { return m_stmt; }

    void bind(int index, const QString &text)
    {
        const QByteArray utf8 = text.toUtf8();
        sqlite3_bind_text(m_stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, int value) { sqlite3_bind_int(m_stmt, index, value); }
    int step() { return sqlite3_step(m_stmt); }
    // Ready for the next row of binds.
    void reset()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    QString text(int column) const
    {
        const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
        return QString::fromUtf8(bytes, sqlite3_column_bytes(m_stmt, column));
    }

private:
    sqlite3_stmt *m_stmt = nullptr;
    int m_code = SQLITE_OK;
};

SearchHit hitFrom(const Statement &row)
{
    return {row.text(0), row.text(1), row.text(2), row.text(3), row.text(4)};
}

SearchIndexStatus statusOf(sqlite3 *db, int code, const char *what)
{
    if (code == SQLITE_OK || code == SQLITE_DONE || code == SQLITE_ROW)
        return {};
    QString detail = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(code));
    return SearchIndexStatus::failure(QStringLiteral("%1: %2").arg(QLatin1String(what), detail), isDamage(code));
}

// A read of the open index: `sql` is prepared and handed to `run`, which
// steps it and returns the code it stopped on (SQLITE_DONE when all went
// well). The status is taken while the statement still holds its error.
template <typename Run>
SearchIndexStatus readIndex(sqlite3 *db, const char *sql, const char *what, Run run)
{
    if (!db)
        return SearchIndexStatus::failure(QStringLiteral("index not open"));
    Statement select(db, sql);
    if (select.prepared() != SQLITE_OK)
        return statusOf(db, select.prepared(), what);
    return statusOf(db, run(select), what);
}

// Steps `select` past its last row, handing each row to `take`; the code it
// stopped on.
template <typename Take>
int eachRow(Statement &select, Take take)
{
    int code;
    while ((code = select.step()) == SQLITE_ROW)
        take(select);
    return code;
}

} // namespace

SearchIndex::SearchIndex(const QString &path, Access access) : m_path(path), m_access(access) {}

SearchIndex::~SearchIndex()
{
    close();
}

SearchIndexStatus SearchIndex::status(int code, const char *what) const
{
    return statusOf(m_db, code, what);
}

SearchIndexStatus SearchIndex::exec(const char *sql)
{
    char *error = nullptr;
    const int code = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
    sqlite3_free(error);
    return status(code, "index");
}

SearchIndexStatus SearchIndex::open()
{
    close();
    const QByteArray file = QFile::encodeName(m_path);
    const bool writable = m_access == Access::ReadWrite;
    // A reader opens the file writable too, without creating it: in WAL mode
    // it shares the writer's memory file; "query_only" keeps it a reader.
    const int flags = SQLITE_OPEN_READWRITE | (writable ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX
                      | SQLITE_OPEN_NOFOLLOW;
    int code = sqlite3_open_v2(file.constData(), &m_db, flags, nullptr);
    if (code != SQLITE_OK) {
        SearchIndexStatus failed = status(code, "open");
        close();
        return failed;
    }
    struct stat info {};
    if (::stat(file.constData(), &info) == 0) {
        m_device = quint64(info.st_dev);
        m_inode = quint64(info.st_ino);
    }
    // The writer and the search provider meet in the same file: readers go
    // on while a write runs, and either waits briefly for the other's lock.
    sqlite3_busy_timeout(m_db, 2000);
    if (!writable)
        exec("PRAGMA query_only = 1");

    // Each question in its own statement that ends at once: a statement
    // left open would hold a read transaction over what follows.
    const auto integer = [this](const char *sql, int *value) -> int {
        Statement question(m_db, sql);
        if (question.prepared() != SQLITE_OK)
            return question.prepared();
        const int code = question.step();
        if (code != SQLITE_ROW)
            return code == SQLITE_DONE ? SQLITE_CORRUPT : code;
        *value = sqlite3_column_int(question.get(), 0);
        return SQLITE_OK;
    };
    int found = 0;
    code = integer("PRAGMA user_version", &found);
    if (code != SQLITE_OK) {
        SearchIndexStatus failed = status(code, "open");
        close();
        return failed;
    }
    if (found == kSchemaVersion && !writable) {
        // The search provider answers from the first question on: its
        // in-memory copy is made meanwhile.
        long long version = 0;
        if (dataVersion(&version))
            ranker().current({version, m_writes});
        return {};
    }
    if (found == kSchemaVersion)
        return exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL");
    if (!writable) {
        close();
        return SearchIndexStatus::failure(QStringLiteral("open: no search index here"));
    }
    int tables = 0;
    code = integer("SELECT count(*) FROM sqlite_master", &tables);
    if (code != SQLITE_OK) {
        SearchIndexStatus failed = status(code, "open");
        close();
        return failed;
    }
    if (found != 0 || tables != 0) {
        // Another version or another program's database: never ours to patch.
        close();
        return SearchIndexStatus::failure(QStringLiteral("open: unexpected tables in %1").arg(m_path), true);
    }
    SearchIndexStatus made = createSchema();
    if (!made.ok)
        close();
    return made;
}

SearchIndexStatus SearchIndex::createSchema()
{
    SearchIndexStatus wal = exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL");
    if (!wal.ok)
        return wal;
    return inTransaction([this] {
        SearchIndexStatus made = exec(kSchema);
        if (made.ok)
            made = exec(kDeleteTrigger);
        if (!made.ok)
            return made;
        return exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    });
}

void SearchIndex::close()
{
    // Its worker reads the file through a connection of its own.
    m_ranker.reset();
    m_tokenizer.reset();
    m_searchedInMemory = false;
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_device = m_inode = 0;
}

bool SearchIndex::fileReplaced() const
{
    if (!m_db)
        return false;
    struct stat info {};
    if (::stat(QFile::encodeName(m_path).constData(), &info) != 0)
        return true;
    return quint64(info.st_dev) != m_device || quint64(info.st_ino) != m_inode;
}

SearchIndexStatus SearchIndex::inTransaction(const std::function<SearchIndexStatus()> &work)
{
    if (!m_db)
        return SearchIndexStatus::failure(QStringLiteral("index not open"));
    SearchIndexStatus begun = exec("BEGIN IMMEDIATE");
    if (!begun.ok)
        return begun;
    SearchIndexStatus done = work();
    if (!done.ok) {
        exec("ROLLBACK");
        return done;
    }
    SearchIndexStatus committed = exec("COMMIT");
    if (!committed.ok)
        exec("ROLLBACK");
    else
        ++m_writes;
    return committed;
}

SearchIndexStatus SearchIndex::insertDocuments(const QList<SearchDocument> &documents)
{
    Statement insert(m_db, R"sql(
        INSERT INTO item (id, title, description, keywords, content, domain, kind, thumbnail)
        VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)
        ON CONFLICT(id) DO UPDATE SET
            title = excluded.title, description = excluded.description,
            keywords = excluded.keywords, content = excluded.content,
            domain = excluded.domain, kind = excluded.kind, thumbnail = excluded.thumbnail
    )sql");
    if (insert.prepared() != SQLITE_OK)
        return status(insert.prepared(), "index");
    for (const SearchDocument &d : documents) {
        insert.bind(1, d.id);
        insert.bind(2, d.title);
        insert.bind(3, d.description);
        insert.bind(4, d.keywords);
        insert.bind(5, d.content);
        insert.bind(6, d.domain);
        insert.bind(7, d.kind);
        insert.bind(8, d.thumbnail);
        const int code = insert.step();
        if (code != SQLITE_DONE)
            return status(code, "index");
        insert.reset();
    }
    return {};
}

SearchIndexStatus SearchIndex::deleteIds(const QStringList &ids)
{
    Statement remove(m_db, "DELETE FROM item WHERE id = ?1");
    if (remove.prepared() != SQLITE_OK)
        return status(remove.prepared(), "remove");
    for (const QString &id : ids) {
        remove.bind(1, id);
        const int code = remove.step();
        if (code != SQLITE_DONE)
            return status(code, "remove");
        remove.reset();
    }
    return {};
}

SearchIndexStatus SearchIndex::upsert(const QList<SearchDocument> &documents)
{
    return inTransaction([&] { return insertDocuments(documents); });
}

SearchIndexStatus SearchIndex::remove(const QStringList &ids)
{
    return inTransaction([&] { return deleteIds(ids); });
}

SearchIndexStatus SearchIndex::replaceAll(const QList<SearchDocument> &documents)
{
    return inTransaction([&] {
        // The external-content table is emptied with its own command; the
        // delete triggers would only replay every row into it.
        SearchIndexStatus cleared = exec("DROP TRIGGER item_ad; DELETE FROM item;"
                                         "INSERT INTO item_fts(item_fts) VALUES ('delete-all');");
        if (!cleared.ok)
            return cleared;
        SearchIndexStatus restored = exec(kDeleteTrigger);
        if (!restored.ok)
            return restored;
        return insertDocuments(documents);
    });
}

SearchIndexStatus SearchIndex::reconcile(const QList<SearchDocument> &documents)
{
    return inTransaction([&] {
        // What each row holds now, to rewrite only the rows that differ.
        QHash<QString, SearchDocument> present;
        const SearchIndexStatus read = readIndex(
            m_db, "SELECT id, title, description, keywords, content, domain, kind, thumbnail FROM item", "read",
            [&](Statement &select) {
                return eachRow(select, [&](const Statement &row) {
                    SearchDocument d{row.text(0), row.text(1), row.text(2), row.text(3),
                                     row.text(4), row.text(5), row.text(6), row.text(7)};
                    present.insert(d.id, std::move(d));
                });
            });
        if (!read.ok)
            return read;
        QSet<QString> wanted;
        for (const SearchDocument &d : documents)
            wanted.insert(d.id);
        QStringList gone;
        for (auto it = present.cbegin(); it != present.cend(); ++it)
            if (!wanted.contains(it.key()))
                gone.append(it.key());
        QList<SearchDocument> differing;
        for (const SearchDocument &d : documents)
            if (const auto it = present.constFind(d.id); it == present.constEnd() || *it != d)
                differing.append(d);
        SearchIndexStatus removed = deleteIds(gone);
        if (!removed.ok)
            return removed;
        return insertDocuments(differing);
    });
}

QStringList SearchIndex::ids(SearchIndexStatus *result)
{
    QStringList found;
    const SearchIndexStatus read = readIndex(m_db, "SELECT id FROM item", "read", [&](Statement &select) {
        return eachRow(select, [&](const Statement &row) { found.append(row.text(0)); });
    });
    if (result)
        *result = read;
    return read.ok ? found : QStringList();
}

QStringList SearchIndex::queryWords(const QStringList &terms)
{
    // Only letters and digits reach the query: quotes, operators and column
    // filters typed by the user are word breaks, never FTS5 syntax.
    QStringList words;
    for (const QString &term : terms) {
        QString word;
        const auto flush = [&] {
            if (!word.isEmpty() && words.size() < kMaxTerms)
                words.append(word);
            word.clear();
        };
        for (const QChar c : term) {
            if (c.isLetterOrNumber() || c.isMark())
                word.append(c);
            else
                flush();
        }
        flush();
    }
    return words;
}

QString SearchIndex::matchExpression(const QStringList &terms)
{
    QStringList phrases = queryWords(terms);
    for (QString &word : phrases)
        word = QStringLiteral("\"%1\"*").arg(word);
    return phrases.join(QLatin1Char(' '));
}

bool SearchIndex::dataVersion(long long *version)
{
    Statement pragma(m_db, "PRAGMA data_version");
    if (pragma.prepared() != SQLITE_OK || pragma.step() != SQLITE_ROW)
        return false;
    *version = sqlite3_column_int64(pragma.get(), 0);
    return true;
}

LiveRanker &SearchIndex::ranker()
{
    if (!m_ranker)
        m_ranker = std::make_unique<LiveRanker>(m_path, m_device, m_inode);
    return *m_ranker;
}

qsizetype SearchIndex::rankingMemory() const
{
    return m_ranker ? qsizetype(m_ranker->bytes()) : 0;
}

QList<SearchHit> SearchIndex::searchInMemory(const QStringList &words, int limit, bool *answered)
{
    *answered = false;
    long long version = 0;
    if (!dataVersion(&version))
        return {};
    const std::shared_ptr<const SearchRanker> copy = ranker().current({version, m_writes});
    if (!copy)
        return {};
    if (!m_tokenizer)
        m_tokenizer = std::make_unique<FullTextTokenizer>(m_db);
    // A word FTS5 reads as no token or as several (a phrase) is left to it.
    std::vector<std::string> prefixes;
    std::vector<std::string> tokens;
    for (const QString &word : words) {
        const QByteArray utf8 = word.toUtf8();
        if (!m_tokenizer->tokens(std::string_view(utf8.constData(), std::size_t(utf8.size())), true, &tokens)
            || tokens.size() != 1)
            return {};
        prefixes.push_back(std::move(tokens.front()));
    }
    const std::vector<std::int64_t> rowids = copy->rank(prefixes, limit, ranker().scratch());
    Statement select(m_db, "SELECT id, title, description, thumbnail, kind FROM item WHERE rowid = ?1");
    if (select.prepared() != SQLITE_OK)
        return {};
    QList<SearchHit> hits;
    hits.reserve(qsizetype(rowids.size()));
    for (const std::int64_t rowid : rowids) {
        sqlite3_bind_int64(select.get(), 1, rowid);
        if (select.step() != SQLITE_ROW)
            return {};
        hits.append(hitFrom(select));
        select.reset();
    }
    *answered = true;
    return hits;
}

QList<SearchHit> SearchIndex::search(const QStringList &terms, int limit, SearchIndexStatus *result)
{
    if (result)
        *result = {};
    m_searchedInMemory = false;
    const QStringList words = queryWords(terms);
    if (words.isEmpty() || limit <= 0)
        return {};
    if (!m_db) {
        if (result)
            *result = SearchIndexStatus::failure(QStringLiteral("index not open"));
        return {};
    }
    // One read transaction: the rows come from the very state the in-memory
    // copy was checked against.
    const bool reading = exec("BEGIN").ok;
    QList<SearchHit> hits;
    if (reading)
        hits = searchInMemory(words, limit, &m_searchedInMemory);
    if (!m_searchedInMemory) {
        // Every match is ranked: FTS5's own rank, set to the weighted bm25
        // for this query, sorts inside the full-text table, and only the
        // best rows are read from the item table.
        static const QByteArray sql
            = QByteArrayLiteral("SELECT item.id, item.title, item.description, item.thumbnail, item.kind "
                                "FROM (SELECT rowid, rank FROM item_fts WHERE item_fts MATCH ?1 "
                                "AND rank MATCH '")
              + rankFunction()
              + QByteArrayLiteral("' ORDER BY rank LIMIT ?2) AS hit JOIN item ON item.rowid = hit.rowid "
                                  "ORDER BY hit.rank");
        hits.clear();
        const SearchIndexStatus read = readIndex(m_db, sql.constData(), "search", [&](Statement &select) {
            select.bind(1, matchExpression(terms));
            select.bind(2, limit);
            return eachRow(select, [&](const Statement &row) { hits.append(hitFrom(row)); });
        });
        if (result)
            *result = read;
        if (!read.ok)
            hits.clear();
    }
    if (reading && !exec("COMMIT").ok)
        exec("ROLLBACK");
    return hits;
}

QList<SearchHit> SearchIndex::lookup(const QStringList &ids, SearchIndexStatus *result)
{
    QList<SearchHit> hits;
    const char *sql = "SELECT id, title, description, thumbnail, kind FROM item WHERE id = ?1";
    const SearchIndexStatus read = readIndex(m_db, sql, "read", [&](Statement &select) {
        for (const QString &id : ids) {
            select.bind(1, id);
            const int code = select.step();
            if (code == SQLITE_ROW)
                hits.append(hitFrom(select));
            else if (code != SQLITE_DONE)
                return code;
            select.reset();
        }
        return int(SQLITE_DONE);
    });
    if (result)
        *result = read;
    return read.ok ? hits : QList<SearchHit>();
}

} // namespace vellora
