#pragma once
// The background thread that writes one store's library.json, so that no
// save encodes, locks, reads, merges or fsyncs on the main thread.
//
// The store hands it a snapshot of its lists (implicitly shared copies, so
// taking one costs next to nothing) with the generation it stands for. Jobs
// run one at a time in the order given; a job that has not started yet is
// replaced by a newer one, so the newest snapshot wins and an older one is
// never written after it. Each job ends in a SaveResult that the store takes
// on the main thread (takeResults()), after the writer called `resultReady`
// from its own thread.

#include "LibraryFile.h"
#include "LibraryFileAccess.h"

#include <QList>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace vellora {

struct SaveJob {
    // Set by submit(): numbers the jobs of one writer in order.
    quint64 ticket = 0;
    // The store's folder: results of another folder are dropped by the store.
    quint64 token = 0;
    QString root;
    quint64 generation = 0;
    LibraryFile document;
    // The file as the store last saw it, the library it held then, and the
    // observation number of that sight (LibraryWriter::observe()). A newer
    // sight of the writer's own replaces them.
    FileStamp seen;
    LibraryFile base;
    quint64 seenAt = 0;
    // How many merged saves of this folder the store has taken back. A job
    // made before a merge came back does not hold the other side's changes
    // and is dropped; the store saves again once it applied the merge.
    quint64 mergesApplied = 0;
    // The store's last timed backup; the writer makes one when more than
    // 300 s have passed since then (and since its own last one).
    std::optional<double> lastBackup;
};

enum class SaveOutcome {
    Written,
    Failed,
    // Not written: it was made before a merged save came back (see above).
    Superseded,
};

struct SaveResult {
    quint64 ticket = 0;
    quint64 token = 0;
    quint64 generation = 0;
    SaveOutcome outcome = SaveOutcome::Failed;
    // Failed: why, for the user.
    QString error;
    // Written: the stamp taken under the write lock, and its observation number.
    FileStamp written;
    quint64 writtenAt = 0;
    // The job's snapshot, and what was written instead when the save found
    // the file changed elsewhere and merged.
    LibraryFile snapshot;
    std::optional<LibraryFile> merged;
    // What was written, as lists of its own (see privateCopy()): the
    // store's common ancestor for later merges.
    LibraryFile base;
    // When a "library-" backup of the written file was made.
    std::optional<double> backupAt;
};

// A copy that shares no list with `file`. A copy kept for long beside the
// store's live lists must be one of these: while the two share, the store's
// next edit copies every record on the main thread.
LibraryFile privateCopy(const LibraryFile &file);

class LibraryWriter {
public:
    explicit LibraryWriter(std::function<void()> resultReady);
    // A job that has not started is dropped; one being written is finished.
    ~LibraryWriter();
    LibraryWriter(const LibraryWriter &) = delete;
    LibraryWriter &operator=(const LibraryWriter &) = delete;

    // Queues the job, replacing one that has not started. Returns its ticket.
    quint64 submit(SaveJob job);
    // Blocks until no job waits or runs. For the synchronous save only.
    void waitUntilIdle();
    // No job waiting or running, and no result left to take.
    bool idle() const;
    // The ticket of the job being written now; 0 when none.
    quint64 inFlight() const;
    std::deque<SaveResult> takeResults();
    // The stamp of the last file this writer wrote for `token` (taken under
    // the write lock, so a reader that sees it read this writer's bytes).
    FileStamp lastWritten(quint64 token) const;

    // A process-wide increasing number: taken before a read of library.json
    // and after a write, it tells which of two sights of the file is newer.
    static quint64 observe();

private:
    void run();
    SaveResult write(const SaveJob &job);

    std::function<void()> m_resultReady;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_settled;
    std::optional<SaveJob> m_pending;
    quint64 m_inFlight = 0;
    quint64 m_nextTicket = 0;
    bool m_stop = false;
    std::deque<SaveResult> m_results;
    quint64 m_writtenToken = 0;
    FileStamp m_written;

    // The writer thread's own sight of the folder it last wrote.
    quint64 m_token = 0;
    bool m_hasToken = false;
    FileStamp m_knownStamp;
    LibraryFile m_knownDocument;
    quint64 m_knownAt = 0;
    quint64 m_mergesDone = 0;
    std::optional<double> m_lastBackup;

    std::thread m_thread;
};

} // namespace vellora
