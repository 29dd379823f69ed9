#include "LibraryStore.h"

#include "LibraryLocation.h"
#include "LibraryMerge.h"
#include "LibraryWriter.h"
#include "Services.h"
#include "UnlistedFiles.h"

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/FileCoordination.h"
#include "platform/FilePresenter.h"
#include "platform/FileVersions.h"
#include "platform/IntakeFile.h"
#include "platform/Logging.h"
#include "platform/Termination.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

namespace vellora {

Q_LOGGING_CATEGORY(lcStore, "com.quendle.vellora.store")

namespace {

constexpr char kLastSyncedAtKey[] = "lastSyncedAt";
// The tag of the changes kept while library.json could not be used.
constexpr char kUnsavedTag[] = "unsaved";
// The largest kept file read back: a library file is far smaller.
constexpr qint64 kKeptChangesCap = qint64(512) * 1024 * 1024;

void runInBackground(std::function<void()> work)
{
    QThreadPool::globalInstance()->start(std::move(work));
}

// Lets go of a document on a worker: the last owner of a large library's
// lists frees every record, which is no work for the main thread.
void releaseInBackground(LibraryFile &&document)
{
    auto doomed = std::make_shared<LibraryFile>(std::move(document));
    runInBackground([doomed] { *doomed = LibraryFile(); });
}

QString libraryPath(const QString &root)
{
    return root + QStringLiteral("/library.json");
}

QString printNotSaved(const QString &reason)
{
    printLine(QStringLiteral("library.json not saved: ") + reason);
    return reason;
}

std::optional<double> storedLastSyncedAt(const Defaults &settings)
{
    const QVariant value = settings.value(QString::fromLatin1(kLastSyncedAtKey));
    bool ok = false;
    const double seconds = value.toDouble(&ok);
    if (value.isValid() && ok)
        return seconds;
    return std::nullopt;
}

} // namespace

LibraryServices &LibraryServices::installed()
{
    static LibraryServices services;
    return services;
}

LibraryStore::LibraryStore(const QString &root, bool deferLoad, QObject *parent)
    : LibraryStore(root, deferLoad, Defaults::standard(), parent)
{
}

LibraryStore::LibraryStore(const QString &root, bool deferLoad, Defaults &settings, QObject *parent)
    : QObject(parent), m_root(root), m_settings(&settings), m_lastSyncedAt(storedLastSyncedAt(settings)),
      m_smartFolders(SmartFolder::defaults())
{
    // The places are read from the user defaults once per process; do that
    // here on the main thread rather than first in a background read.
    LibraryLocation::iCloudDriveURL();
    QPointer<LibraryStore> self(this);
    m_writer = std::make_unique<LibraryWriter>([self] {
        Scheduler::main().post([self] {
            if (self)
                self->applyWriteResults();
        });
    });
    if (auto *app = QCoreApplication::instance()) {
        // Quitting writes what is not on disk yet, a failed save included,
        // and waits for the write in flight. What no save may write is kept.
        connect(app, &QCoreApplication::aboutToQuit, this, [this] {
            save();
            keepUnsavedChanges();
        });
    }
    // A logout or a plain kill must not take the debounced save, or the one
    // the writer is still busy with, with it.
    Termination::install();
    m_terminationHook = Termination::addHook([this] {
        if (m_loaded && (m_saveDebouncer.pending() || hasUnsavedChanges()))
            save();
        else
            waitForWrites();
        keepUnsavedChanges();
    });
    if (deferLoad)
        m_loaded = false;
    else
        readNow();
}

LibraryStore::~LibraryStore()
{
    Termination::removeHook(m_terminationHook);
    // What was not written by now never will be; the answer comes later,
    // when nothing can reach this store any more.
    for (SaveWaiter &waiter : m_saveWaiters)
        Scheduler::main().post([done = std::move(waiter.done)] { done(false); });
}

LibraryStore &LibraryStore::shared()
{
    static LibraryStore *store = [] {
        auto *made = new LibraryStore(LibraryLocation::root(), true);
        made->loadInBackground([made] {
            made->reindexSpotlightIfNeeded();
            if (auto &start = LibraryServices::installed().startSync)
                start(*made);
        });
        return made;
    }();
    return *store;
}

QString LibraryStore::defaultBoardId() const
{
    return m_collections.isEmpty() ? QString() : m_collections.first().id;
}

QList<Item> LibraryStore::activeItems() const
{
    QList<Item> active;
    for (const Item &item : m_items) {
        if (!item.trashedAt)
            active.append(item);
    }
    return active;
}

std::optional<Item> LibraryStore::item(const QString &id) const
{
    for (const Item &item : m_items) {
        if (item.id == id)
            return item;
    }
    return std::nullopt;
}

std::optional<Board> LibraryStore::collection(const QString &id) const
{
    for (const Board &board : m_collections) {
        if (board.id == id)
            return board;
    }
    return std::nullopt;
}

void LibraryStore::touch()
{
    ++m_generation;
}

void LibraryStore::replaceItems(const QList<Item> &items)
{
    m_items = items;
    touch();
    emit itemsChanged();
}

void LibraryStore::appendItems(const QList<Item> &items)
{
    if (items.isEmpty())
        return;
    const qsizetype first = m_items.size();
    m_items.append(items);
    touch();
    ItemChanges changes;
    for (qsizetype i = 0; i < items.size(); ++i) {
        changes.add(items[i].id, first + i);
        changes.activeDelta += items[i].trashedAt ? 0 : 1;
    }
    emit itemsEdited(changes);
    emit itemsChanged();
}

bool LibraryStore::updateItem(const QString &id, const std::function<void(Item &)> &change)
{
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        if (std::as_const(m_items)[i].id != id)
            continue;
        Item &item = m_items[i];
        const bool wasActive = !item.trashedAt;
        change(item);
        touch();
        // A change that gives the record another id is told as a change of
        // anything.
        if (item.id == id) {
            ItemChanges changes;
            changes.change(id, i);
            changes.activeDelta = qsizetype(!item.trashedAt) - qsizetype(wasActive);
            emit itemsEdited(changes);
        }
        emit itemsChanged();
        return true;
    }
    return false;
}

