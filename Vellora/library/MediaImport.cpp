#include "library/MediaImport.h"

#include "library/Media.h"
#include "platform/FileCopy.h"

#include <QCoreApplication>
#include <QThread>

#include <mutex>
#include <thread>
#include <vector>

namespace vellora {

int importWorkerCount()
{
    return std::max(4, QThread::idealThreadCount());
}

ParallelImportResult importInParallel(const QString &root, const QStringList &files, const QString &collectionId,
                                      QSet<QString> knownHashes, int batchSize,
                                      const std::function<void(QList<Item>)> &deliver, LinkPolicy links)
{
    // The one lock of the import: the next index, the admission set, the
    // finished items and the counts.
    std::mutex lock;
    qsizetype next = 0;
    QList<Item> finished;
    ParallelImportResult result;
    QSet<QString> &admitted = knownHashes;


    const auto worker = [&] {
        for (;;) {
            qsizetype index;
            {
                std::lock_guard guard(lock);
                index = next++;
            }
            // A quitting application waits for this thread: leave the
            // files not started yet for another time.
            if (index >= files.size() || QCoreApplication::closingDown())
                return;
            bool duplicate = false;
            QString duplicateHash;
            ContentAdmission admit;
            admit.admit = [&](const QString &hash) {
                std::lock_guard guard(lock);
                if (admitted.contains(hash)) {
                    duplicate = true;
                    duplicateHash = hash;
                    return false;
                }
                admitted.insert(hash);
                return true;
            };
            admit.withdraw = [&](const QString &hash) {
                std::lock_guard guard(lock);
                admitted.remove(hash);
            };
            ImportProblem problem;
            std::optional<Item> item = makeItem(root, files.at(index), collectionId, admit, links, &problem);
            QList<Item> batch;
            {
                std::lock_guard guard(lock);
                if (problem.kind == ImportProblem::WriteFailed && result.writeError.isEmpty())
                    result.writeError = problem.detail;
                if (!item) {
                    ++(duplicate ? result.duplicates : result.skipped);
                    if (duplicate)
                        result.duplicateHashes.append(duplicateHash);
                    continue;
                }
                finished.append(std::move(*item));
                ++result.added;
                if (batchSize > 0 && finished.size() >= batchSize)
                    batch.swap(finished);
            }
            if (!batch.isEmpty())
                deliver(std::move(batch));
        }
    };

    const int count = int(std::min<qsizetype>(importWorkerCount(), std::max<qsizetype>(files.size(), 1)));
    std::vector<std::thread> threads;
    threads.reserve(size_t(count));
    for (int i = 0; i < count; ++i)
        threads.emplace_back(worker);
    for (std::thread &t : threads)
        t.join();

    // The renames of the new files are on disk before the items can be saved.
    if (result.added > 0) {
        syncFolder(root + QStringLiteral("/originals"));
        syncFolder(root + QStringLiteral("/thumbnails"));
        syncFolder(root + QStringLiteral("/covers"));
    }

    deliver(std::move(finished));
    return result;
}

} // namespace vellora
