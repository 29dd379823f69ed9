#include "SearchRanker.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>

#include <algorithm>
#include <cmath>
#include <queue>
#include <unordered_map>

#include <sqlite3.h>
#include <sys/stat.h>

namespace vellora {

Q_LOGGING_CATEGORY(lcSearchRanker, "com.quendle.vellora.searchindex", QtInfoMsg)

namespace {

// FTS5 keeps at most this many bytes of a token; longer ones are cut there,
// in documents and queries alike.
constexpr int kMaxTokenSize = 32768;

void appendNumber(std::vector<std::uint8_t> &out, std::uint32_t value)
{
    while (value >= 0x80) {
        out.push_back(std::uint8_t(value | 0x80));
        value >>= 7;
    }
    out.push_back(std::uint8_t(value));
}

inline std::uint32_t readNumber(const std::uint8_t *&at)
{
    std::uint32_t byte = *at++;
    if (byte < 0x80)
        return byte;
    std::uint32_t value = byte & 0x7f;
    for (int shift = 7;; shift += 7) {
        byte = *at++;
        value |= (byte & 0x7f) << shift;
        if (byte < 0x80)
            return value;
    }
}

// A token's postings while the rows are read: the row being read holds its
// weight until another row meets the token, then it is written out.
struct BuildTerm {
    std::vector<std::uint8_t> postings;
    std::uint32_t pendingRow = 0;
    std::uint32_t pendingWeight = 0;
    std::uint32_t writtenRow = 0;
    bool pending = false;
};

struct TokenHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view token) const { return std::hash<std::string_view>{}(token); }
};

using BuildTerms = std::unordered_map<std::string, BuildTerm, TokenHash, std::equal_to<>>;

struct Building {
    BuildTerms terms;
    std::uint32_t row = 0;
    std::uint32_t weight = 0;
    // Tokens of the column being read, as FTS5 counts a column's size.
    std::uint32_t columnSize = 0;
    std::size_t postingBytes = 0;
    std::size_t tokenBytes = 0;

    void flush(BuildTerm &term)
    {
        const std::size_t before = term.postings.size();
        appendNumber(term.postings, term.pendingRow - term.writtenRow);
        appendNumber(term.postings, term.pendingWeight);
        postingBytes += term.postings.size() - before;
        term.writtenRow = term.pendingRow;
        term.pending = false;
    }

    void add(std::string_view token)
    {
        auto it = terms.find(token);
        if (it == terms.end()) {
            it = terms.emplace(std::string(token), BuildTerm{}).first;
            tokenBytes += token.size();
        }
        BuildTerm &term = it->second;
        if (term.pending && term.pendingRow == row) {
            term.pendingWeight += weight;
            return;
        }
        if (term.pending)
            flush(term);
        term.pending = true;
        term.pendingRow = row;
        term.pendingWeight = weight;
    }

    // Roughly what the finished copy and this table take.
    std::size_t bytes() const { return postingBytes + tokenBytes + terms.size() * (sizeof(BuildTerm) + 64); }
};

int takeDocumentToken(void *context, int flags, const char *token, int size, int, int)
{
    auto *building = static_cast<Building *>(context);
    if (size > kMaxTokenSize)
        size = kMaxTokenSize;
    // A token at the same place as the one before adds no length.
    if ((flags & FTS5_TOKEN_COLOCATED) == 0 || building->columnSize == 0)
        ++building->columnSize;
    building->add(std::string_view(token, std::size_t(size)));
    return SQLITE_OK;
}

int takeToken(void *context, int, const char *token, int size, int, int)
{
    if (size > kMaxTokenSize)
        size = kMaxTokenSize;
    static_cast<std::vector<std::string> *>(context)->emplace_back(token, std::size_t(size));
    return SQLITE_OK;
}

struct Candidate {
    double score;
    std::int64_t rowid;
    bool operator<(const Candidate &other) const
    {
        return score < other.score || (score == other.score && rowid < other.rowid);
    }
};

} // namespace