void LibraryStore::replaceCollections(const QList<Board> &collections)
{
    m_collections = collections;
    touch();
    emit collectionsChanged();
}

bool LibraryStore::updateCollection(const QString &id, const std::function<void(Board &)> &change)
{
    for (Board &board : m_collections) {
        if (board.id == id) {
            change(board);
            touch();
            emit collectionsChanged();
            return true;
        }
    }
    return false;
}

void LibraryStore::replaceSmartFolders(const QList<SmartFolder> &folders)
{
    m_smartFolders = folders;
    touch();
    emit smartFoldersChanged();
}

void LibraryStore::beginImport()
{
    ++m_importing;
    emit importingChanged(m_importing);
}

void LibraryStore::endImport()
{
    if (m_importing > 0)
        --m_importing;
    emit importingChanged(m_importing);
}

void LibraryStore::setPendingDownloads(int count)
{
    if (m_pendingDownloads == count)
        return;
    m_pendingDownloads = count;
    emit pendingDownloadsChanged(count);
}

void LibraryStore::setLoaded(bool loaded)
{
    if (m_loaded == loaded)
        return;
    m_loaded = loaded;
    emit loadedChanged(loaded);
}

void LibraryStore::setSyncing(int syncing)
{
    m_syncing = syncing;
    emit syncingChanged(syncing);
}

// ---------------------------------------------------------------- load

