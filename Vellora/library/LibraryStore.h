#pragma once
// The single owner of one library folder's state: its collections, items and
// smart folders, and the counters the views show. Every change of library
// state goes through it; it loads library.json in the background, saves it
// 0.5 s after the last change, reloads it after a change made elsewhere and
// never writes over a library.json it could not read.
//
// Main thread only. Background work gets copies and hands its result back
// through Scheduler::main().post(); a result that arrives after the store was
// reopened at another folder, or destroyed, is dropped.

#include "ItemChanges.h"
#include "LibraryFile.h"
#include "LibraryFileAccess.h"

#include "platform/Scheduler.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace vellora {

class Defaults;
class FilePresenter;
class LibraryWriter;

class LibraryStore : public QObject {
    Q_OBJECT
public:
    // With deferLoad false the library is read at once on this thread; with
    // true the store starts unloaded and the caller runs loadInBackground().
    LibraryStore(const QString &root, bool deferLoad, QObject *parent = nullptr);
    // The same, with the store's own settings ("lastSyncedAt") read from and
    // written to `settings` instead of the user's defaults: throw-away stores
    // keep them in a scratch scope. `settings` must outlive the store.
    LibraryStore(const QString &root, bool deferLoad, Defaults &settings, QObject *parent = nullptr);
    // A pending save is dropped with the store: it never writes later.
    ~LibraryStore() override;

    // The application's store, made on first use at LibraryLocation::root().
    static LibraryStore &shared();

    // --- Published state ---
    bool loaded() const { return m_loaded; }
    QString root() const { return m_root; }
    int importing() const { return m_importing; }
    int syncing() const { return m_syncing; }
    int pendingDownloads() const { return m_pendingDownloads; }
    std::optional<double> lastSyncedAt() const { return m_lastSyncedAt; }
    const QList<Board> &collections() const { return m_collections; }
    const QList<Item> &items() const { return m_items; }
    const QList<SmartFolder> &smartFolders() const { return m_smartFolders; }

    // The first collection's id; empty when there is none.
    QString defaultBoardId() const;
    // The items outside the trash, in order.
    QList<Item> activeItems() const;
    // The first item / collection with that id.
    std::optional<Item> item(const QString &id) const;
    std::optional<Board> collection(const QString &id) const;

    // Non-empty when library.json exists but could not be used (unreadable,
    // undecodable, no collection). The store then stays unloaded and refuses
    // every save, so the file is never written over; a copy of it was put
    // into backups ("damaged-..."). Until a load succeeds the store watches
    // the file and loads again (loadAgain()) when it is replaced or repaired.
    // Changes made meanwhile that are still unsaved when the process quits,
    // ends or reopens another folder are kept in backups ("unsaved-...");
    // the next load of that folder that succeeds adds them and saves them.
    QString loadError() const { return m_loadError; }
    // Time of the last backup made by a save; nothing before the first.
    std::optional<double> lastBackup() const { return m_lastBackup; }
    // True while a change is not yet in library.json: until the save that
    // wrote it has come back from the writer.
    bool hasUnsavedChanges() const { return m_generation != m_savedGeneration; }

    // --- Direct changes by the other subsystems (tags, analysis, links,
    // sharing, imports). Each publishes the change; the caller then calls
    // scheduleSave() or save(). ---
    void replaceItems(const QList<Item> &items);
    void appendItems(const QList<Item> &items);
    // Runs `change` on the first item with that id; false when there is none.
    bool updateItem(const QString &id, const std::function<void(Item &)> &change);
    void replaceCollections(const QList<Board> &collections);
    bool updateCollection(const QString &id, const std::function<void(Board &)> &change);
    void replaceSmartFolders(const QList<SmartFolder> &folders);
    void beginImport();
    void endImport();
    void setPendingDownloads(int count);

