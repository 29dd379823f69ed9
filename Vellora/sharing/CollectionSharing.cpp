#include "CollectionSharing.h"

#include "HttpCloud.h"

#include "enrichment/LinkPipeline.h"
#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"
#include "library/SafeNames.h"
#include "library/Services.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/Digest.h"
#include "platform/FileCopy.h"
#include "platform/Logging.h"
#include "platform/Scheduler.h"
#include "platform/Uuid.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThreadPool>

namespace vellora {

namespace {

constexpr qsizetype kBatchSize = 20;
// Retries after a failure the service may get over: 2 s, then twice as long
// each time, at most 5 minutes.
constexpr double kFirstRetrySeconds = 2.0;
constexpr double kLastRetrySeconds = 300.0;

CollectionSharing *g_shared = nullptr;
QHash<const LibraryStore *, CollectionSharing *> g_serving;

// Failures that waiting does not mend: the request itself is wrong or not allowed.
bool isLasting(int code)
{
    switch (code) {
    case CloudBadContainer:
    case CloudNotAuthenticated:
    case CloudPermissionFailure:
    case CloudUnknownItem:
    case CloudInvalidArguments:
    case CloudLimitExceeded:
    case CloudZoneNotFound:
    case CloudUserDeletedZone:
        return true;
    default:
        return false;
    }
}

// Answers `done` with an error from the event loop, never from inside the
// call, the way every cloud call answers.
template <typename T>
void failLater(QObject *context, CloudCallback<T> done, int code, const QString &message)
{
    QMetaObject::invokeMethod(
        context, [done = std::move(done), error = cloudError(code, message)] { done(error); }, Qt::QueuedConnection);
}

// Calls `done` once `count` calls of the returned function were made.
std::function<void()> countdown(int count, std::function<void()> done)
{
    auto left = std::make_shared<int>(count);
    if (count <= 0) {
        done();
        return [] {};
    }
    return [left, done = std::move(done)] {
        if (--*left == 0)
            done();
    };
}

} // namespace

struct CollectionSharing::Upload {
    bool again = false;
};

CollectionSharing::CollectionSharing(LibraryStore &store, Defaults &settings, ContainerFactory makeContainer,
                                     QObject *parent)
    : QObject(parent), m_store(&store), m_settings(settings), m_makeContainer(std::move(makeContainer)),
      m_retryDelay(kFirstRetrySeconds)
{
    g_serving.insert(&store, this);
    // The link road asks whether an item came from someone else's share.
    static const bool hooked = [] {
        LinkPipelineServices::installed().cameFromOthers = [](const LibraryStore &store, const QString &itemId) {
            const CollectionSharing *sharing = serving(store);
            return sharing && sharing->cameFromOthers(itemId);
        };
        return true;
    }();
    Q_UNUSED(hooked);
}

CollectionSharing::~CollectionSharing()
{
    if (m_retry)
        Scheduler::main().cancel(m_retry);
    for (auto it = g_serving.begin(); it != g_serving.end();)
        it = it.value() == this ? g_serving.erase(it) : std::next(it);
    if (g_shared == this)
        g_shared = nullptr;
}

CollectionSharing *CollectionSharing::serving(const LibraryStore &store) { return g_serving.value(&store); }

CollectionSharing &CollectionSharing::of(LibraryStore &store)
{
    if (CollectionSharing *found = serving(store))
        return *found;
    return shared();
}

bool CollectionSharing::cameFromOthers(const QString &itemId) const
{
    if (!m_received) {
        const QStringList stored = m_settings.value(kReceivedKey).toStringList();
        m_received = QSet<QString>(stored.begin(), stored.end());
    }
    return m_received->contains(itemId);
}

void CollectionSharing::markReceived(const QStringList &ids)
{
    if (ids.isEmpty())
        return;
    QStringList received = m_settings.value(kReceivedKey).toStringList();
    for (const QString &id : ids)
        if (!received.contains(id))
            received.append(id);
    m_settings.set(kReceivedKey, received);
    m_received = QSet<QString>(received.begin(), received.end());
}

QHash<QString, QString> CollectionSharing::agreed(const QString &collectionId) const
{
    QHash<QString, QString> found;
    const QVariantMap entry = m_settings.value(kAgreedKey).toMap().value(collectionId).toMap();
    for (auto it = entry.begin(); it != entry.end(); ++it)
        found.insert(it.key(), it.value().toString());
    return found;
}

void CollectionSharing::setAgreed(const QString &collectionId, const QHash<QString, QString> &changes,
                                  const QStringList &gone)
{
    if (changes.isEmpty() && gone.isEmpty())
        return;
    QVariantMap all = m_settings.value(kAgreedKey).toMap();
    QVariantMap entry = all.value(collectionId).toMap();
    for (auto it = changes.begin(); it != changes.end(); ++it)
        entry.insert(it.key(), it.value());
    for (const QString &id : gone)
        entry.remove(id);
    all.insert(collectionId, entry);
    m_settings.set(kAgreedKey, all);
}

void CollectionSharing::noteFailure(int code)
{
    if (isLasting(code))
        return;
    m_failedSinceRetry = true;
    retryLater();
}

void CollectionSharing::retryLater()
{
    if (m_retry)
        return;
    const double delay = m_retryDelay;
    m_retryDelay = std::min(m_retryDelay * 2, kLastRetrySeconds);
    QPointer<CollectionSharing> self(this);
    m_retry = Scheduler::main().postAfter(delay, [self] {
        if (!self)
            return;
        self->m_retry = 0;
        self->m_failedSinceRetry = false;
        qCInfo(lcSharing, "retrying after a failure");
        self->sync([self] {
            if (!self)
                return;
            self->whenUploadsFinish([self] {
                // Through without a failure: the next outage starts from the short wait again.
                if (self && !self->m_failedSinceRetry && !self->m_retry)
                    self->m_retryDelay = kFirstRetrySeconds;
            });
        });
    });
}

CollectionSharing &CollectionSharing::shared()
{
    static CollectionSharing *instance = [] {
        auto *made = new CollectionSharing(LibraryStore::shared(), Defaults::standard(), [](QObject *parent) {
            return makeServiceContainer(Defaults::standard(), parent);
        });
        g_shared = made;
        return made;
    }();
    return *instance;
}

CollectionSharing *CollectionSharing::forStore(LibraryStore &store)
{
    if (!g_shared) {
        // Only the application's own library is shared; a store that command-line
        // imports make on another folder never starts the service.
        if (QFileInfo(store.root()) != QFileInfo(LibraryLocation::root()))
            return nullptr;
        shared();
    }
    return g_shared && &g_shared->store() == &store ? g_shared : nullptr;
}

CloudContainer &CollectionSharing::container()
{
    if (!m_container) {
        m_container = m_makeContainer(this);
        connect(m_container, &CloudContainer::remoteChange, this, [this] { sync(); });
    }
    return *m_container;
}

QStringList CollectionSharing::uploads() const
{
    QStringList ids = m_uploads.keys();
    ids.sort();
    return ids;
}

void CollectionSharing::whenUploadsFinish(std::function<void()> done)
{
    if (m_uploads.isEmpty())
        done();
    else
        m_uploadWaiters.append(std::move(done));
}

CloudDatabase &CollectionSharing::database(const Board &board)
{
    return scopeFor(board) == CloudScope::Shared ? container().sharedDatabase() : container().privateDatabase();
}

QList<Item> CollectionSharing::items(const QString &collectionId) const
{
    QList<Item> found;
    for (const Item &item : m_store->items())
        if (!item.trashedAt && item.collectionIds.contains(collectionId))
            found.append(item);
    return found;
}

std::optional<SharingSnapshot> CollectionSharing::snapshot() const
{
    return decodeSnapshot(m_settings.value(kSnapshotKey));
}

QByteArray CollectionSharing::storedToken(const QString &zone) const
{
    return QByteArray::fromBase64(m_settings.string(kTokenKeyPrefix + zone).toLatin1());
}

void CollectionSharing::updateSnapshot(const QString &collectionId, const QStringList &add, const QStringList &remove)
{
    SharingSnapshot all = snapshot().value_or(SharingSnapshot());
    QStringList entry = all.value(collectionId);
    const QSet<QString> gone(remove.begin(), remove.end());
    entry.removeIf([&](const QString &id) { return gone.contains(id); });
    for (const QString &id : add)
        if (!entry.contains(id))
            entry.append(id);
    all.insert(collectionId, entry);
    m_settings.set(kSnapshotKey, encodeSnapshot(all));
}

bool CollectionSharing::renamedHere(const Board &board) const
{
    const QVariantMap agreed = m_settings.value(kSharedNamesKey).toMap();
    return agreed.contains(board.id) && agreed.value(board.id).toString() != board.name;
}

void CollectionSharing::setSharedName(const QString &collectionId, const QString &name)
{
    QVariantMap names = m_settings.value(kSharedNamesKey).toMap();
    names.insert(collectionId, name);
    m_settings.set(kSharedNamesKey, names);
}

// ---------------------------------------------------------------- share

void CollectionSharing::share(const QString &collectionId, CloudCallback<CloudRecord> done)
{
    const auto board = m_store->collection(collectionId);
    if (!board)
        return failLater(this, done, CloudUnknownItem, QStringLiteral("no such collection"));
    QPointer<CollectionSharing> self(this);
    if (board->zone) {
        // Already shared: hand out the share that exists.
        fetchShare(collectionId, done);
        return;
    }
    const CloudZoneID zone{zoneNameFor(collectionId), kCurrentUserDefaultName};
    CloudDatabase &db = container().privateDatabase();
    db.saveZone(zone, [self, zone, collectionId, done](CloudResult<CloudNothing> saved) {
        if (!self)
            return;
        if (isError(saved))
            return done(std::get<CloudError>(saved));
        qCInfo(lcSharing, "share: zone %s created", qUtf8Printable(zone.name));
        const auto board = self->m_store->collection(collectionId);
        if (!board)
            return done(cloudError(CloudUnknownItem, QStringLiteral("no such collection")));
        CloudRecord root = collectionRecord(*board, zone);
        CloudRecord share;
        share.type = kShareRecordType;
        share.name = newUUIDString();
        share.zone = zone;
        share.fields.insert(cloudprotocol::kTitle, board->name);
        share.fields.insert(cloudprotocol::kPublicPermission, QString(cloudprotocol::kPermissionNone));
        share.fields.insert(cloudprotocol::kRootRecord, root.name);
        share.setParticipants({});
        self->container().privateDatabase().modify(
            zone, {root, share}, {}, CloudSavePolicy::IfServerRecordUnchanged, true,
            [self, zone, collectionId, done, name = board->name](CloudResult<CloudModifyResult> result) {
                if (!self)
                    return;
                if (isError(result))
                    return done(std::get<CloudError>(result));
                CloudRecord savedShare;
                for (const CloudRecord &record : std::get<CloudModifyResult>(result).saved)
                    if (record.type == kShareRecordType)
                        savedShare = record;
                self->m_store->updateCollection(collectionId, [&](Board &b) {
                    b.zone = zone.name;
                    b.zoneOwner = kCurrentUserDefaultName;
                });
                // Nothing is on the service yet: the push records what it confirms.
                self->updateSnapshot(collectionId, {}, {});
                self->setSharedName(collectionId, name);
                self->m_store->saveSoon();
                self->push(collectionId);
                qCInfo(lcSharing, "share: %s shared at %s", qUtf8Printable(name),
                       qUtf8Printable(savedShare.shareURL()));
                emit self->sharesChanged();
                done(savedShare);
            });
    });
}

void CollectionSharing::fetchShare(const QString &collectionId, CloudCallback<CloudRecord> done)
{
    const auto board = m_store->collection(collectionId);
    if (!board || !board->zone)
        return failLater(this, done, CloudUnknownItem, QStringLiteral("collection not shared"));
    QPointer<CollectionSharing> self(this);
    const CloudZoneID zone = zoneFor(*board);
    const CloudScope scope = scopeFor(*board);
    database(*board).fetchRecord(zone, collectionId, [self, zone, scope, done](CloudResult<CloudRecord> root) {
        if (!self)
            return;
        if (isError(root))
            return done(std::get<CloudError>(root));
        const QString shareName = std::get<CloudRecord>(root).fields.value(cloudprotocol::kShare).toString();
        if (shareName.isEmpty())
            return done(cloudError(CloudUnknownItem, QStringLiteral("collection has no share")));
        CloudDatabase &db = scope == CloudScope::Shared ? self->container().sharedDatabase()
                                                        : self->container().privateDatabase();
        db.fetchRecord(zone, shareName, done);
    });
}

void CollectionSharing::saveShare(const QString &collectionId, const CloudRecord &share, CloudCallback<CloudRecord> done)
{
    const auto board = m_store->collection(collectionId);
    if (!board || !board->zone)
        return failLater(this, done, CloudUnknownItem, QStringLiteral("collection not shared"));
    database(*board).modify(zoneFor(*board), {share}, {}, CloudSavePolicy::IfServerRecordUnchanged, true,
                            [done](CloudResult<CloudModifyResult> result) {
                                if (isError(result))
                                    return done(std::get<CloudError>(result));
                                for (const CloudRecord &r : std::get<CloudModifyResult>(result).saved)
                                    if (r.type == kShareRecordType)
                                        return done(r);
                                done(cloudError(CloudInternalError, QStringLiteral("share not saved")));
                            });
}

// ---------------------------------------------------------------- stop, accept

void CollectionSharing::stopSharing(const QString &collectionId, std::function<void(bool)> done)
{
    const auto board = m_store->collection(collectionId);
    if (!board || !board->zone) {
        if (done)
            done(false);
        return;
    }
    QPointer<CollectionSharing> self(this);
    database(*board).deleteZone(zoneFor(*board), [self, collectionId, done](CloudResult<CloudNothing> result) {
        if (!self)
            return;
        if (isError(result)) {
            qCWarning(lcSharing, "stop sharing: %s", qUtf8Printable(std::get<CloudError>(result).description()));
            if (done)
                done(false);
            return;
        }
        self->forgetShare(collectionId);
        if (done)
            done(true);
    });
}

void CollectionSharing::forgetShare(const QString &collectionId)
{
    const auto board = m_store->collection(collectionId);
    if (!board)
        return;
    if (board->zone)
        m_settings.remove(kTokenKeyPrefix + *board->zone);
    if (isJoined(*board) && board->zone) {
        // Accepting the same share again later joins this collection again.
        QVariantMap left = m_settings.value(kLeftKey).toMap();
        left.insert(collectionId, QStringList{*board->zoneOwner, *board->zone});
        m_settings.set(kLeftKey, left);
    }
    QVariantMap agreedAll = m_settings.value(kAgreedKey).toMap();
    if (agreedAll.remove(collectionId))
        m_settings.set(kAgreedKey, agreedAll);
    m_store->updateCollection(collectionId, [](Board &b) {
        b.zone.reset();
        b.zoneOwner.reset();
    });
    if (auto all = snapshot()) {
        all->remove(collectionId);
        m_settings.set(kSnapshotKey, encodeSnapshot(*all));
    }
    QVariantMap names = m_settings.value(kSharedNamesKey).toMap();
    names.remove(collectionId);
    m_settings.set(kSharedNamesKey, names);
    m_store->saveSoon();
    emit sharesChanged();
}

void CollectionSharing::acceptURL(const QUrl &url, std::function<void(std::optional<CloudError>)> done)
{
    QPointer<CollectionSharing> self(this);
    const auto refused = container().refusal();
    if (refused || !container().isShareURL(url)) {
        // A service that is not set up says so: no link could be one of its shares.
        const CloudError error =
            refused ? *refused : cloudError(CloudInvalidArguments, QStringLiteral("not a share of the sharing service"));
        QMetaObject::invokeMethod(
            this,
            [done, error] {
                if (done)
                    done(error);
            },
            Qt::QueuedConnection);
        return;
    }
    container().shareMetadata(url, [self, done](CloudResult<CloudShareMetadata> metadata) {
        if (!self)
            return;
        if (isError(metadata)) {
            qCWarning(lcSharing, "accept: %s", qUtf8Printable(std::get<CloudError>(metadata).description()));
            if (done)
                done(std::get<CloudError>(metadata));
            return;
        }
        self->acceptShare(std::get<CloudShareMetadata>(metadata), [done](std::optional<CloudError> error) {
            if (done)
                done(error);
        });
    });
}

void CollectionSharing::accept(const CloudShareMetadata &metadata, std::function<void(bool)> done)
{
    acceptShare(metadata, [done](std::optional<CloudError> error) {
        if (done)
            done(!error);
    });
}

namespace {

// Why a share's root record cannot become a collection here, if it cannot.
// Its name becomes the collection's id, which the window's selection also
// holds for sections and smart folders: one that is already taken would let
// a stranger's collection stand in for the Inbox or for a collection of the
// user's own, and imports into it would go to the stranger.
std::optional<QString> refusedRoot(const LibraryStore &store, const CloudShareMetadata &metadata,
                                   const QVariantMap &left)
{
    const QString id = metadata.rootRecordName;
    // The names become a collection id and a settings key: plain names only.
    if (!isSafePathComponent(id) || !isSafePathComponent(metadata.zone.name) || metadata.zone.owner.isEmpty())
        return QStringLiteral("the share names no usable collection");
    if (isSectionId(id))
        return QStringLiteral("the share's collection is named like a section of the library (%1)").arg(id);
    for (const SmartFolder &folder : store.smartFolders())
        if (folder.id == id)
            return QStringLiteral("the share's collection has the id of a smart folder here");
    if (const auto existing = store.collection(id)) {
        const bool same = existing->zone == metadata.zone.name && existing->zoneOwner == metadata.zone.owner;
        const QStringList was = left.value(id).toStringList();
        const bool rejoin = !existing->zone && was == QStringList{metadata.zone.owner, metadata.zone.name};
        if (!same && !rejoin)
            return QStringLiteral("the share's collection has the id of a collection here");
    }
    return std::nullopt;
}

} // namespace

void CollectionSharing::acceptShare(const CloudShareMetadata &metadata,
                                    std::function<void(std::optional<CloudError>)> done)
{
    QPointer<CollectionSharing> self(this);
    auto fail = [this, done](const CloudError &error) {
        qCWarning(lcSharing, "accept: %s", qUtf8Printable(error.description()));
        QMetaObject::invokeMethod(
            this, [done, error] { if (done) done(error); }, Qt::QueuedConnection);
    };
    // Looked at before the service hears of it: a refused share is not joined there either.
    if (const auto refused = refusedRoot(*m_store, metadata, m_settings.value(kLeftKey).toMap()))
        return fail(cloudError(CloudInvalidArguments, *refused));
    container().accept(metadata, [self, metadata, done, fail](CloudResult<CloudNothing> result) {
        if (!self)
            return;
        if (isError(result))
            return fail(std::get<CloudError>(result));
        LibraryStore &store = *self->m_store;
        // The library may have changed while the service answered.
        if (const auto refused = refusedRoot(store, metadata, self->m_settings.value(kLeftKey).toMap()))
            return fail(cloudError(CloudInvalidArguments, *refused));
        const QString id = metadata.rootRecordName;
        const auto existing = store.collection(id);
        const QString name = metadata.title.isEmpty() ? QStringLiteral("Shared") : metadata.title;
        if (!existing) {
            Board board;
            board.id = id;
            board.name = name;
            board.dateCreated = now();
            board.zone = metadata.zone.name;
            board.zoneOwner = metadata.zone.owner;
            QList<Board> boards = store.collections();
            boards.append(board);
            store.replaceCollections(boards);
            self->updateSnapshot(id, {}, {});
            self->setSharedName(id, name);
            qCInfo(lcSharing, "accepted share %s from %s", qUtf8Printable(name), qUtf8Printable(metadata.zone.owner));
        } else if (!existing->zone) {
            // Accepted again after the collection became local here: it is shared once more.
            store.updateCollection(id, [&](Board &b) {
                b.zone = metadata.zone.name;
                b.zoneOwner = metadata.zone.owner;
            });
            self->updateSnapshot(id, {}, {});
            self->setSharedName(id, existing->name);
        }
        QVariantMap left = self->m_settings.value(kLeftKey).toMap();
        if (left.remove(id))
            self->m_settings.set(kLeftKey, left);
        store.saveSoon();
        emit self->sharesChanged();
        self->sync([done] {
            if (done)
                done(std::nullopt);
        });
    });
}

// ---------------------------------------------------------------- sync

void CollectionSharing::subscribe(std::function<void()> done)
{
    if (m_subscribed)
        return done();
    QPointer<CollectionSharing> self(this);
    auto ok = std::make_shared<int>(0);
    auto finished = countdown(2, [self, ok, done] {
        if (self && *ok == 2)
            self->m_subscribed = true;
        done();
    });
    const auto save = [&](CloudDatabase &db, const QString &id) {
        db.saveSubscription(id, [id, ok, finished](CloudResult<CloudNothing> result) {
            if (isError(result))
                qCWarning(lcSharing, "subscribe %s: %s", qUtf8Printable(id),
                          qUtf8Printable(std::get<CloudError>(result).description()));
            else
                ++*ok;
            finished();
        });
    };
    save(container().privateDatabase(), QStringLiteral("private-changes"));
    save(container().sharedDatabase(), QStringLiteral("shared-changes"));
}

void CollectionSharing::sync(std::function<void()> done)
{
    // One sync at a time: a request while one runs (a push event, the window
    // coming forward) makes it run once more, and every caller hears when
    // the last one has finished.
    if (done)
        m_syncWaiters.append(std::move(done));
    if (m_syncing) {
        m_syncAgain = true;
        return;
    }
    m_syncing = true;
    runSync();
}

void CollectionSharing::finishSync()
{
    if (m_syncAgain) {
        m_syncAgain = false;
        runSync();
        return;
    }
    m_syncing = false;
    const auto waiters = std::exchange(m_syncWaiters, {});
    for (const auto &waiter : waiters)
        waiter();
}

void CollectionSharing::runSync()
{
    QPointer<CollectionSharing> self(this);
    auto done = [self] {
        if (self)
            QMetaObject::invokeMethod(self, [self] { if (self) self->finishSync(); }, Qt::QueuedConnection);
    };
    QStringList shared;
    for (const Board &board : m_store->collections())
        if (board.zone)
            shared.append(board.id);
    if (bundleIdentifier().isEmpty() || shared.isEmpty())
        return done();
    subscribe([self, shared, done] {
        if (!self)
            return done();
        // One collection after the other: fetch, then push.
        auto next = std::make_shared<std::function<void(qsizetype)>>();
        *next = [self, shared, done, next](qsizetype index) {
            if (!self || index >= shared.size()) {
                // Breaking the cycle destroys this very function: keep what is still needed.
                const auto finish = done;
                const auto keep = std::move(*next);
                finish();
                return;
            }
            const QString id = shared.at(index);
            self->fetch(id, [self, id, index, next] {
                if (self) {
                    const auto board = self->m_store->collection(id);
                    if (board && board->zone)
                        self->push(id);
                }
                (*next)(index + 1);
            });
        };
        (*next)(0);
    });
}

// ---------------------------------------------------------------- fetch

void CollectionSharing::fetch(const QString &collectionId, std::function<void()> done)
{
    if (!done)
        done = [] {};
    fetchPage(collectionId, std::move(done));
}

void CollectionSharing::fetchPage(const QString &collectionId, std::function<void()> done)
{
    const auto board = m_store->collection(collectionId);
    if (!board || !board->zone)
        return done();
    QPointer<CollectionSharing> self(this);
    const QString zoneName = *board->zone;
    const QString name = board->name;
    database(*board).fetchZoneChanges(
        zoneFor(*board), storedToken(zoneName),
        [self, collectionId, zoneName, name, done](CloudResult<CloudZoneChanges> result) {
            if (!self)
                return done();
            if (isError(result)) {
                const CloudError &error = std::get<CloudError>(result);
                if (error.code == CloudZoneNotFound || error.code == CloudUserDeletedZone) {
                    qCInfo(lcSharing, "zone %s gone: sharing stopped", qUtf8Printable(zoneName));
                    self->forgetShare(collectionId);
                } else if (error.code == CloudChangeTokenExpired) {
                    self->m_settings.remove(kTokenKeyPrefix + zoneName);
                } else {
                    qCWarning(lcSharing, "fetch %s: %s", qUtf8Printable(name), qUtf8Printable(error.description()));
                    self->noteFailure(error.code);
                }
                return done();
            }
            const CloudZoneChanges changes = std::get<CloudZoneChanges>(result);
            self->applyChanges(collectionId, changes, [self, collectionId, zoneName, name, changes, done] {
                if (!self)
                    return done();
                const auto board = self->m_store->collection(collectionId);
                // The token moves on only once the changes it covers are saved;
                // a collection that stopped being shared meanwhile keeps none.
                if (!board || board->zone != zoneName)
                    return done();
                self->m_settings.set(kTokenKeyPrefix + zoneName, QString::fromLatin1(changes.token.toBase64()));
                qCInfo(lcSharing, "fetched %s", qUtf8Printable(name));
                if (changes.moreComing)
                    self->fetchPage(collectionId, done);
                else
                    done();
            });
        });
}

void CollectionSharing::applyChanges(const QString &collectionId, const CloudZoneChanges &changes,
                                     std::function<void()> done)
{
    const auto board = m_store->collection(collectionId);
    if (!board)
        return done();
    // New items first get their files; the library sees them once they are in place.
    QList<Item> newItems;
    QSet<QString> known;
    for (const Item &item : m_store->items())
        known.insert(item.id);
    const QString root = m_store->root();
    const CloudZoneID zone = zoneFor(*board);
    QPointer<CollectionSharing> self(this);
    struct Download {
        CloudAsset asset;
        QString folder;
        QString name;
    };
    QList<Download> downloads;
    const auto fetchFiles = [&](const CloudRecord &record, const Item &item) {
        const CloudAsset thumbnail = record.assets.value(QStringLiteral("thumbnail"));
        if (!thumbnail.hash.isEmpty() && thumbnail.size <= kMaxSharedAssetBytes)
            downloads.append({thumbnail, QStringLiteral("thumbnails"), item.thumbnailFilename});
        // A link's original is the picture of its page as the sharer saw it.
        const CloudAsset original = record.assets.value(QStringLiteral("original"));
        if (!original.hash.isEmpty() && original.size <= kMaxSharedAssetBytes)
            downloads.append({original, QStringLiteral("originals"), item.storedFilename});
    };
    const QHash<QString, QString> agreedHere = agreed(collectionId);
    for (const CloudRecord &record : changes.changed) {
        if (record.type != kItemRecordType)
            continue;
        if (known.contains(record.name)) {
            // A link shared here before its page was in gets its picture now,
            // unless it was changed here meanwhile.
            const auto item = m_store->item(record.name);
            const QString was = agreedHere.value(record.name);
            const QString thumbnail = record.assets.value(QStringLiteral("thumbnail")).hash;
            if (item && item->kind == QLatin1String("link") && !item->trashedAt && !was.isEmpty()
                && !thumbnail.isEmpty() && agreementParts(was).at(2) != thumbnail && !changedSince(*item, was))
                fetchFiles(record, *item);
            continue;
        }
        auto item = itemFromRecord(record, collectionId, now());
        if (!item)
            continue;
        known.insert(item->id);
        fetchFiles(record, *item);
        newItems.append(*item);
    }
    auto finished = countdown(int(downloads.size()), [self, collectionId, changes, newItems, done] {
        if (!self)
            return done();
        self->finishApply(collectionId, changes, newItems, done);
    });
    for (const Download &download : downloads) {
        QDir().mkpath(root + QLatin1Char('/') + download.folder);
        const auto target = libraryFilePath(root, download.folder, download.name);
        if (!target) {
            finished();
            continue;
        }
        const QString partial = *target + QStringLiteral(".part");
        database(*board).downloadAsset(zone, download.asset, partial,
                                       [partial, target = *target, finished](CloudResult<CloudNothing> result) {
                                           if (isError(result)) {
                                               qCWarning(lcSharing, "download: %s",
                                                         qUtf8Printable(std::get<CloudError>(result).description()));
                                               QFile::remove(partial);
                                           } else {
                                               QFile::remove(target);
                                               QFile::rename(partial, target);
                                           }
                                           finished();
                                       });
    }
}

void CollectionSharing::finishApply(const QString &collectionId, const CloudZoneChanges &changes,
                                    QList<Item> newItems, std::function<void()> done)
{
    // The digests of the received originals come from a worker: the record's
    // own contentHash is only a claim.
    const QString root = m_store->root();
    QPointer<CollectionSharing> self(this);
    auto items = std::make_shared<QList<Item>>(std::move(newItems));
    QThreadPool::globalInstance()->start([self, root, items, collectionId, changes, done] {
        // The received files reach the disk before their items reach the
        // library: a crash must never leave library.json naming an empty
        // original while the change token has moved past it.
        for (const Item &item : *items) {
            if (const auto original = libraryFilePath(root, QStringLiteral("originals"), item.storedFilename))
                syncFile(*original);
            if (const auto thumbnail = libraryFilePath(root, QStringLiteral("thumbnails"), item.thumbnailFilename))
                syncFile(*thumbnail);
        }
        syncFolder(root + QStringLiteral("/originals"));
        syncFolder(root + QStringLiteral("/thumbnails"));
        for (Item &item : *items) {
            if (item.kind == QLatin1String("link"))
                continue;
            const auto path = libraryFilePath(root, QStringLiteral("originals"), item.storedFilename);
            if (path && QFileInfo(*path).isFile()) {
                if (const auto digest = sha256OfFile(*path)) {
                    item.contentHash = sha256Hex(*digest);
                    item.fileSize = QFileInfo(*path).size();
                }
            }
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, items, collectionId, changes, done] {
                if (!self || !self->m_store)
                    return done();
                LibraryStore &store = *self->m_store;
                const auto board = store.collection(collectionId);
                if (!board)
                    return done();
                QStringList fetched;
                const QHash<QString, QString> agreedHere = self->agreed(collectionId);
                QHash<QString, QString> nowAgreed;
                // A rename made here and not pushed yet wins over the name fetched.
                const bool keepOurName = self->renamedHere(*board);
                // A participant's rename reaches the share through its owner.
                std::optional<QString> retitle;
                for (const CloudRecord &record : changes.changed) {
                    if (record.type == kCollectionRecordType && record.name == collectionId) {
                        const QJsonValue name = record.fields.value(QStringLiteral("name"));
                        if (name.isString() && !keepOurName) {
                            if (!isJoined(*board) && name.toString() != board->name)
                                retitle = name.toString();
                            store.updateCollection(collectionId, [&](Board &b) { b.name = name.toString(); });
                            self->setSharedName(collectionId, name.toString());
                        }
                    } else if (record.type == kItemRecordType) {
                        const auto existing = store.item(record.name);
                        if (!existing)
                            continue;
                        fetched.append(record.name);
                        // An item in the trash stays there: a fetch never pulls it back.
                        if (existing->trashedAt)
                            continue;
                        // Field by field: what was not changed here since the
                        // last agreement takes the record's values; otherwise
                        // the tags are merged and the rest waits to be pushed.
                        const QString was = agreedHere.value(record.name);
                        const bool theirs = !was.isEmpty() && !changedSince(*existing, was);
                        Item changed = *existing;
                        Item asThere = *existing;
                        applyChangingFields(asThere, record.fields, true);
                        // Changed here and unchanged there since: ours goes out with the next push.
                        const bool onlyOurs = !theirs && !was.isEmpty() && !changedSince(asThere, was);
                        bool edited = !onlyOurs && applyChangingFields(changed, record.fields, theirs);
                        if (!changed.collectionIds.contains(collectionId)) {
                            changed.collectionIds.append(collectionId);
                            edited = true;
                        }
                        if (edited)
                            store.updateItem(record.name, [&](Item &item) { item = changed; });
                        const QString thumbnail = record.assets.value(QStringLiteral("thumbnail")).hash;
                        if (theirs || was.isEmpty())
                            nowAgreed.insert(record.name, agreement(changed, was, thumbnail));
                    }
                }
                QSet<QString> present;
                for (const Item &item : store.items())
                    present.insert(item.id);
                QList<Item> added;
                for (const Item &item : *items)
                    if (!present.contains(item.id))
                        added.append(item);
                if (!added.isEmpty())
                    store.appendItems(added);
                QHash<QString, QString> thumbnails;
                for (const CloudRecord &record : changes.changed)
                    thumbnails.insert(record.name, record.assets.value(QStringLiteral("thumbnail")).hash);
                for (const Item &item : added) {
                    fetched.append(item.id);
                    nowAgreed.insert(item.id, agreement(item, QString(), thumbnails.value(item.id)));
                }
                self->markReceived([&] {
                    QStringList ids;
                    for (const Item &item : added)
                        ids.append(item.id);
                    return ids;
                }());
                QStringList deleted;
                for (const auto &[name, type] : changes.deleted)
                    if (type == kItemRecordType)
                        deleted.append(name);
                self->removeItems(deleted, *board);
                // What came from the service is on it already: it is not pushed back.
                QStringList confirmed;
                for (const QString &id : fetched) {
                    const auto item = store.item(id);
                    if (item && !item->trashedAt && item->collectionIds.contains(collectionId))
                        confirmed.append(id);
                }
                self->updateSnapshot(collectionId, confirmed, deleted);
                QHash<QString, QString> kept;
                for (const QString &id : confirmed)
                    if (nowAgreed.contains(id))
                        kept.insert(id, nowAgreed.value(id));
                self->setAgreed(collectionId, kept, deleted);
                store.saveSoon();
                if (retitle)
                    return self->retitleShare(collectionId, *retitle, done);
                done();
            },
            Qt::QueuedConnection);
    });
}

