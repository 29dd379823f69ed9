#pragma once
// Shares collections with other people through the cloud database and keeps
// them in step both ways: share, accept, fetch, push, rename, stop or leave.
// One instance serves the application's store (shared()); tests make their
// own on a store, a settings scope and a container of their choice.
//
// Main thread only. Every cloud call answers on the main thread; changes to
// the library go through the store, followed by a save.

#include "CloudDatabase.h"
#include "SharingRecords.h"

#include "library/LibraryStore.h"

#include <QHash>
#include <QSet>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

namespace vellora {

class Defaults;

class CollectionSharing : public QObject {
    Q_OBJECT
public:
    using ContainerFactory = std::function<CloudContainer *(QObject *parent)>;
    CollectionSharing(LibraryStore &store, Defaults &settings, ContainerFactory makeContainer,
                      QObject *parent = nullptr);
    ~CollectionSharing() override;

    // The application's instance on LibraryStore::shared(), talking to the
    // service named by the settings "sharingServerURL" and "sharingToken".
    static CollectionSharing &shared();
    // The application's instance when it serves `store`; nothing otherwise.
    static CollectionSharing *forStore(LibraryStore &store);

    LibraryStore &store() const { return *m_store; }
    // Made on first use.
    CloudContainer &container();
    bool subscribed() const { return m_subscribed; }
    // Collections whose push is running.
    QStringList uploads() const;
    // Runs `done` once no push is running (at once when none is).
    void whenUploadsFinish(std::function<void()> done);

    // --- The engine ---
    // Shares the collection (or finds its existing share) and answers with
    // the share record, whose shareURL() is the link to hand out.
    void share(const QString &collectionId, CloudCallback<CloudRecord> done);
    // The owner ends the share for everybody; a participant leaves it.
    void stopSharing(const QString &collectionId, std::function<void(bool stopped)> done = {});
    void accept(const CloudShareMetadata &metadata, std::function<void(bool accepted)> done = {});
    // As accept(), with the reason when it fails.
    void acceptShare(const CloudShareMetadata &metadata, std::function<void(std::optional<CloudError>)> done);
    // Looks the URL up and accepts it; an error when it is no share of the service.
    void acceptURL(const QUrl &url, std::function<void(std::optional<CloudError>)> done = {});
    // Fetches, then pushes, every shared collection; `done` in every case.
    void sync(std::function<void()> done = {});
    // Starts a push of every shared collection whose items or name changed.
    void pushChanges();
    // Pushes one collection; one push per collection runs at a time, and a
    // request during one runs once more afterwards.
    void push(const QString &collectionId);
    void rename(const QString &collectionId, std::function<void(bool renamed)> done = {});
    void fetch(const QString &collectionId, std::function<void()> done = {});

    // --- Share administration (the Manage Sharing dialog) ---
    void fetchShare(const QString &collectionId, CloudCallback<CloudRecord> done);
    void saveShare(const QString &collectionId, const CloudRecord &share, CloudCallback<CloudRecord> done);

    // --- Mapping and local state ---
    std::optional<SharingSnapshot> snapshot() const;
    CloudDatabase &database(const Board &board);
    // The active items of the collection, in library order.
    QList<Item> items(const QString &collectionId) const;
    void forgetShare(const QString &collectionId);
    QByteArray storedToken(const QString &zone) const;
    // True for an item made here from someone else's records: its facts came
    // with it, and the link road runs for it only on the user's request.
    bool cameFromOthers(const QString &itemId) const;
    // The engine serving `store`, if any.
    static CollectionSharing *serving(const LibraryStore &store);
    // The engine serving `store`, else the application's.
    static CollectionSharing &of(LibraryStore &store);

signals:
    void sharesChanged();

private:
    struct Upload;
    void runPush(const QString &collectionId);
    void finishPush(const QString &collectionId);
    void fetchPage(const QString &collectionId, std::function<void()> done);
    void applyChanges(const QString &collectionId, const CloudZoneChanges &changes, std::function<void()> done);
    void finishApply(const QString &collectionId, const CloudZoneChanges &changes, QList<Item> newItems,
                     std::function<void()> done);
    void removeItems(const QStringList &ids, const Board &board);
    void updateSnapshot(const QString &collectionId, const QStringList &add, const QStringList &remove);
    void setSharedName(const QString &collectionId, const QString &name);
    void retitleShare(const QString &collectionId, const QString &name, std::function<void()> done);
    // True when the collection's name here is not the one last agreed with the service.
    bool renamedHere(const Board &board) const;
    void subscribe(std::function<void()> done);
    // What was agreed with the service about the collection's items.
    QHash<QString, QString> agreed(const QString &collectionId) const;
    void setAgreed(const QString &collectionId, const QHash<QString, QString> &changes, const QStringList &gone = {});
    void markReceived(const QStringList &ids);
    // A failure the service may get over (an outage, a restart): a sync
    // follows later, each time later still, until one goes through.
    void noteFailure(int code);
    void retryLater();
    void runSync();
    void finishSync();

    QPointer<LibraryStore> m_store;
    Defaults &m_settings;
    ContainerFactory m_makeContainer;
    CloudContainer *m_container = nullptr;
    bool m_subscribed = false;
    QHash<QString, std::shared_ptr<Upload>> m_uploads;
    QList<std::function<void()>> m_uploadWaiters;
    bool m_syncing = false;
    bool m_syncAgain = false;
    QList<std::function<void()>> m_syncWaiters;
    quint64 m_retry = 0;
    double m_retryDelay;
    bool m_failedSinceRetry = false;
    mutable std::optional<QSet<QString>> m_received;
};

// Installs the store's hooks for sharing: after every save the shared
// collections are pushed, and "Sync Now" and change tracking sync them.
void installCollectionSharing();

} // namespace vellora