    // --- Load and save ---
    // Reads library.json on a background thread and applies it; then runs
    // `completion`, the storage cap, the cover back-fill and the 30-day purge.
    void loadInBackground(std::function<void()> completion = {});
    // Applies a read document; nothing means a new library ("Inbox").
    void apply(const std::optional<LibraryFile> &file);
    // Calls `then` once the load finished (polling every 50 ms), with true
    // when the library loaded and false when its file could not be used.
    void waitUntilLoaded(std::function<void(bool loaded)> then);
    // Blocks in a local event loop until then; for the command-line modes.
    bool waitUntilLoaded();
    // Requests a save 0.5 s from now, replacing one requested earlier. The
    // save itself is saveSoon(): the main thread never waits on the disk.
    void scheduleSave();
    bool savePending() const { return m_saveDebouncer.pending(); }
    // Hands the library as it is now to the background writer and returns at
    // once. The writer encodes it, takes the write lock (waiting for another
    // process on its own thread), merges a version written elsewhere, writes
    // and makes the timed backup; the outcome comes back to the main thread
    // later. A snapshot still waiting for the writer is replaced by this one.
    // `done`, when given, runs on the main thread once this snapshot (or a
    // newer one) was written (true) or failed (false); never after the store
    // was reopened or destroyed. False (and `done` with false, at once) when
    // the save was refused: still loading, or a file that could not be used.
    bool saveSoon(std::function<void(bool written)> done = {});
    // Writes library.json now and waits for it: for the command-line modes,
    // quitting, termination and reopen(), never for the window's edits. False
    // when nothing was written; every refused or failed save prints
    // "library.json not saved: " and the reason, except while a load is
    // still running.
    bool save();
    // Waits until the writer has finished what it was given and takes its
    // outcome; true when the last save that finished wrote.
    bool waitForWrites();
    // The background writer, for tests and benchmarks that watch it.
    const LibraryWriter &writer() const { return *m_writer; }
    // Why the last save wrote nothing; empty after a save that wrote.
    QString lastSaveError() const { return m_lastSaveError; }
    void markSynced();
    // Re-reads library.json when it changed on disk since this store last
    // wrote or read it. Local changes that are not saved yet are merged with
    // it (see LibraryMerge.h) and the other version is also kept in backups
    // as a "conflict-" file. A save that finds the file written elsewhere
    // since this store last saw it does the same before it writes.
    void reload(std::function<void()> completion = {});
    // "Sync Now": reload, thumbnail downloads, collection sharing.
    void syncNow(std::function<void()> done = {});
    // Switches to another library folder, saving pending changes first.
    void reopen(const QString &root);
    // Reads library.json again once it was restored or repaired while it
    // could not be used (loadError()). What was changed meanwhile is not
    // thrown away: it is merged into the file read and saved soon. Asked
    // while such a load runs, it reads once more should that one fail.
    void loadAgain();

    // --- Edits ---
    QString createCollection(const QString &name);
    void renameCollection(const QString &id, const QString &name);
    void deleteCollection(const QString &id);
    // Moves a collection to `index` of the list as it is before the move (a
    // drop between two rows), keeping the first, default collection first.
    // False when nothing moved.
    bool moveCollection(const QString &id, int index);
    void setCollections(const QStringList &collectionIds, const QString &itemId);
    void trash(const QStringList &ids);
    void restore(const QStringList &ids);
    void deletePermanently(const QString &id);
    void purgeTrash(double olderThanDays);
    void markOpened(const QString &id);
    void saveSmartFolder(const SmartFolder &folder);
    void deleteSmartFolder(const QString &id);

    // --- Services (do nothing until their hooks are installed) ---
    void indexInSpotlight(const QList<Item> &items);
    void removeFromSpotlight(const QStringList &ids);
    void reindexSpotlightIfNeeded();
    void enforceStorageCap(const std::optional<QString> &keep = std::nullopt);
    void backfillCovers();
    void prefetchThumbnails(const QList<Item> &items);

signals:
    void loadedChanged(bool loaded);
    void collectionsChanged();
    void itemsChanged();
    // Sent just before itemsChanged() by the edits that touch known records
    // (append, update, trash, restore, permanent delete, collection
    // membership, opening counts). An itemsChanged() without it before means
    // that anything may have changed (replace, load, reload, merge, reopen).
    void itemsEdited(const vellora::ItemChanges &changes);
    void smartFoldersChanged();
    void importingChanged(int importing);
    void syncingChanged(int syncing);
    void pendingDownloadsChanged(int pendingDownloads);
    void lastSyncedAtChanged();
    void loadErrorChanged(const QString &error);
    void rootChanged(const QString &root);

private:
    // The changes kept by earlier runs (see loadError()), read with a load.
    struct KeptChanges {
        QStringList paths;
        QList<LibraryFile> documents;
    };
    static KeptChanges readKeptChanges(const QString &root);