void CollectionSharing::removeItems(const QStringList &ids, const Board &board)
{
    LibraryStore &store = *m_store;
    QStringList toTrash;
    for (const QString &id : ids) {
        const auto item = store.item(id);
        if (!item || item->trashedAt || !item->collectionIds.contains(board.id))
            continue;
        QStringList remaining = item->collectionIds;
        remaining.removeAll(board.id);
        if (remaining.isEmpty() && isJoined(board)) {
            // Someone else's deletion never destroys a file here: it can be
            // restored from the trash.
            toTrash.append(id);
        } else {
            store.setCollections(remaining, id);
        }
    }
    if (!toTrash.isEmpty())
        store.trash(toTrash);
}

// ---------------------------------------------------------------- push

void CollectionSharing::pushChanges()
{
    const auto all = snapshot();
    for (const Board &board : m_store->collections()) {
        if (!board.zone)
            continue;
        const QList<Item> current = items(board.id);
        QSet<QString> ids;
        for (const Item &item : current)
            ids.insert(item.id);
        const QStringList stored = all ? all->value(board.id) : QStringList();
        bool changed = !all || ids != QSet<QString>(stored.begin(), stored.end()) || renamedHere(board);
        if (!changed) {
            const QHash<QString, QString> agreedHere = agreed(board.id);
            QHash<QString, QString> unknown;
            for (const Item &item : current) {
                const QString was = agreedHere.value(item.id);
                // Sent before anything was agreed on: taken as agreed now.
                if (was.isEmpty())
                    unknown.insert(item.id, agreement(item));
                else if (changedSince(item, was))
                    changed = true;
            }
            setAgreed(board.id, unknown);
        }
        if (changed)
            push(board.id);
    }
}

