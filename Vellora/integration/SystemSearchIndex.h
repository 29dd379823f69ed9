#pragma once
// The library's items in the desktop search index (SearchIndex.h): what the
// store's indexInSpotlight, removeFromSpotlight and reindexSpotlightIfNeeded
// do once installSearchIndexServices() has run.
//
// Only the default local library and a library in the cloud place are
// indexed; a library elsewhere (a command-line import target, a test folder)
// never is. The calls come on the main thread and return at once: the items
// are copied and written in order by one worker, one transaction per call.
// Nothing is reported to the caller; a failed write prints "spotlight: " and
// the reason on standard error. An index file that is missing, damaged or not
// ours is thrown away and built again from the library.
//
// Once a store has loaded (reindexIfNeeded) the index follows it: every item
// whose searchable fields may have changed (recognised text, labels, tags,
// title, a link's fetched facts) is written again, gathered for half a
// second so that a burst of edits becomes one write; a change of the whole
// list (a reload, a merge) brings every row in line with its item.

#include "SearchIndex.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace vellora {

class Defaults;
class LibraryStore;
struct Item;

class SystemSearchIndex : public QObject {
    Q_OBJECT
public:
    // The user default that says which version of the index was last built.
    static constexpr char kVersionKey[] = "spotlightVersion";
    static constexpr int kVersion = 2;

    // The index at `path`; the version is read from and stored in `settings`,
    // which must outlive this object.
    SystemSearchIndex(const QString &path, Defaults &settings, QObject *parent = nullptr);
    // Writes what is queued first.
    ~SystemSearchIndex() override;

    // The process's index at defaultPath() with the user's defaults.
    static SystemSearchIndex &shared();
    // $XDG_DATA_HOME/Vellora/search-index.sqlite
    static QString defaultPath();
    // The default local library folder or a library in the cloud place.
    static bool indexesRoot(const QString &root);
    // What the index keeps of an item of the library at `root`: its cover,
    // else its thumbnail, as the picture. Reads the disk (the cover test).
    static SearchDocument document(const Item &item, const QString &root);

    // --- The store's three operations; main thread. ---
    void index(LibraryStore &store, const QList<Item> &items);
    void remove(LibraryStore &store, const QStringList &ids);
    // A stored version below 2 rebuilds the index from the items outside the
    // trash and stores 2. Otherwise the index is brought in line with them by
    // id: rows of items that are gone are removed and items without a row
    // added (a missing file is built in full), so what a command-line run
    // could not write reaches the index now.
    void reindexIfNeeded(LibraryStore &store);

    // Blocks until the queued writes are done, the gathered changes first:
    // tests and the end of a command-line mode. Main thread.
    void waitForIdle();
    // How long changes are gathered before they are written.
    static constexpr double kBatchDelay = 0.5;
    // Where the "spotlight: " lines go; standard error unless set. Any thread.
    void setErrorOutput(std::function<void(const QString &line)> output);

private:
    enum class Operation { Upsert, Remove, ReplaceAll, Reconcile };
    struct Job {
        Operation operation;
        QList<Item> items;
        QStringList ids;
        QString root;
    };

    void submit(LibraryStore &store, Job job);
    // Worker side.
    void run(const Job &job);
    bool ensureOpen(bool *rebuild);
    bool discardAndReopen();
    void report(const QString &message);
    // Main side: gathers the library's items for a full rebuild.
    void rebuildFromLibrary();
    // Main side: watches the store's edits.
    void follow(LibraryStore &store);
    void gather(const QStringList &ids);
    void flushChanges();

    QString m_path;
    Defaults *m_settings;
    QThreadPool m_worker;
    std::unique_ptr<SearchIndex> m_index; // worker only
    QPointer<LibraryStore> m_store;       // main thread only
    std::atomic<bool> m_rebuildRequested{false};
    // Main thread: the store followed, the ids changed since the last write,
    // whether the whole list changed, and whether a write is due.
    QPointer<LibraryStore> m_followed;
    QSet<QString> m_changed;
    bool m_everything = false;
    bool m_edited = false;
    bool m_flushPosted = false;
    std::mutex m_outputLock;
    std::function<void(const QString &)> m_output;
};

// Connects the store's search-index hooks (library/Services.h) to
// SystemSearchIndex::shared(). Call once, before the shared store loads.
void installSearchIndexServices();

} // namespace vellora
