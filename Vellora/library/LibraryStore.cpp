#include "LibraryStore.h"

#include "LibraryLocation.h"
#include "LibraryMerge.h"
#include "Services.h"
#include "UnlistedFiles.h"

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/FileCoordination.h"
#include "platform/FilePresenter.h"
#include "platform/FileVersions.h"
#include "platform/Logging.h"
#include "platform/Termination.h"

#include <QCoreApplication>
#include <QDir>
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
constexpr double kBackupSpacing = 300.0;

void runInBackground(std::function<void()> work)
{
    QThreadPool::globalInstance()->start(std::move(work));
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

// The newest "damaged-" backup holding exactly these bytes; empty when none does.
QString existingDamagedCopy(const QString &root, const QByteArray &bytes)
{
    const QDir folder(root + QStringLiteral("/backups"));
    QStringList names = folder.entryList({QStringLiteral("damaged-*.json")}, QDir::Files | QDir::Hidden, QDir::Name);
    for (auto it = names.crbegin(); it != names.crend(); ++it) {
        const QString path = folder.filePath(*it);
        if (QFileInfo(path).size() != bytes.size())
            continue;
        if (readWholeFile(path) == bytes)
            return path;
    }
    return {};
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
    if (auto *app = QCoreApplication::instance()) {
        // Quitting writes what is not on disk yet, a failed save included.
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { save(); });
    }
    // A logout or a plain kill must not take the debounced save with it.
    Termination::install();
    m_terminationHook = Termination::addHook([this] {
        if (m_loaded && (m_saveDebouncer.pending() || hasUnsavedChanges()))
            save();
    });
    if (deferLoad)
        m_loaded = false;
    else
        readNow();
}

LibraryStore::~LibraryStore()
{
    Termination::removeHook(m_terminationHook);
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
    const LibraryRead read = readLibraryFile(m_root);
    if (applyLoad(read) && read.status == LibraryReadStatus::Loaded)
        sweepUnlisted();
}