FullTextTokenizer::FullTextTokenizer(sqlite3 *db)
{
    fts5_api *api = nullptr;
    sqlite3_stmt *select = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &select, nullptr) == SQLITE_OK) {
        sqlite3_bind_pointer(select, 1, &api, "fts5_api_ptr", nullptr);
        sqlite3_step(select);
    }
    sqlite3_finalize(select);
    if (!api || api->iVersion < 2)
        return;
    auto module = std::make_unique<fts5_tokenizer>();
    void *context = nullptr;
    if (api->xFindTokenizer(api, "unicode61", &context, module.get()) != SQLITE_OK)
        return;
    // The table's own arguments: tokenize='unicode61 remove_diacritics 2'.
    const char *arguments[] = {"remove_diacritics", "2"};
    Fts5Tokenizer *tokenizer = nullptr;
    if (module->xCreate(context, arguments, 2, &tokenizer) != SQLITE_OK || !tokenizer)
        return;
    m_module = std::move(module);
    m_tokenizer = tokenizer;
}

FullTextTokenizer::~FullTextTokenizer()
{
    if (m_tokenizer)
        m_module->xDelete(m_tokenizer);
}

int FullTextTokenizer::tokenize(std::string_view text, int flags, void *context, TokenCallback take) const
{
    if (!m_tokenizer)
        return SQLITE_ERROR;
    return m_module->xTokenize(m_tokenizer, context, flags, text.data(), int(text.size()), take);
}

bool FullTextTokenizer::tokens(std::string_view text, bool query, std::vector<std::string> *out) const
{
    out->clear();
    const int flags = query ? (FTS5_TOKENIZE_QUERY | FTS5_TOKENIZE_PREFIX) : FTS5_TOKENIZE_DOCUMENT;
    if (tokenize(text, flags, out, takeToken) == SQLITE_OK)
        return true;
    out->clear();
    return false;
}

std::size_t RankScratch::bytes() const
{
    std::size_t total = 0;
    for (const auto &array : frequency)
        total += array.capacity() * sizeof(std::uint32_t);
    for (const auto &array : touched)
        total += array.capacity() * sizeof(std::uint32_t);
    return total;
}

std::size_t SearchRanker::bytes() const
{
    return m_rowids.capacity() * sizeof(std::int64_t) + m_lengths.capacity() * sizeof(std::uint32_t)
           + m_terms.capacity() * sizeof(Term) + m_tokens.capacity() + m_postings.capacity();
}

std::vector<std::int64_t> SearchRanker::rank(const std::vector<std::string> &prefixes, int limit,
                                             RankScratch &scratch) const
{
    const std::size_t rows = m_rowids.size();
    const std::size_t phrases = prefixes.size();
    if (rows == 0 || phrases == 0 || limit <= 0)
        return {};
    if (scratch.frequency.size() < phrases) {
        scratch.frequency.resize(phrases);
        scratch.touched.resize(phrases);
    }
    for (std::size_t i = 0; i < phrases; ++i)
        if (scratch.frequency[i].size() != rows)
            scratch.frequency[i].assign(rows, 0);

    // Per phrase: every row with a token of that prefix, and the weighted
    // count of those tokens in it.
    for (std::size_t i = 0; i < phrases; ++i) {
        std::uint32_t *frequency = scratch.frequency[i].data();
        std::vector<std::uint32_t> &touched = scratch.touched[i];
        const std::string_view prefix = prefixes[i];
        auto term = std::lower_bound(m_terms.begin(), m_terms.end(), prefix,
                                     [this](const Term &t, std::string_view p) { return token(t) < p; });
        for (; term != m_terms.end() && token(*term).substr(0, prefix.size()) == prefix; ++term) {
            const std::uint8_t *at = m_postings.data() + term->postingOffset;
            const std::uint8_t *end = at + term->postingSize;
            std::uint32_t row = 0;
            while (at < end) {
                row += readNumber(at);
                const std::uint32_t weight = readNumber(at);
                if (frequency[row] == 0)
                    touched.push_back(row);
                frequency[row] += weight;
            }
        }
    }

    std::size_t fewest = 0;
    for (std::size_t i = 1; i < phrases; ++i)
        if (scratch.touched[i].size() < scratch.touched[fewest].size())
            fewest = i;

    // The score exactly as FTS5's bm25() computes it, operation for
    // operation, so that equal rows tie and the order is the same.
    const double k1 = 1.2;
    const double b = 0.75;
    const std::int64_t nRow = std::int64_t(rows);
    const double avgdl = double(m_totalTokens) / double(nRow);
    std::vector<double> idf(phrases);
    for (std::size_t i = 0; i < phrases; ++i) {
        const std::int64_t nHit = std::int64_t(scratch.touched[i].size());
        double value = std::log((nRow - nHit + 0.5) / (nHit + 0.5));
        if (value <= 0.0)
            value = 1e-6;
        idf[i] = value;
    }

    const std::size_t keep = std::size_t(limit);
    std::priority_queue<Candidate> best;
    if (!scratch.touched[fewest].empty()) {
        for (const std::uint32_t row : scratch.touched[fewest]) {
            bool everyPhrase = true;
            for (std::size_t i = 0; i < phrases && everyPhrase; ++i)
                everyPhrase = scratch.frequency[i][row] != 0;
            if (!everyPhrase)
                continue;
            const double D = double(m_lengths[row]);
            double score = 0.0;
            for (std::size_t i = 0; i < phrases; ++i) {
                const double f = double(scratch.frequency[i][row]);
                score += idf[i] * ((f * (k1 + 1.0)) / (f + k1 * (1 - b + b * D / avgdl)));
            }
            const Candidate candidate{-1.0 * score, m_rowids[row]};
            if (best.size() < keep) {
                best.push(candidate);
            } else if (candidate < best.top()) {
                best.pop();
                best.push(candidate);
            }
        }
    }

    for (std::size_t i = 0; i < phrases; ++i) {
        for (const std::uint32_t row : scratch.touched[i])
            scratch.frequency[i][row] = 0;
        scratch.touched[i].clear();
    }

    std::vector<std::int64_t> ranked(best.size());
    for (std::size_t i = ranked.size(); i-- > 0; best.pop())
        ranked[i] = best.top().rowid;
    return ranked;
}