    void setLoaded(bool loaded);
    void setSyncing(int syncing);
    void touch();
    // Applies a load's read and adds the changes held or kept meanwhile;
    // false (and unloaded) for a file that exists but could not be used.
    bool applyLoad(const LibraryRead &read, quint64 seenAt, const KeptChanges &kept);
    void clearLoadError();
    LibraryFile currentDocument() const;
    void applyMerged(const LibraryFile &merged);
    void keepBaseApart();
    // Applies a reload's read, merging it with unsaved changes; `finish` ends the reload.
    void takeReload(const LibraryRead &read, std::optional<double> current, quint64 seenAt,
                    std::function<void()> finish);
    bool reloadOvertaken(const LibraryRead &read, quint64 seenAt) const;
    // Refuses (with the message) or hands a snapshot to the writer.
    bool startSave();
    // Takes back what the writer finished, in order.
    void applyWriteResults();
    void refuseDamagedFile(const LibraryRead &read);
    void damagedFileChanged();
    // Writes the unsaved changes of a library that could not be loaded to
    // backups, for the next load to add.
    void keepUnsavedChanges();
    void readNow();
    // Moves the media files that no item names, left by killed writers, aside.
    void sweepUnlisted();
    // Takes out one record and those of its files that no other record names.
    void removeRecordAt(qsizetype index);

    bool m_loaded = true;
    QString m_root;
    Defaults *m_settings;
    int m_importing = 0;
    int m_syncing = 0;
    int m_pendingDownloads = 0;
    std::optional<double> m_lastSyncedAt;
    std::optional<double> m_lastBackup;
    QList<Board> m_collections;
    QList<Item> m_items;
    QList<SmartFolder> m_smartFolders;
    // Modification date of library.json as this store last wrote or reloaded it.
    std::optional<double> m_known;
    // The file as this store last saw it; a different one at save time was
    // written by someone else and is backed up before it is replaced.
    FileStamp m_seen;
    // The library as that file held it: the common ancestor when local
    // changes meet a version written elsewhere.
    LibraryFile m_base;
    // When m_seen was taken (LibraryWriter::observe()): of a load, a reload
    // and a write that come back in any order, the newest sight counts.
    quint64 m_seenAt = 0;
    // Merged saves of this folder taken back from the writer.
    quint64 m_mergesApplied = 0;
    // Callers of saveSoon() waiting for a generation to be written.
    struct SaveWaiter {
        quint64 generation;
        std::function<void(bool)> done;
    };
    QList<SaveWaiter> m_saveWaiters;
    bool m_lastWriteSucceeded = false;
    Debouncer m_saveDebouncer{0.5};
    QString m_loadError;
    // The changes made while library.json could not be used, waiting for
    // loadAgain() to merge them into the restored file.
    std::optional<LibraryFile> m_heldEdits;
    // Watches library.json while it could not be used.
    FilePresenter *m_damagedWatch = nullptr;
    bool m_damagedChangePosted = false;
    // The file changed while a load was reading it.
    bool m_loadAgainPending = false;
    // The generation last kept by keepUnsavedChanges().
    std::optional<quint64> m_keptGeneration;
    // Bumped by every change; equal to m_savedGeneration when all is on disk.
    quint64 m_generation = 0;
    quint64 m_savedGeneration = 0;
    // Bumped by reopen(); a background result of an older folder is dropped.
    quint64 m_rootToken = 0;
    int m_terminationHook = 0;
    QString m_lastSaveError;
    // Last: it is joined first, while everything it reports to still exists.
    std::unique_ptr<LibraryWriter> m_writer;
};

} // namespace vellora
