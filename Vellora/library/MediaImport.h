#pragma once
// The parallel part of a file import: many picture files become items on
// worker threads, without duplicates, and reach the caller in batches. The
// store's addFiles (LibraryStoreMedia.h) wraps it with the main-thread rules.

#include "library/Records.h"
#include "platform/IntakeFile.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

namespace vellora {

// How many files are made into items at once: one worker per core, at least four.
int importWorkerCount();

struct ParallelImportResult {
    int added = 0;
    // Files that gave no item because their content was already in the
    // library or earlier in the same call.
    int duplicates = 0;
    // The content hashes of those files, one per file, in no set order.
    QStringList duplicateHashes;
    // Files that gave no item for another reason: unreadable, not a picture,
    // damaged, or a file that could not be written.
    int skipped = 0;
    // The first failure to write into the library's own folders (full disk,
    // no permission), empty when there was none: the library itself could
    // not take the files, which is not the same as a file that was no picture.
    QString writeError;
};

// Makes one item per file of `files` (in the library at `root`, into the
// collection `collectionId`), on importWorkerCount() threads. A content hash
// is admitted when it is not in `knownHashes` and no earlier file of the call
// had it; a hash whose files could not be written is withdrawn again.
//
// Finished items are handed to `deliver`: with `batchSize` above 0, each time
// that many are done (called on the worker thread that completed the batch,
// outside the lock), and the rest (possibly none) once all workers are done,
// on the calling thread; with `batchSize` 0 only that last call. The items of
// a call come in the order the workers finish them.
ParallelImportResult importInParallel(const QString &root, const QStringList &files, const QString &collectionId,
                                      QSet<QString> knownHashes, int batchSize,
                                      const std::function<void(QList<Item>)> &deliver,
                                      LinkPolicy links = LinkPolicy::Follow);

} // namespace vellora
