#pragma once
// Ranking every match of a desktop search in memory, the way the index's
// full-text table ranks them (FTS5's weighted bm25), in a fraction of the
// time: FTS5 reads each matched row's sizes and positions one by one, which
// for a word in half the library is tens of milliseconds.
//
// The copy holds, per token, the rows that contain it with the weighted count
// of its occurrences, and per row its number of tokens. Tokens come from
// FTS5's own tokenizer with the table's arguments, so that both sides agree
// on every word.

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct sqlite3;
struct fts5_tokenizer;
struct Fts5Tokenizer;

namespace vellora {

// The indexed columns in the table's order, and what an occurrence in each
// weighs in the ranking (title, description, keywords, content, domain).
inline constexpr std::array<int, 5> kSearchColumnWeights{10, 4, 6, 1, 3};

// FTS5's unicode61 tokenizer with the arguments of the index's table, taken
// from a connection's FTS5 module. Use it on one thread at a time.
class FullTextTokenizer {
public:
    explicit FullTextTokenizer(sqlite3 *db);
    ~FullTextTokenizer();
    FullTextTokenizer(const FullTextTokenizer &) = delete;
    FullTextTokenizer &operator=(const FullTextTokenizer &) = delete;

    bool isValid() const { return m_tokenizer != nullptr; }
    // The tokens of `text` as FTS5 sees them in a document (`query` false) or
    // in a prefix query; an empty list and false on failure.
    bool tokens(std::string_view text, bool query, std::vector<std::string> *out) const;

    using TokenCallback = int (*)(void *context, int flags, const char *token, int size, int start, int end);
    // Raw access for the builder: FTS5's callback convention.
    int tokenize(std::string_view text, int flags, void *context, TokenCallback take) const;

private:
    std::unique_ptr<fts5_tokenizer> m_module;
    Fts5Tokenizer *m_tokenizer = nullptr;
};

// Scratch space of one caller, kept between queries so that a query does not
// allocate one array per row.
struct RankScratch {
    std::vector<std::vector<std::uint32_t>> frequency;
    std::vector<std::vector<std::uint32_t>> touched;
    std::size_t bytes() const;
};

// The immutable in-memory copy of one state of the index.
class SearchRanker {
public:
    // The copy of the item table's rows, read on `db`. Gives up (null) once
    // it would take more than `maxBytes` (and sets `tooLarge`), or when
    // `cancel` is set; `error` says why.
    static std::unique_ptr<SearchRanker> build(sqlite3 *db, std::size_t maxBytes, const std::atomic<bool> &cancel,
                                               QString *error, bool *tooLarge);

    // Rowids of the best `limit` rows that hold, for every prefix, a token
    // starting with it; best first, rows that score alike by rowid, as
    // `ORDER BY bm25(...)` over the table returns them.
    std::vector<std::int64_t> rank(const std::vector<std::string> &prefixes, int limit, RankScratch &scratch) const;

    std::size_t rows() const { return m_rowids.size(); }
    std::size_t bytes() const;

private:
    struct Term {
        std::uint32_t tokenOffset;
        std::uint32_t tokenSize;
        std::uint32_t postingOffset;
        std::uint32_t postingSize;
    };
    std::string_view token(const Term &term) const { return {m_tokens.data() + term.tokenOffset, term.tokenSize}; }

    std::vector<std::int64_t> m_rowids;
    // Tokens per row, every column together.
    std::vector<std::uint32_t> m_lengths;
    std::int64_t m_totalTokens = 0;
    // Sorted by their bytes, as FTS5 compares prefixes.
    std::vector<Term> m_terms;
    std::string m_tokens;
    // Per term: (row gap, weighted count) pairs, each a little-endian base-128 number.
    std::vector<std::uint8_t> m_postings;
};

// The copy that follows the index file: built on a worker thread with its own
// connection, replaced when the file's contents change, never used for a
// state of the file it was not made from.
class LiveRanker {
public:
    // A state of the file, as one connection sees it: the file's data version
    // and the number of its own writes.
    struct Version {
        std::int64_t data = -1;
        std::uint64_t writes = 0;
        bool operator==(const Version &) const = default;
    };

    LiveRanker(const QString &path, std::uint64_t device, std::uint64_t inode);
    ~LiveRanker();
    LiveRanker(const LiveRanker &) = delete;
    LiveRanker &operator=(const LiveRanker &) = delete;

    // The copy made of the file at `version`, or null when there is none yet:
    // then one is built in the background and the caller asks FTS5 meanwhile.
    std::shared_ptr<const SearchRanker> current(const Version &version);
    RankScratch &scratch() { return m_scratch; }
    // What the ready copy and the scratch space take; 0 without a copy.
    std::size_t bytes() const;

    // More than any library needs; a larger one stays with FTS5.
    static constexpr std::size_t kMaxBytes = std::size_t(512) << 20;

private:
    void build(Version version);

    const QString m_path;
    const std::uint64_t m_device;
    const std::uint64_t m_inode;
    RankScratch m_scratch;

    mutable std::mutex m_mutex;
    std::shared_ptr<const SearchRanker> m_ready;
    Version m_readyVersion;
    bool m_building = false;
    // The state whose build failed: not tried again until the file changes.
    Version m_failedVersion;
    bool m_tooLarge = false;
    sqlite3 *m_workerDb = nullptr;
    std::atomic<bool> m_cancel{false};
    std::thread m_thread;
};

} // namespace vellora
