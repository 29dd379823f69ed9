#pragma once
// Keeps the running application in step with changes it did not make itself:
// another machine (or process) rewriting library.json, thumbnails arriving
// from the cloud, and drops that the share program leaves in the drops folder.
// Three sources, all started by start():
//   - a presenter of library.json, whose change reloads the store;
//   - for a cloud library only, a metadata query that asks for downloads,
//     reloads when a new library.json is present and counts thumbnails down;
//   - a watcher of the drops folder, whose events start a drops scan 1.0 s
//     after the last of them.
// Main thread only, except the scans, which run on a worker thread.

#include "Drops.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace vellora {

class FilePresenter;
class FolderWatcher;
class MetadataQuery;
struct MetadataItem;

// What change tracking needs of the library store. The store provides it;
// tests use fakes. Main thread, except drops(), which the scan also uses on
// its worker thread as DropsLibrary documents.
class SyncedLibrary {
public:
    virtual ~SyncedLibrary() = default;

    // False once the store is gone: every handler then does nothing.
    virtual bool alive() const { return true; }

    virtual QString root() const = 0;
    virtual bool isCloudLibrary() const = 0;
    virtual QString dropsDirectory() const = 0;
    virtual QString defaultBoardId() const = 0;

    virtual bool isLoaded() const = 0;
    virtual int importing() const = 0;
    // Raises the import count by one; the scan lowers it (DropsLibrary::endImport).
    virtual void beginImport() = 0;

    virtual int pendingDownloads() const = 0;
    virtual void setPendingDownloads(int count) = 0;

    // Re-reads library.json when it changed on disk, and applies it.
    virtual void reload() = 0;
    virtual void markSynced() = 0;
    // Asks for a file of the cloud place to be downloaded; errors are dropped.
    virtual void startDownloading(const QString &path) = 0;
    // One collection-sharing sync; done runs on the main thread afterwards.
    virtual void syncSharing(std::function<void()> done) = 0;

    virtual DropsLibrary &drops() = 0;
};

class LibrarySync : public QObject {
    Q_OBJECT
public:
    explicit LibrarySync(QObject *parent = nullptr);
    ~LibrarySync() override;

    // The process-wide instance, made on first use.
    static LibrarySync &shared();

    // Starts (or restarts) all three sources for the library's folder.
    void start(std::shared_ptr<SyncedLibrary> library);
    // Stops every source and forgets the library.
    void stop();

    // (Re)starts the drops watcher on a folder, creating it, and arms one scan.
    void startWatcher(const QString &folder);
    // Arms the debounced drops scan: 1.0 s after the last call.
    void scheduleIngest();
    // The debounced action: starts a drops scan unless one cannot run now.
    void ingestDrops();

    // The metadata query handlers (gathering finished, update).
    void gathered();
    void updated(const QList<MetadataItem> &added, const QList<MetadataItem> &changed);
    void handleDrops(const QList<MetadataItem> &items);

    // How the cloud query is made for a cloud library; the default is the
    // plain-folder query. Tests install fakes.
    using QueryFactory = std::function<std::unique_ptr<MetadataQuery>(const QString &root)>;
    void setQueryFactory(QueryFactory factory);

    // Seconds between the last drops-folder event and the scan.
    static constexpr double kIngestDelay = 1.0;

    QString presentedPath() const;
    bool isWatchingDrops() const;
    MetadataQuery *query() const { return m_query.get(); }
    bool ingestPending() const { return m_pendingIngest != 0; }

signals:
    // A drops scan was started (on its worker thread) / has finished.
    void ingestStarted();
    void ingestFinished(const vellora::DropsScanReport &report);

private:
    void presentedItemDidChange();
    void scheduleIngestAfter(double seconds);
    void onDropsEvent(const QString &name);

    std::shared_ptr<SyncedLibrary> m_library;
    FilePresenter *m_presenter;
    FolderWatcher *m_watcher;
    std::unique_ptr<MetadataQuery> m_query;
    QueryFactory m_queryFactory;
    quint64 m_pendingIngest = 0;
    bool m_reloadPosted = false;
    // Tells late callbacks of an earlier start() apart from current ones.
    quint64 m_generation = 0;
};

} // namespace vellora