void LibraryStore::readNow()
{
    const quint64 seenAt = LibraryWriter::observe();
    const LibraryRead read = readLibraryFile(m_root);
    const KeptChanges kept = read.status == LibraryReadStatus::Loaded || read.status == LibraryReadStatus::Absent
        ? readKeptChanges(m_root)
        : KeptChanges();
    if (applyLoad(read, seenAt, kept) && read.status == LibraryReadStatus::Loaded)
        sweepUnlisted();
}

LibraryStore::KeptChanges LibraryStore::readKeptChanges(const QString &root)
{
    KeptChanges kept;
    const QDir folder(root + QStringLiteral("/backups"));
    // The names carry their time stamp: oldest first, as they were made.
    const QStringList names = folder.entryList({QString::fromLatin1(kUnsavedTag) + QStringLiteral("-*.json")},
                                               QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString &name : names) {
        const QString path = folder.filePath(name);
        const std::optional<QByteArray> bytes = readIntakeFile(path, LinkPolicy::Refuse, kKeptChangesCap);
        if (!bytes)
            continue;
        try {
            kept.documents.append(LibraryFile::decode(*bytes));
            kept.paths.append(path);
        } catch (const std::exception &) {
            // Left where it is, for a person to look at.
            qCWarning(lcStore, "library: %s does not decode; its changes are not added", qPrintable(path));
        }
    }
    return kept;
}

void LibraryStore::sweepUnlisted()
{
    // Only against a library that was read: a new one names nothing yet.
    const QString root = m_root;
    const double moment = now();
    // The names are gathered on the worker too: at a hundred thousand items
    // that is tens of milliseconds. The list it reads is shared, not copied,
    // and let go of once the names are taken: while it is shared, the
    // store's next edit copies every record.
    runInBackground([root, items = m_items, moment]() mutable {
        const ListedNames listed = listedNames(std::exchange(items, {}));
        const UnlistedSweep sweep = sweepUnlistedFiles(root, listed, moment);
        if (sweep.moved > 0)
            qCInfo(lcStore, "library: %d files that no item names moved to %s", sweep.moved, qPrintable(sweep.folder));
        if (sweep.temporaries > 0)
            qCInfo(lcStore, "library: removed %d abandoned temporary files", sweep.temporaries);
    });
}

void LibraryStore::refuseDamagedFile(const LibraryRead &read)
{
    // Keep a copy of what is there, then leave it alone: no save will touch
    // it while this store is open.
    QString copy;
    if (!read.bytes.isEmpty() || read.status == LibraryReadStatus::Undecodable) {
        // Every start and every reopen reads the same file again: one copy
        // of each damaged version is enough, not one more per attempt.
        copy = existingLibraryBackup(m_root, QStringLiteral("damaged"), read.bytes).value_or(QString());
        if (copy.isEmpty())
            if (const auto backup = writeLibraryBackup(read.bytes, m_root, QStringLiteral("damaged")))
                copy = *backup;
    }
    m_loadError = read.reason;
    if (!copy.isEmpty())
        m_loadError += QStringLiteral(" (left unchanged; a copy is in ") + copy + QLatin1Char(')');
    else
        m_loadError += QStringLiteral(" (left unchanged)");
    printLine(m_loadError);
    // Another program, or the user in an editor, may put it right; the
    // store's change tracking only starts with a library that loaded.
    if (!m_damagedWatch) {
        m_damagedWatch = new FilePresenter(this);
        connect(m_damagedWatch, &FilePresenter::presentedItemDidChange, this, &LibraryStore::damagedFileChanged);
    }
    // The watch stays on through the loads it starts: a change made while
    // one of them reads must not go unseen.
    if (!m_damagedWatch->isPresenting())
        m_damagedWatch->present(libraryPath(m_root));
    emit loadErrorChanged(m_loadError);
}

void LibraryStore::damagedFileChanged()
{
    // One load for a burst of events (a rename, a close and so on).
    if (m_damagedChangePosted)
        return;
    m_damagedChangePosted = true;
    QPointer<LibraryStore> self(this);
    Scheduler::main().post([self] {
        if (!self)
            return;
        self->m_damagedChangePosted = false;
        self->loadAgain();
    });
}

