#include "LibraryWriter.h"

#include "LibraryMerge.h"
#include "Parallel.h"

#include "platform/Clock.h"
#include "platform/FileCoordination.h"
#include "platform/FilePresenter.h"

#include <QFile>
#include <QLoggingCategory>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

Q_DECLARE_LOGGING_CATEGORY(lcStore)

namespace {

constexpr double kBackupSpacing = 300.0;

std::atomic<quint64> g_observations{0};

// library.json as just written, opened for the backup copy: the same inode
// whatever replaces the name later. -1 when it is not the file written.
int openWritten(const QString &path, const FileStamp &written)
{
    int fd;
    do {
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || quint64(info.st_ino) != written.inode
        || quint64(info.st_dev) != written.device || qint64(info.st_size) != written.size) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

quint64 LibraryWriter::observe()
{
    return ++g_observations;
}

LibraryWriter::LibraryWriter(std::function<void()> resultReady)
    : m_resultReady(std::move(resultReady)), m_thread([this] { run(); })
{
}

LibraryWriter::~LibraryWriter()
{
    {
        std::lock_guard guard(m_mutex);
        m_stop = true;
        m_pending.reset();
    }
    m_wake.notify_all();
    m_thread.join();
}

quint64 LibraryWriter::submit(SaveJob job)
{
    quint64 ticket;
    {
        std::lock_guard guard(m_mutex);
        ticket = ++m_nextTicket;
        job.ticket = ticket;
        // Not started yet: the newer snapshot holds all of it.
        m_pending = std::move(job);
    }
    m_wake.notify_all();
    return ticket;
}

void LibraryWriter::waitUntilIdle()
{
    std::unique_lock lock(m_mutex);
    m_settled.wait(lock, [this] { return !m_pending && m_inFlight == 0; });
}

bool LibraryWriter::idle() const
{
    std::lock_guard guard(m_mutex);
    return !m_pending && m_inFlight == 0 && m_results.empty();
}

quint64 LibraryWriter::inFlight() const
{
    std::lock_guard guard(m_mutex);
    return m_inFlight;
}

std::deque<SaveResult> LibraryWriter::takeResults()
{
    std::lock_guard guard(m_mutex);
    return std::exchange(m_results, {});
}

FileStamp LibraryWriter::lastWritten(quint64 token) const
{
    std::lock_guard guard(m_mutex);
    return m_writtenToken == token ? m_written : FileStamp{};
}

void LibraryWriter::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || m_pending; });
        if (m_stop)
            break;
        SaveJob job = std::move(*m_pending);
        m_pending.reset();
        m_inFlight = job.ticket;
        lock.unlock();
        // Lists of its own first, so that the store's edits during a long
        // encode and write do not copy the whole library on the main thread.
        job.document = privateCopy(job.document);
        SaveResult result = write(job);
        // The job's lists go here, on this thread, not in the lock.
        job = SaveJob();
        lock.lock();
        m_inFlight = 0;
        m_results.push_back(std::move(result));
        m_settled.notify_all();
        if (m_resultReady) {
            lock.unlock();
            m_resultReady();
            lock.lock();
        }
    }
    m_settled.notify_all();
}

LibraryFile privateCopy(const LibraryFile &file)
{
    LibraryFile copy = file;
    copy.collections.detach();
    // The one list that grows with the library: copied on several threads,
    // which also touch the fresh memory in parallel.
    copy.items = copyInParts(file.items, 4000);
    copy.topLevelOrder.detach();
    if (copy.smartFolders)
        copy.smartFolders->detach();
    return copy;
}

