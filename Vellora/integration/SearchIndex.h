#pragma once
// The desktop search index: one SQLite file with a full-text table (FTS5) of
// the library's items, one row per item id. The window writes it; the search
// provider that the desktop's search talks to only reads it.
//
// One SearchIndex is one connection: use it from one thread at a time. For
// its searches it keeps an in-memory copy of the rows' words, made on a
// worker thread with a connection of its own.

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

struct sqlite3;

namespace vellora {

class FullTextTokenizer;
class LiveRanker;

// What the index keeps of one item.
struct SearchDocument {
    QString id;
    QString title;
    QString description;
    // Tags and labels.
    QString keywords;
    // Recognised text, page text, the insight.
    QString content;
    QString domain;
    QString kind;
    // The picture the desktop shows beside a result; may be empty.
    QString thumbnail;

    bool operator==(const SearchDocument &) const = default;
};

struct SearchHit {
    QString id;
    QString title;
    QString description;
    QString thumbnail;
    QString kind;
};

// The outcome of one operation. `damaged` means the file itself cannot be
// used (not a database, corrupt, another program's schema): the owner throws
// it away and builds it again.
struct SearchIndexStatus {
    bool ok = true;
    bool damaged = false;
    QString message;

    static SearchIndexStatus failure(const QString &message, bool damaged = false)
    {
        return {false, damaged, message};
    }
};

class SearchIndex {
public:
    enum class Access { ReadWrite, ReadOnly };

    SearchIndex(const QString &path, Access access);
    ~SearchIndex();
    SearchIndex(const SearchIndex &) = delete;
    SearchIndex &operator=(const SearchIndex &) = delete;

    // Opens the file; a writable index creates it and its tables. A read-only
    // index of a missing file fails without creating anything.
    SearchIndexStatus open();
    void close();
    bool isOpen() const { return m_db != nullptr; }
    QString path() const { return m_path; }
    // True when the file at path() is no longer the one this connection has
    // open (removed or replaced since).
    bool fileReplaced() const;

    // Each write is one transaction: all of it or nothing.
    // Adds the documents, replacing rows with the same id.
    SearchIndexStatus upsert(const QList<SearchDocument> &documents);
    SearchIndexStatus remove(const QStringList &ids);
    // Makes the index hold exactly these documents.
    SearchIndexStatus replaceAll(const QList<SearchDocument> &documents);
    // Makes the index hold exactly the given documents: rows of other ids
    // go, and the documents whose row is missing or holds something else are
    // written. Rows that already hold their document are not rewritten.
    SearchIndexStatus reconcile(const QList<SearchDocument> &documents);

    // Every id in the index; nothing on failure.
    QStringList ids(SearchIndexStatus *status = nullptr);
    // The best `limit` rows whose words start with every term's words, best
    // first (bm25, title and keywords weigh most). Ranked from the in-memory
    // copy once it holds the file as it is now; until then, and for words
    // the copy cannot answer alike, by the full-text table.
    QList<SearchHit> search(const QStringList &terms, int limit, SearchIndexStatus *status = nullptr);
    // Whether the last search() was ranked from the in-memory copy.
    bool searchedInMemory() const { return m_searchedInMemory; }
    // Bytes the in-memory copy takes now; 0 while there is none.
    qsizetype rankingMemory() const;
    // The rows of these ids, in the order asked; unknown ids are left out.
    QList<SearchHit> lookup(const QStringList &ids, SearchIndexStatus *status = nullptr);

    // The FTS5 query for what a user typed: every word becomes a quoted prefix
    // ("word"*), all of them required. Empty when nothing searchable is left.
    static QString matchExpression(const QStringList &terms);

private:
    static QStringList queryWords(const QStringList &terms);
    bool dataVersion(long long *version);
    LiveRanker &ranker();
    QList<SearchHit> searchInMemory(const QStringList &words, int limit, bool *answered);
    SearchIndexStatus status(int code, const char *what) const;
    SearchIndexStatus createSchema();
    SearchIndexStatus exec(const char *sql);
    SearchIndexStatus insertDocuments(const QList<SearchDocument> &documents);
    SearchIndexStatus deleteIds(const QStringList &ids);
    SearchIndexStatus inTransaction(const std::function<SearchIndexStatus()> &work);

    QString m_path;
    Access m_access;
    sqlite3 *m_db = nullptr;
    // Device and inode of the open file.
    quint64 m_device = 0;
    quint64 m_inode = 0;
    // This connection's own committed writes: the file's data version counts
    // only other connections'.
    quint64 m_writes = 0;
    std::unique_ptr<FullTextTokenizer> m_tokenizer;
    std::unique_ptr<LiveRanker> m_ranker;
    bool m_searchedInMemory = false;
};

} // namespace vellora