void CollectionSharing::push(const QString &collectionId)
{
    if (auto running = m_uploads.value(collectionId)) {
        running->again = true;
        return;
    }
    m_uploads.insert(collectionId, std::make_shared<Upload>());
    runPush(collectionId);
}

void CollectionSharing::finishPush(const QString &collectionId)
{
    auto upload = m_uploads.value(collectionId);
    if (upload && upload->again) {
        upload->again = false;
        runPush(collectionId);
        return;
    }
    m_uploads.remove(collectionId);
    if (m_uploads.isEmpty()) {
        const auto waiters = std::exchange(m_uploadWaiters, {});
        for (const auto &waiter : waiters)
            waiter();
    }
}

void CollectionSharing::runPush(const QString &collectionId)
{
    QPointer<CollectionSharing> self(this);
    const auto board = m_store->collection(collectionId);
    if (!board || !board->zone) {
        QMetaObject::invokeMethod(this, [self, collectionId] { if (self) self->finishPush(collectionId); },
                                  Qt::QueuedConnection);
        return;
    }
    QStringList ids;
    QList<Item> current = items(collectionId);
    for (const Item &item : current)
        ids.append(item.id);
    const QStringList stored = snapshot().value_or(SharingSnapshot()).value(collectionId);
    const QSet<QString> storedSet(stored.begin(), stored.end());
    const QSet<QString> idSet(ids.begin(), ids.end());
    const bool renamed = renamedHere(*board);
    const QHash<QString, QString> agreedHere = agreed(collectionId);
    QStringList removed;
    for (const QString &id : stored)
        if (!idSet.contains(id))
            removed.append(id);
    const CloudZoneID zone = zoneFor(*board);
    // New records whole; records already there only with what changed, so
    // that changes made elsewhere to the other fields stay.
    QList<CloudRecord> records;
    QList<CloudRecord> updates;
    auto agreements = std::make_shared<QHash<QString, QString>>();
    for (const Item &item : current) {
        const QString was = agreedHere.value(item.id);
        if (!storedSet.contains(item.id)) {
            records.append(itemRecord(item, zone, collectionId, m_store->root()));
        } else if (!was.isEmpty() && changedSince(item, was)) {
            CloudRecord update;
            update.type = kItemRecordType;
            update.name = item.id;
            update.zone = zone;
            update.parent = collectionId;
            update.fields = changingFields(item);
            // A new picture goes with it.
            if (agreementParts(agreement(item, was)).at(1) != agreementParts(was).at(1))
                update.assets = itemRecord(item, zone, collectionId, m_store->root()).assets;
            updates.append(update);
        } else {
            continue;
        }
        agreements->insert(item.id, agreement(item, was, agreementParts(was).at(2)));
    }
    if (records.isEmpty() && updates.isEmpty() && removed.isEmpty() && !renamed && snapshot()) {
        QMetaObject::invokeMethod(this, [self, collectionId] { if (self) self->finishPush(collectionId); },
                                  Qt::QueuedConnection);
        return;
    }
    const qsizetype fresh = records.size();
    records += updates;
    const QString name = board->name;

    struct Progress {
        QStringList saved;
        QHash<QString, QString> agreed;
        QStringList deleted;
        int failed = 0;
        bool renamed = false;
    };
    auto progress = std::make_shared<Progress>();
    auto end = [self, collectionId, name, progress, built = records.size()] {
        if (!self)
            return;
        self->updateSnapshot(collectionId, progress->saved, progress->deleted);
        self->setAgreed(collectionId, progress->agreed, progress->deleted);
        qCInfo(lcSharing, "pushed %s: %lld removed, renamed %d", qUtf8Printable(name),
               qlonglong(progress->deleted.size()), int(progress->renamed));
        qCInfo(lcSharing, "upload %s: %lld/%lld items, %d failed", qUtf8Printable(name),
               qlonglong(progress->saved.size()), qlonglong(built), progress->failed);
        self->finishPush(collectionId);
    };
    // Batches one after the other; a failed batch does not stop the next.
    // New records come first, then the updates, never in one batch.
    auto batches = std::make_shared<std::function<void(qsizetype)>>();
    *batches = [self, zone, collectionId, records, fresh, agreements, progress, end, batches](qsizetype from) {
        if (!self)
            return;
        const auto board = self->m_store->collection(collectionId);
        if (from >= records.size() || !board || !board->zone) {
            const auto finish = end;
            const auto keep = std::move(*batches);
            finish();
            return;
        }
        const bool updating = from >= fresh;
        const qsizetype count = updating ? kBatchSize : std::min(kBatchSize, fresh - from);
        const QList<CloudRecord> batch = records.mid(from, count);
        self->database(*board).modify(
            zone, batch, {}, updating ? CloudSavePolicy::ChangedKeys : CloudSavePolicy::AllKeys, false,
            [self, batch, agreements, progress, batches, from, count, collectionId](CloudResult<CloudModifyResult> result) {
                if (!self)
                    return;
                if (isError(result)) {
                    const CloudError &error = std::get<CloudError>(result);
                    progress->failed += int(batch.size());
                    qCWarning(lcSharing, "upload %s: %s", qUtf8Printable(collectionId),
                              qUtf8Printable(error.description()));
                    self->noteFailure(error.code);
                } else {
                    const CloudModifyResult &r = std::get<CloudModifyResult>(result);
                    for (const CloudRecord &saved : r.saved) {
                        progress->saved.append(saved.name);
                        QStringList parts = agreementParts(agreements->value(saved.name));
                        const QString thumbnail = saved.assets.value(QStringLiteral("thumbnail")).hash;
                        if (!thumbnail.isEmpty())
                            parts[2] = thumbnail;
                        progress->agreed.insert(saved.name, parts.join(QLatin1Char('|')));
                    }
                    progress->failed += int(r.failed.size());
                    for (const int code : r.failed)
                        self->noteFailure(code);
                }
                (*batches)(from + count);
            });
    };
    auto removeThenSave = [self, zone, collectionId, removed, progress, batches, board = *board] {
        if (!self)
            return;
        if (removed.isEmpty())
            return (*batches)(0);
        self->database(board).modify(
            zone, {}, removed, CloudSavePolicy::AllKeys, false,
            [self, removed, progress, batches, collectionId](CloudResult<CloudModifyResult> result) {
                if (!self)
                    return;
                if (isError(result)) {
                    const CloudError &error = std::get<CloudError>(result);
                    qCWarning(lcSharing, "upload %s: %s", qUtf8Printable(collectionId),
                              qUtf8Printable(error.description()));
                    self->noteFailure(error.code);
                } else {
                    const CloudModifyResult &r = std::get<CloudModifyResult>(result);
                    // Gone already counts as removed.
                    for (const QString &id : removed)
                        if (!r.failed.contains(id) || r.failed.value(id) == CloudUnknownItem)
                            progress->deleted.append(id);
                        else
                            self->noteFailure(r.failed.value(id));
                }
                (*batches)(0);
            });
    };
    if (renamed) {
        rename(collectionId, [progress, removeThenSave](bool done) {
            progress->renamed = done;
            removeThenSave();
        });
    } else {
        removeThenSave();
    }
}