void LibraryStore::sweepUnlisted()
{
    // Only against a library that was read: a new one names nothing yet.
    const QString root = m_root;
    const ListedNames listed = listedNames(m_items);
    const double moment = now();
    runInBackground([root, listed, moment] {
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
        copy = existingDamagedCopy(m_root, read.bytes);
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
    emit loadErrorChanged(m_loadError);
}

void LibraryStore::clearLoadError()
{
    if (m_loadError.isEmpty())
        return;
    m_loadError.clear();
    emit loadErrorChanged(m_loadError);
}

bool LibraryStore::applyLoad(const LibraryRead &read)
{
    clearLoadError();
    if (read.status != LibraryReadStatus::Loaded && read.status != LibraryReadStatus::Absent) {
        setLoaded(false);
        refuseDamagedFile(read);
        return false;
    }
    m_seen = read.stamp;
    m_base = LibraryFile();
    if (read.status == LibraryReadStatus::Loaded) {
        apply(read.file);
        m_savedGeneration = m_generation;
        m_base = currentDocument();
    } else {
        // During a background load this save is refused (still loading) and
        // the one scheduled by createCollection() writes the new library.
        apply(std::nullopt);
    }
    setLoaded(true);
    return true;
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
        LibraryRead read = readLibraryFile(root);
        Scheduler::main().post([self, token, read = std::move(read), completion] {
            if (!self || self->m_rootToken != token)
                return;
            LibraryStore &store = *self;
            if (!store.applyLoad(read))
                return;
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
            self->save();
    });
}

bool LibraryStore::save()
{
    if (!m_loaded) {
        // Silent while a load runs; a file that could not be used says so.
        if (!m_loadError.isEmpty())
            m_lastSaveError = printNotSaved(m_loadError);
        else
            m_lastSaveError = QStringLiteral("the library is still loading");
        return false;
    }
    LibraryFile document = currentDocument();
    QByteArray bytes;
    try {
        bytes = document.encode();
    } catch (const EncodingError &error) {
        m_lastSaveError = printNotSaved(QString::fromUtf8(error.what()));
        return false;
    }

    const quint64 generation = m_generation;
    const QString path = libraryPath(m_root);
    FileStamp written;
    bool merged = false;
    try {
        coordinateWriting(path, [&](const QString &url) {
            // Someone else replaced the file since this store last saw it:
            // keep their version, and merge their changes with ours.
            const FileStamp onDisk = fileStamp(url);
            if (onDisk.exists && onDisk != m_seen) {
                const auto theirs = readWholeFile(url);
                if (theirs && *theirs != bytes) {
                    const auto backup = writeLibraryBackup(*theirs, m_root, QStringLiteral("conflict"));
                    if (!backup)
                        throw FileError(QStringLiteral("the version changed elsewhere could not be backed up"));
                    qCInfo(lcStore, "library.json: changed elsewhere, merged with local changes; that version is kept as %s",
                           qPrintable(*backup));
                    try {
                        const LibraryFile remote = LibraryFile::decode(*theirs);
                        if (!remote.collections.isEmpty()) {
                            LibraryFile combined = mergeLibraries(m_base, document, remote);
                            bytes = combined.encode();
                            document = std::move(combined);
                            merged = true;
                        }
                    } catch (const std::exception &) {
                        // Not a library we can read: ours goes over it, theirs stays in backups.
                    }
                }
            }
            writeFileAtomically(url, bytes);
            written = fileStamp(url);
            // This process's presenter must not reload what it just wrote.
            FilePresenter::noteOwnWrite(url);
        });
    } catch (const FileError &error) {
        m_lastSaveError = printNotSaved(error.description());
        return false;
    }
    m_lastSaveError.clear();
    m_base = document;
    if (merged) {
        applyMerged(document);
        m_savedGeneration = m_generation;
    } else {
        m_savedGeneration = generation;
    }
    m_saveDebouncer.cancel();
    m_seen = written;
    // The time of the file this save wrote, taken under the write lock: a
    // stat made after the lock is released could see a version that another
    // machine put there in between, and a reload would then skip it.
    m_known = modificationDate(written);
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
    const double moment = now();
    if (!m_lastBackup || moment - *m_lastBackup > kBackupSpacing) {
        writeLibraryBackup(bytes, m_root, QStringLiteral("library"));
        m_lastBackup = moment;
    }
    return true;
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
        LibraryRead read = readLibraryFile(root);
        Scheduler::main().post([self, token, current, read = std::move(read), finish] {
            if (self && read.status == LibraryReadStatus::Loaded && self->m_rootToken == token) {
                LibraryStore &store = *self;
                if (store.hasUnsavedChanges()) {
                    // Both sides changed: merge, keep their version as it
                    // was, and save the merged library soon.
                    const auto backup = writeLibraryBackup(read.bytes, store.m_root, QStringLiteral("conflict"));
                    if (backup) {
                        const LibraryFile combined = mergeLibraries(store.m_base, store.currentDocument(), *read.file);
                        store.applyMerged(combined);
                        store.m_base = *read.file;
                        if (!store.m_base.smartFolders)
                            store.m_base.smartFolders = SmartFolder::defaults();
                        store.m_seen = read.stamp;
                        store.m_known = current;
                        qCInfo(lcSync, "library reloaded (external) with local changes merged: %ld items, %ld collections; "
                                       "the other version is kept as %s",
                               long(store.m_items.size()), long(store.m_collections.size()), qPrintable(*backup));
                    }
                    store.scheduleSave();
                } else {
                    store.apply(read.file);
                    store.m_savedGeneration = store.m_generation;
                    store.m_base = store.currentDocument();
                    store.m_seen = read.stamp;
                    store.m_known = current;
                    qCInfo(lcSync, "library reloaded (external): %ld items, %ld collections",
                           long(read.file->items.size()), long(read.file->collections.size()));
                }
            }
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
    m_saveDebouncer.cancel();
    ++m_rootToken;
    m_root = root;
    m_seen = {};
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