void LibraryStore::keepUnsavedChanges()
{
    // Only changes that no save may write: those of a library that could
    // not be used, also while it is being read again.
    if (m_loaded || !hasUnsavedChanges() || (m_loadError.isEmpty() && !m_heldEdits)
        || m_keptGeneration == m_generation)
        return;
    LibraryFile document = currentDocument();
    // Every run makes the example smart folders afresh, with new ids: only
    // those the user made or changed are changes.
    const QList<SmartFolder> examples = SmartFolder::defaults();
    document.smartFolders->removeIf([&](const SmartFolder &folder) { return examples.contains(folder); });
    std::optional<QString> path;
    try {
        path = writeLibraryBackup(document.encode(), m_root, QString::fromLatin1(kUnsavedTag));
    } catch (const std::exception &) {
    }
    if (!path) {
        printLine(QStringLiteral("The changes made since could not be kept in ") + m_root + QStringLiteral("/backups"));
        return;
    }
    m_keptGeneration = m_generation;
    printLine(QStringLiteral("The changes made since are kept in ") + *path
              + QStringLiteral(" and added to the library once it opens."));
}

void LibraryStore::clearLoadError()
{
    if (m_loadError.isEmpty())
        return;
    m_loadError.clear();
    emit loadErrorChanged(m_loadError);
}

bool LibraryStore::applyLoad(const LibraryRead &read, quint64 seenAt, const KeptChanges &kept)
{
    clearLoadError();
    if (read.status != LibraryReadStatus::Loaded && read.status != LibraryReadStatus::Absent) {
        setLoaded(false);
        refuseDamagedFile(read);
        return false;
    }
    if (m_damagedWatch)
        m_damagedWatch->stop();
    m_seen = read.stamp;
    m_seenAt = seenAt;
    m_base = LibraryFile();
    std::optional<LibraryFile> held = std::exchange(m_heldEdits, std::nullopt);
    if (read.status == LibraryReadStatus::Loaded) {
        apply(read.file);
        m_savedGeneration = m_generation;
        m_base = currentDocument();
        keepBaseApart();
    } else {
        // The held edits join the new library after its Inbox, not before it.
        if (held) {
            m_collections.clear();
            m_items.clear();
            m_smartFolders = SmartFolder::defaults();
        }
        // During a background load this save is refused (still loading) and
        // the one scheduled by createCollection() writes the new library.
        apply(std::nullopt);
    }
    if (held || !kept.documents.isEmpty()) {
        // The edits started from nothing: everything they hold is an
        // addition to the library read, which keeps its order (its first
        // collection stays the default one). Those held here started with
        // this run's example smart folders; the kept ones hold only the
        // smart folders that were made or changed.
        LibraryFile combined = currentDocument();
        for (const LibraryFile &addition : kept.documents)
            combined = mergeLibraries(LibraryFile(), combined, addition);
        if (held) {
            LibraryFile empty;
            empty.smartFolders = SmartFolder::defaults();
            combined = mergeLibraries(empty, combined, *held);
        }
        applyMerged(combined);
        scheduleSave();
    }
    setLoaded(true);
    if (!kept.paths.isEmpty()) {
        // Once their changes are in library.json the kept files go, or a
        // later start would add again what was deleted since.
        saveSoon([paths = kept.paths](bool written) {
            if (written)
                runInBackground([paths] {
                    for (const QString &path : paths)
                        QFile::remove(path);
                });
        });
    }
    return true;
}