void CollectionSharing::rename(const QString &collectionId, std::function<void(bool)> done)
{
    if (!done)
        done = [](bool) {};
    const auto board = m_store->collection(collectionId);
    if (!board || !board->zone)
        return done(false);
    QPointer<CollectionSharing> self(this);
    const CloudZoneID zone = zoneFor(*board);
    const QString name = board->name;
    auto fail = [self = QPointer<CollectionSharing>(this), done](const CloudError &error) {
        qCWarning(lcSharing, "rename: %s", qUtf8Printable(error.description()));
        if (self)
            self->noteFailure(error.code);
        done(false);
    };
    const bool owner = !isJoined(*board);
    done = [self = QPointer<CollectionSharing>(this), collectionId, name, owner, done](bool renamed) {
        if (!renamed || !owner || !self)
            return done(renamed);
        self->retitleShare(collectionId, name, [done] { done(true); });
    };
    database(*board).fetchRecord(zone, collectionId, [self, zone, name, collectionId, done, fail](CloudResult<CloudRecord> fetched) {
        if (!self)
            return done(false);
        if (isError(fetched))
            return fail(std::get<CloudError>(fetched));
        CloudRecord record = std::get<CloudRecord>(fetched);
        record.fields.insert(QStringLiteral("name"), name);
        const auto board = self->m_store->collection(collectionId);
        if (!board)
            return done(false);
        CloudDatabase &db = self->database(*board);
        db.modify(zone, {record}, {}, CloudSavePolicy::IfServerRecordUnchanged, true,
                  [self, zone, name, collectionId, done, fail, &db](CloudResult<CloudModifyResult> saved) {
                      if (!self)
                          return done(false);
                      if (!isError(saved)) {
                          self->setSharedName(collectionId, name);
                          return done(true);
                      }
                      const CloudError &error = std::get<CloudError>(saved);
                      if (!error.serverRecord)
                          return fail(error);
                      // Someone saved the record meanwhile: the name goes onto theirs.
                      CloudRecord theirs = *error.serverRecord;
                      theirs.fields.insert(QStringLiteral("name"), name);
                      db.modify(zone, {theirs}, {}, CloudSavePolicy::IfServerRecordUnchanged, true,
                                [self, name, collectionId, done, fail](CloudResult<CloudModifyResult> again) {
                                    if (!self)
                                        return done(false);
                                    if (isError(again))
                                        return fail(std::get<CloudError>(again));
                                    self->setSharedName(collectionId, name);
                                    done(true);
                                });
                  });
    });
}