std::unique_ptr<SearchRanker> SearchRanker::build(sqlite3 *db, std::size_t maxBytes, const std::atomic<bool> &cancel,
                                                  QString *error, bool *tooLarge)
{
    *tooLarge = false;
    const FullTextTokenizer tokenizer(db);
    if (!tokenizer.isValid()) {
        *error = QStringLiteral("no full-text tokenizer");
        return nullptr;
    }
    sqlite3_stmt *select = nullptr;
    int code = sqlite3_prepare_v2(
        db, "SELECT rowid, title, description, keywords, content, domain FROM item ORDER BY rowid", -1, &select,
        nullptr);
    if (code != SQLITE_OK) {
        *error = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_finalize(select);
        return nullptr;
    }
    auto ranker = std::make_unique<SearchRanker>();
    Building building;
    while ((code = sqlite3_step(select)) == SQLITE_ROW) {
        if (cancel.load(std::memory_order_relaxed)) {
            code = SQLITE_INTERRUPT;
            break;
        }
        building.row = std::uint32_t(ranker->m_rowids.size());
        std::uint32_t length = 0;
        for (int column = 0; column < int(kSearchColumnWeights.size()) && code == SQLITE_ROW; ++column) {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(select, column + 1));
            const int size = sqlite3_column_bytes(select, column + 1);
            building.weight = std::uint32_t(kSearchColumnWeights[std::size_t(column)]);
            building.columnSize = 0;
            if (text && size > 0
                && tokenizer.tokenize(std::string_view(text, std::size_t(size)), FTS5_TOKENIZE_DOCUMENT, &building,
                                      takeDocumentToken)
                       != SQLITE_OK)
                code = SQLITE_ERROR;
            length += building.columnSize;
        }
        if (code != SQLITE_ROW)
            break;
        ranker->m_rowids.push_back(sqlite3_column_int64(select, 0));
        ranker->m_lengths.push_back(length);
        ranker->m_totalTokens += length;
        if (building.bytes() + ranker->m_rowids.size() * 12 > maxBytes) {
            *tooLarge = true;
            code = SQLITE_FULL;
            break;
        }
    }
    if (code != SQLITE_DONE) {
        *error = *tooLarge ? QStringLiteral("larger than %1 MB").arg(maxBytes >> 20)
                           : QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_finalize(select);
        return nullptr;
    }
    sqlite3_finalize(select);

    // Sorted by their bytes: a prefix is then one run of terms.
    std::vector<BuildTerms::iterator> order;
    order.reserve(building.terms.size());
    for (auto it = building.terms.begin(); it != building.terms.end(); ++it)
        order.push_back(it);
    std::sort(order.begin(), order.end(), [](const auto &a, const auto &b) { return a->first < b->first; });
    ranker->m_tokens.reserve(building.tokenBytes);
    ranker->m_terms.reserve(order.size());
    for (auto &it : order) {
        if (it->second.pending)
            building.flush(it->second);
    }
    ranker->m_postings.reserve(building.postingBytes);
    for (auto &it : order) {
        BuildTerm &term = it->second;
        ranker->m_terms.push_back({std::uint32_t(ranker->m_tokens.size()), std::uint32_t(it->first.size()),
                                   std::uint32_t(ranker->m_postings.size()), std::uint32_t(term.postings.size())});
        ranker->m_tokens += it->first;
        ranker->m_postings.insert(ranker->m_postings.end(), term.postings.begin(), term.postings.end());
        std::vector<std::uint8_t>().swap(term.postings);
    }
    return ranker;
}