void LibraryStore::keepBaseApart()
{
    // The ancestor shares the live lists until then: the copy is made on a
    // worker, so that the first edit after a load does not copy every record
    // on the main thread.
    if (m_base.items.isEmpty())
        return;
    QPointer<LibraryStore> self(this);
    runInBackground([self, base = m_base] {
        LibraryFile copy = privateCopy(base);
        // `base` rides along so its lists cannot be freed and their address
        // taken by others before the comparison.
        Scheduler::main().post([self, base, copy = std::move(copy)]() mutable {
            // Replaced meanwhile (a save, a reload, another folder): that
            // ancestor stands.
            if (self && self->m_base.items.constData() == base.items.constData()
                && self->m_base.collections.constData() == base.collections.constData())
                self->m_base = std::move(copy);
        });
    });
}

void LibraryStore::apply(const std::optional<LibraryFile> &file)
{
    if (file) {
        m_collections = file->collections;
        m_items = file->items;
        m_smartFolders = file->smartFolders ? *file->smartFolders : SmartFolder::defaults();
        touch();
        emit collectionsChanged();
        emit itemsChanged();
        emit smartFoldersChanged();
        return;
    }
    createCollection(QStringLiteral("Inbox"));
    save();
}

LibraryFile LibraryStore::currentDocument() const
{
    LibraryFile document;
    document.collections = m_collections;
    document.items = m_items;
    for (const Board &board : m_collections)
        document.topLevelOrder.append(board.id);
    document.smartFolders = m_smartFolders;
    return document;
}

void LibraryStore::applyMerged(const LibraryFile &merged)
{
    m_collections = merged.collections;
    m_items = merged.items;
    m_smartFolders = merged.smartFolders.value_or(m_smartFolders);
    touch();
    emit collectionsChanged();
    emit itemsChanged();
    emit smartFoldersChanged();
}

void LibraryStore::loadInBackground(std::function<void()> completion)
{
    setLoaded(false);
    clearLoadError();
    const QString root = m_root;
    const quint64 token = m_rootToken;
    QPointer<LibraryStore> self(this);
    runInBackground([self, root, token, completion = std::move(completion)] {
        const quint64 seenAt = LibraryWriter::observe();
        LibraryRead read = readLibraryFile(root);
        KeptChanges kept;
        if (read.status == LibraryReadStatus::Loaded || read.status == LibraryReadStatus::Absent)
            kept = readKeptChanges(root);
        Scheduler::main().post([self, token, seenAt, read = std::move(read), kept = std::move(kept), completion] {
            if (!self || self->m_rootToken != token)
                return;
            LibraryStore &store = *self;
            const bool again = std::exchange(store.m_loadAgainPending, false);
            if (!store.applyLoad(read, seenAt, kept)) {
                // The file changed while it was read: that change counts.
                if (again)
                    store.loadAgain();
                return;
            }
            if (read.status == LibraryReadStatus::Loaded)
                store.sweepUnlisted();
            if (completion)
                completion();
            store.enforceStorageCap();
            store.backfillCovers();
            store.purgeTrash(30);
        });
    });
}

void LibraryStore::waitUntilLoaded(std::function<void(bool)> then)
{
    if (m_loaded || !m_loadError.isEmpty()) {
        then(m_loaded);
        return;
    }
    QPointer<LibraryStore> self(this);
    Scheduler::main().postAfter(0.05, [self, then = std::move(then)] {
        if (self)
            self->waitUntilLoaded(then);
    });
}