SaveResult LibraryWriter::write(const SaveJob &job)
{
    SaveResult result;
    result.ticket = job.ticket;
    result.token = job.token;
    result.generation = job.generation;
    result.snapshot = job.document;

    if (!m_hasToken || m_token != job.token) {
        // Another folder: nothing this thread knew applies to it.
        m_hasToken = true;
        m_token = job.token;
        m_knownStamp = {};
        m_knownDocument = LibraryFile();
        m_knownAt = 0;
        m_mergesDone = 0;
        m_lastBackup.reset();
    }
    if (job.mergesApplied < m_mergesDone) {
        result.outcome = SaveOutcome::Superseded;
        return result;
    }
    // This thread's last write is newer than what the store knew when it
    // made the job (its result has not come back yet): compare with that.
    FileStamp seen = job.seen;
    const LibraryFile *base = &job.base;
    if (m_knownAt > job.seenAt) {
        seen = m_knownStamp;
        base = &m_knownDocument;
    }

    LibraryFile document = job.document;
    // The whole text is held only where it must be compared with another
    // version; otherwise the file is written while it is being encoded.
    std::vector<std::string> encoded;
    BytePieces bytes;
    auto encode = [&encoded, &bytes](const LibraryFile &file) {
        encoded = file.encodePieces();
        bytes.assign(encoded.begin(), encoded.end());
    };

    std::optional<double> lastBackup = job.lastBackup;
    if (m_lastBackup && (!lastBackup || *m_lastBackup > *lastBackup))
        lastBackup = m_lastBackup;
    const bool backupDue = !lastBackup || now() - *lastBackup > kBackupSpacing;

    const QString path = job.root + QStringLiteral("/library.json");
    FileStamp written;
    quint64 writtenAt = 0;
    bool merged = false;
    int backupSource = -1;
    try {
        coordinateWriting(path, [&](const QString &url) {
            // Someone else replaced the file since this store last saw it:
            // keep their version, and merge their changes with ours.
            const FileStamp onDisk = fileStamp(url);
            if (onDisk.exists && onDisk != seen) {
                encode(document);
                const auto theirs = readWholeFile(url);
                if (theirs && !samePieces(*theirs, bytes)) {
                    // A reload may have kept this very version already.
                    std::optional<QString> backup = existingLibraryBackup(job.root, QStringLiteral("conflict"), *theirs);
                    if (!backup)
                        backup = writeLibraryBackup(*theirs, job.root, QStringLiteral("conflict"));
                    if (!backup)
                        throw FileError(QStringLiteral("the version changed elsewhere could not be backed up"));
                    qCInfo(lcStore, "library.json: changed elsewhere, merged with local changes; that version is kept as %s",
                           qPrintable(*backup));
                    try {
                        const LibraryFile remote = LibraryFile::decode(*theirs);
                        if (!remote.collections.isEmpty()) {
                            LibraryFile combined = mergeLibraries(*base, document, remote);
                            encode(combined);
                            document = std::move(combined);
                            merged = true;
                        }
                    } catch (const std::exception &) {
                        // Not a library we can read: ours goes over it, theirs stays in backups.
                    }
                }
            }
            if (!encoded.empty())
                writeFileAtomically(url, bytes);
            else
                writeFileAtomically(
                    url, [&document](const ByteSink &write) { document.encodeInOrder(write); },
                    std::max<qint64>(seen.size, qint64(document.items.size()) * 1000));
            written = fileStamp(url);
            writtenAt = observe();
            {
                // Before the lock is released: a reload that reads this
                // file must be able to tell that it is this writer's.
                std::lock_guard guard(m_mutex);
                m_writtenToken = job.token;
                m_written = written;
            }
            // This process's presenter must not reload what it just wrote.
            FilePresenter::noteOwnWrite(url);
            if (backupDue)
                backupSource = openWritten(url, written);
        });
    } catch (const FileError &error) {
        if (backupSource >= 0)
            ::close(backupSource);
        result.error = error.description();
        return result;
    } catch (const EncodingError &error) {
        if (backupSource >= 0)
            ::close(backupSource);
        result.error = QString::fromUtf8(error.what());
        return result;
    }
    // The timed backup is copied from the file just written; only where
    // that file is gone already does it need the text itself.
    if (backupDue && backupSource < 0 && encoded.empty()) {
        try {
            encode(document);
        } catch (const EncodingError &) {
        }
    }

    m_knownStamp = written;
    // Neither this nor the store's ancestor may keep sharing the lists the
    // store goes on editing: the job's lists are this thread's own already,
    // but a merged document is about to become the store's live one.
    result.base = merged ? privateCopy(document) : document;
    m_knownDocument = result.base;
    m_knownAt = writtenAt;
    if (merged)
        ++m_mergesDone;

    result.outcome = SaveOutcome::Written;
    result.written = written;
    result.writtenAt = writtenAt;
    if (merged)
        result.merged = std::move(document);
    if (backupDue) {
        // From the file just written (a clone where the filesystem has
        // them), outside the write lock; the bytes only where that fails.
        const double moment = now();
        writeLibraryBackupFrom(backupSource, bytes, job.root, QStringLiteral("library"));
        m_lastBackup = moment;
        result.backupAt = moment;
    }
    if (backupSource >= 0)
        ::close(backupSource);
    return result;
}

} // namespace vellora