LiveRanker::LiveRanker(const QString &path, std::uint64_t device, std::uint64_t inode)
    : m_path(path), m_device(device), m_inode(inode)
{
}

LiveRanker::~LiveRanker()
{
    m_cancel = true;
    {
        const std::lock_guard lock(m_mutex);
        if (m_workerDb)
            sqlite3_interrupt(m_workerDb);
    }
    if (m_thread.joinable())
        m_thread.join();
}

std::size_t LiveRanker::bytes() const
{
    const std::lock_guard lock(m_mutex);
    return m_ready ? m_ready->bytes() + m_scratch.bytes() : 0;
}

std::shared_ptr<const SearchRanker> LiveRanker::current(const Version &version)
{
    const std::lock_guard lock(m_mutex);
    if (m_ready && m_readyVersion == version)
        return m_ready;
    // A copy of another state is never used again: let it go at once.
    m_ready.reset();
    if (m_building || m_tooLarge || version == m_failedVersion)
        return nullptr;
    // The last build has ended (it cleared m_building): only its thread is left.
    if (m_thread.joinable())
        m_thread.join();
    m_building = true;
    m_thread = std::thread([this, version] { build(version); });
    return nullptr;
}

void LiveRanker::build(Version version)
{
    QElapsedTimer timer;
    timer.start();
    const QByteArray file = QFile::encodeName(m_path);
    std::shared_ptr<const SearchRanker> made;
    QString error;
    bool tooLarge = false;
    sqlite3 *db = nullptr;
    // Opened as the reader opens it (see SearchIndex::open), and only when it
    // is still the file the caller has open: a file put in its place since is
    // another index.
    const int code = sqlite3_open_v2(file.constData(), &db,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    struct stat info {};
    if (code != SQLITE_OK) {
        error = QString::fromUtf8(sqlite3_errstr(code));
    } else if (::stat(file.constData(), &info) != 0 || std::uint64_t(info.st_dev) != m_device
               || std::uint64_t(info.st_ino) != m_inode) {
        error = QStringLiteral("the file was replaced");
    } else {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_exec(db, "PRAGMA query_only = 1", nullptr, nullptr, nullptr);
        {
            const std::lock_guard lock(m_mutex);
            m_workerDb = db;
        }
        if (!m_cancel)
            made = SearchRanker::build(db, kMaxBytes, m_cancel, &error, &tooLarge);
        const std::lock_guard lock(m_mutex);
        m_workerDb = nullptr;
    }
    sqlite3_close_v2(db);

    if (made)
        qCDebug(lcSearchRanker) << "ranking copy of" << made->rows() << "rows," << (made->bytes() >> 10) << "KB, in"
                                << timer.elapsed() << "ms";
    else if (!m_cancel)
        qCInfo(lcSearchRanker) << "search index: ranking stays with the full-text table:" << error;
    const std::lock_guard lock(m_mutex);
    m_building = false;
    if (made) {
        m_ready = std::move(made);
        m_readyVersion = version;
    } else {
        m_failedVersion = version;
        m_tooLarge = m_tooLarge || tooLarge;
    }
}

} // namespace vellora