bool LibraryStore::waitUntilLoaded()
{
    while (!m_loaded && m_loadError.isEmpty()) {
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return m_loaded;
}

// ---------------------------------------------------------------- save

void LibraryStore::scheduleSave()
{
    touch();
    QPointer<LibraryStore> self(this);
    m_saveDebouncer.schedule([self] {
        if (self)
            self->saveSoon();
    });
}

bool LibraryStore::startSave()
{
    if (!m_loaded) {
        // Silent while a load runs; a file that could not be used says so.
        if (!m_loadError.isEmpty())
            m_lastSaveError = printNotSaved(m_loadError);
        else
            m_lastSaveError = QStringLiteral("the library is still loading");
        return false;
    }
    // The snapshot holds every change so far: a save requested for later
    // would write nothing new.
    m_saveDebouncer.cancel();
    SaveJob job;
    job.token = m_rootToken;
    job.root = m_root;
    job.generation = m_generation;
    job.document = currentDocument();
    job.seen = m_seen;
    job.base = m_base;
    job.seenAt = m_seenAt;
    job.mergesApplied = m_mergesApplied;
    job.lastBackup = m_lastBackup;
    m_writer->submit(std::move(job));
    return true;
}

bool LibraryStore::saveSoon(std::function<void(bool)> done)
{
    if (!startSave()) {
        if (done)
            done(false);
        return false;
    }
    if (done)
        m_saveWaiters.append({m_generation, std::move(done)});
    return true;
}

bool LibraryStore::save()
{
    if (!startSave())
        return false;
    return waitForWrites();
}

bool LibraryStore::waitForWrites()
{
    // Taking a merged save back can hand the writer one more snapshot.
    do {
        m_writer->waitUntilIdle();
        applyWriteResults();
    } while (!m_writer->idle());
    return m_lastWriteSucceeded;
}

void LibraryStore::applyWriteResults()
{
    // Answered after every result is in: a waiter that saves again (and so
    // takes results itself) must not see them out of order.
    QList<std::pair<std::function<void(bool)>, bool>> answers;
    for (SaveResult &result : m_writer->takeResults()) {
        // Written for the folder this store has left: nothing here changes.
        if (result.token != m_rootToken)
            continue;
        if (result.outcome == SaveOutcome::Superseded)
            continue;
        const bool written = result.outcome == SaveOutcome::Written;
        m_lastWriteSucceeded = written;
        if (!written) {
            // The in-memory state does not change; the next save tries again.
            m_lastSaveError = printNotSaved(result.error);
        } else {
            m_lastSaveError.clear();
            if (result.writtenAt > m_seenAt) {
                m_seen = result.written;
                m_seenAt = result.writtenAt;
                // The time of the file this save wrote, taken under the write
                // lock: a stat made after the lock is released could see a
                // version that another machine put there in between, and a
                // reload would then skip it.
                m_known = modificationDate(result.written);
                releaseInBackground(std::exchange(m_base, std::move(result.base)));
            }
            if (result.merged) {
                ++m_mergesApplied;
                if (m_generation == result.generation) {
                    applyMerged(*result.merged);
                    m_savedGeneration = m_generation;
                } else {
                    // Changed here since that snapshot: their changes join
                    // the newer state, which is saved again.
                    applyMerged(mergeLibraries(result.snapshot, currentDocument(), *result.merged));
                    startSave();
                }
            } else if (result.generation > m_savedGeneration) {
                m_savedGeneration = result.generation;
            }
            markSynced();

            bool shared = false;
            for (const Board &board : m_collections)
                shared = shared || board.zone.has_value();
            if (shared) {
                QPointer<LibraryStore> self(this);
                Scheduler::main().post([self] {
                    if (self)
                        if (auto &push = LibraryServices::installed().pushSharedChanges)
                            push(*self);
                });
            }
            if (result.backupAt)
                m_lastBackup = result.backupAt;
        }
        // A waiter is answered by the first outcome of its snapshot or a newer one.
        for (qsizetype i = 0; i < m_saveWaiters.size();) {
            if (m_saveWaiters.at(i).generation <= result.generation)
                answers.append({m_saveWaiters.takeAt(i).done, written});
            else
                ++i;
        }
    }
    QPointer<LibraryStore> self(this);
    for (const auto &[done, written] : answers) {
        done(written);
        if (!self)
            return;
    }
}

void LibraryStore::markSynced()
{
    m_lastSyncedAt = now();
    m_settings->set(QString::fromLatin1(kLastSyncedAtKey), *m_lastSyncedAt);
    emit lastSyncedAtChanged();
}

// ---------------------------------------------------------------- reload

void LibraryStore::reload(std::function<void()> completion)
{
    if (!m_loaded) {
        if (completion)
            completion();
        return;
    }
    const QString root = m_root;
    const std::optional<double> known = m_known;
    const quint64 token = m_rootToken;
    setSyncing(m_syncing + 1);
    QPointer<LibraryStore> self(this);
    auto finish = [self, completion] {
        if (!self)
            return;
        self->setSyncing(self->m_syncing - 1);
        self->markSynced();
        if (completion)
            completion();
    };
    runInBackground([self, root, known, token, finish] {
        const std::optional<double> current = libraryModificationDate(root);
        // A conflict copy beside an unchanged file is a change all the same:
        // the read settles it.
        const bool changed = current != known
            || !FileVersions::unresolvedConflicts(root + QStringLiteral("/library.json")).isEmpty();
        if (!changed) {
            Scheduler::main().post(finish);
            return;
        }
        const quint64 seenAt = LibraryWriter::observe();
        // Both sides changed: the version read is then kept as a backup.
        LibraryRead read = readLibraryFile(root, KeepBytes::Always);
        Scheduler::main().post([self, token, current, seenAt, read = std::move(read), finish] {
            if (self && read.status == LibraryReadStatus::Loaded && self->m_rootToken == token)
                self->takeReload(read, current, seenAt, finish);
            else
                finish();
        });
    });
}

bool LibraryStore::reloadOvertaken(const LibraryRead &read, quint64 seenAt) const
{
    // The file this store's writer wrote (its result brings the date), or a
    // read that a newer write or read has overtaken: nothing new to apply.
    return read.stamp == m_writer->lastWritten(m_rootToken) || seenAt < m_seenAt;
}

void LibraryStore::takeReload(const LibraryRead &read, std::optional<double> current, quint64 seenAt,
                              std::function<void()> finish)
{
    if (reloadOvertaken(read, seenAt)) {
        finish();
        return;
    }
    if (!hasUnsavedChanges()) {
        apply(read.file);
        m_savedGeneration = m_generation;
        m_base = currentDocument();
        keepBaseApart();
        m_seen = read.stamp;
        m_seenAt = seenAt;
        m_known = current;
        qCInfo(lcSync, "library reloaded (external): %ld items, %ld collections", long(read.file->items.size()),
               long(read.file->collections.size()));
        finish();
        return;
    }
    // Both sides changed: keep their version as it was, merge, and save the
    // merged library soon. The copy and the merge run in the background on
    // copies of the lists; the merge is taken only for the state it was made
    // from, and joins any change made since.
    const quint64 token = m_rootToken;
    const quint64 generation = m_generation;
    const LibraryFile base = m_base;
    const LibraryFile local = currentDocument();
    const QString root = m_root;
    QPointer<LibraryStore> self(this);
    runInBackground([self, token, generation, base, local, root, read, current, seenAt, finish] {
        auto backup = existingLibraryBackup(root, QStringLiteral("conflict"), read.bytes);
        if (!backup)
            backup = writeLibraryBackup(read.bytes, root, QStringLiteral("conflict"));
        std::optional<LibraryFile> combined;
        if (backup)
            combined = mergeLibraries(base, local, *read.file);
        Scheduler::main().post([self, token, generation, local, read, current, seenAt, finish, backup, combined] {
            if (!self || self->m_rootToken != token) {
                finish();
                return;
            }
            LibraryStore &store = *self;
            if (backup && !store.reloadOvertaken(read, seenAt)) {
                if (store.m_generation == generation)
                    store.applyMerged(*combined);
                else
                    store.applyMerged(mergeLibraries(local, store.currentDocument(), *combined));
                store.m_base = *read.file;
                if (!store.m_base.smartFolders)
                    store.m_base.smartFolders = SmartFolder::defaults();
                store.m_seen = read.stamp;
                store.m_seenAt = seenAt;
                store.m_known = current;
                qCInfo(lcSync, "library reloaded (external) with local changes merged: %ld items, %ld collections; "
                               "the other version is kept as %s",
                       long(store.m_items.size()), long(store.m_collections.size()), qPrintable(*backup));
            }
            store.scheduleSave();
            finish();
        });
    });
}

void LibraryStore::syncNow(std::function<void()> done)
{
    setSyncing(m_syncing + 1);
    QPointer<LibraryStore> self(this);
    reload([self, done] {
        if (!self)
            return;
        self->prefetchThumbnails(self->activeItems());
        auto finish = [self, done] {
            if (!self)
                return;
            self->setSyncing(self->m_syncing - 1);
            self->markSynced();
            if (done)
                done();
        };
        if (auto &sync = LibraryServices::installed().syncCollections)
            sync(*self, finish);
        else
            finish();
    });
}

void LibraryStore::reopen(const QString &root)
{
    // What is not on disk yet belongs to the folder being left.
    if (m_saveDebouncer.pending() || (m_loaded && hasUnsavedChanges()))
        save();
    else
        waitForWrites();
    keepUnsavedChanges();
    m_heldEdits.reset();
    m_loadAgainPending = false;
    if (m_damagedWatch)
        m_damagedWatch->stop();
    m_saveDebouncer.cancel();
    ++m_rootToken;
    m_root = root;
    m_seen = {};
    m_seenAt = 0;
    m_mergesApplied = 0;
    // Not written to the folder being left: that answer does not change.
    for (SaveWaiter &waiter : std::exchange(m_saveWaiters, {}))
        Scheduler::main().post([done = std::move(waiter.done)] { done(false); });
    m_base = LibraryFile();
    m_collections.clear();
    m_items.clear();
    m_smartFolders = SmartFolder::defaults();
    m_savedGeneration = ++m_generation;
    emit rootChanged(root);
    emit collectionsChanged();
    emit itemsChanged();
    emit smartFoldersChanged();
    QPointer<LibraryStore> self(this);
    loadInBackground([self] {
        if (self)
            if (auto &start = LibraryServices::installed().startSync)
                start(*self);
    });
}

void LibraryStore::loadAgain()
{
    if (m_loaded)
        return;
    // A load is reading already; once it is done it may be out of date.
    if (m_loadError.isEmpty()) {
        m_loadAgainPending = true;
        return;
    }
    if (hasUnsavedChanges())
        m_heldEdits = currentDocument();
    // The work of a first load that never came to it.
    QPointer<LibraryStore> self(this);
    loadInBackground([self] {
        if (!self)
            return;
        self->reindexSpotlightIfNeeded();
        if (auto &start = LibraryServices::installed().startSync)
            start(*self);
    });
}

// ---------------------------------------------------------------- services

void LibraryStore::indexInSpotlight(const QList<Item> &items)
{
    if (auto &hook = LibraryServices::installed().indexInSpotlight)
        hook(*this, items);
}

void LibraryStore::removeFromSpotlight(const QStringList &ids)
{
    if (auto &hook = LibraryServices::installed().removeFromSpotlight)
        hook(*this, ids);
}

void LibraryStore::reindexSpotlightIfNeeded()
{
    if (auto &hook = LibraryServices::installed().reindexSpotlightIfNeeded)
        hook(*this);
}

void LibraryStore::enforceStorageCap(const std::optional<QString> &keep)
{
    if (auto &hook = LibraryServices::installed().enforceStorageCap)
        hook(*this, keep);
}

void LibraryStore::backfillCovers()
{
    if (auto &hook = LibraryServices::installed().backfillCovers)
        hook(*this);
}

void LibraryStore::prefetchThumbnails(const QList<Item> &items)
{
    if (auto &hook = LibraryServices::installed().prefetchThumbnails)
        hook(*this, items);
}

} // namespace vellora