// The owner's share carries the collection's name too: it is what an
// invitation shows. A share that cannot be retitled keeps its old title.
void CollectionSharing::retitleShare(const QString &collectionId, const QString &name, std::function<void()> done)
{
    QPointer<CollectionSharing> self(this);
    fetchShare(collectionId, [self, collectionId, name, done](CloudResult<CloudRecord> share) {
        if (!self || isError(share))
            return done();
        CloudRecord titled = std::get<CloudRecord>(share);
        if (titled.fields.value(cloudprotocol::kTitle).toString() == name)
            return done();
        titled.fields.insert(cloudprotocol::kTitle, name);
        self->saveShare(collectionId, titled, [done](CloudResult<CloudRecord> saved) {
            if (isError(saved))
                qCWarning(lcSharing, "share title: %s", qUtf8Printable(std::get<CloudError>(saved).description()));
            done();
        });
    });
}

// ---------------------------------------------------------------- hooks

void installCollectionSharing()
{
    LibraryServices &services = LibraryServices::installed();
    services.syncCollections = [](LibraryStore &store, std::function<void()> done) {
        if (auto *sharing = CollectionSharing::forStore(store))
            sharing->sync(std::move(done));
        else if (done)
            done();
    };
    services.pushSharedChanges = [](LibraryStore &store) {
        if (auto *sharing = CollectionSharing::forStore(store))
            sharing->pushChanges();
    };
}

} // namespace vellora
