#include "CollectionSharing.h"

#include "HttpCloud.h"

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

CollectionSharing *g_shared = nullptr;

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
    : QObject(parent), m_store(&store), m_settings(settings), m_makeContainer(std::move(makeContainer))
{
}

CollectionSharing::~CollectionSharing()
{
    if (g_shared == this)
        g_shared = nullptr;
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
        share.fields.insert(QStringLiteral("title"), board->name);
        share.fields.insert(QStringLiteral("publicPermission"), QStringLiteral("none"));
        share.fields.insert(QStringLiteral("rootRecord"), root.name);
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
        const QString shareName = std::get<CloudRecord>(root).fields.value(QStringLiteral("share")).toString();
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
    if (!container().isShareURL(url)) {
        QMetaObject::invokeMethod(
            this,
            [done] {
                if (done)
                    done(cloudError(CloudInvalidArguments, QStringLiteral("not a share of the sharing service")));
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
        self->accept(std::get<CloudShareMetadata>(metadata), [done](bool accepted) {
            if (done)
                done(accepted ? std::nullopt
                              : std::optional<CloudError>(cloudError(CloudInternalError, QStringLiteral("not accepted"))));
        });
    });
}

void CollectionSharing::accept(const CloudShareMetadata &metadata, std::function<void(bool)> done)
{
    QPointer<CollectionSharing> self(this);
    container().accept(metadata, [self, metadata, done](CloudResult<CloudNothing> result) {
        if (!self)
            return;
        const QString id = metadata.rootRecordName;
        // The names become a collection id and a settings key: plain names only.
        if (isError(result) || !isSafePathComponent(id) || !isSafePathComponent(metadata.zone.name)
            || metadata.zone.owner.isEmpty()) {
            qCWarning(lcSharing, "accept: %s",
                      isError(result) ? qUtf8Printable(std::get<CloudError>(result).description())
                                      : "the share names no usable collection");
            if (done)
                done(false);
            return;
        }
        LibraryStore &store = *self->m_store;
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
        store.saveSoon();
        emit self->sharesChanged();
        self->sync([done] {
            if (done)
                done(true);
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
    for (const CloudRecord &record : changes.changed) {
        if (record.type != kItemRecordType || known.contains(record.name))
            continue;
        auto item = itemFromRecord(record, collectionId, now());
        if (!item)
            continue;
        known.insert(item->id);
        const CloudAsset thumbnail = record.assets.value(QStringLiteral("thumbnail"));
        if (!thumbnail.hash.isEmpty() && thumbnail.size <= kMaxSharedAssetBytes)
            downloads.append({thumbnail, QStringLiteral("thumbnails"), item->thumbnailFilename});
        const CloudAsset original = record.assets.value(QStringLiteral("original"));
        if (item->kind != QLatin1String("link") && !original.hash.isEmpty() && original.size <= kMaxSharedAssetBytes)
            downloads.append({original, QStringLiteral("originals"), item->storedFilename});
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
                // A rename made here and not pushed yet wins over the name fetched.
                const bool keepOurName = self->renamedHere(*board);
                for (const CloudRecord &record : changes.changed) {
                    if (record.type == kCollectionRecordType && record.name == collectionId) {
                        const QJsonValue name = record.fields.value(QStringLiteral("name"));
                        if (name.isString() && !keepOurName) {
                            store.updateCollection(collectionId, [&](Board &b) { b.name = name.toString(); });
                            self->setSharedName(collectionId, name.toString());
                        }
                    } else if (record.type == kItemRecordType) {
                        const auto existing = store.item(record.name);
                        if (!existing)
                            continue;
                        fetched.append(record.name);
                        // An item in the trash stays there: a fetch never pulls it back.
                        if (existing->trashedAt || existing->collectionIds.contains(collectionId))
                            continue;
                        store.updateItem(record.name, [&](Item &item) { item.collectionIds.append(collectionId); });
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
                for (const Item &item : added)
                    fetched.append(item.id);
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
                store.saveSoon();
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
        QStringList ids;
        for (const Item &item : items(board.id))
            ids.append(item.id);
        const QStringList stored = all ? all->value(board.id) : QStringList();
        if (!all || QSet<QString>(ids.begin(), ids.end()) != QSet<QString>(stored.begin(), stored.end()) || renamedHere(board))
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
    if (storedSet == idSet && !renamed && snapshot()) {
        QMetaObject::invokeMethod(this, [self, collectionId] { if (self) self->finishPush(collectionId); },
                                  Qt::QueuedConnection);
        return;
    }
    QStringList removed;
    for (const QString &id : stored)
        if (!idSet.contains(id))
            removed.append(id);
    const CloudZoneID zone = zoneFor(*board);
    QList<CloudRecord> records;
    for (const Item &item : current)
        if (!storedSet.contains(item.id))
            records.append(itemRecord(item, zone, collectionId, m_store->root()));
    const QString name = board->name;

    struct Progress {
        QStringList saved;
        QStringList deleted;
        int failed = 0;
        bool renamed = false;
    };
    auto progress = std::make_shared<Progress>();
    auto end = [self, collectionId, name, progress, built = records.size()] {
        if (!self)
            return;
        self->updateSnapshot(collectionId, progress->saved, progress->deleted);
        qCInfo(lcSharing, "pushed %s: %lld removed, renamed %d", qUtf8Printable(name),
               qlonglong(progress->deleted.size()), int(progress->renamed));
        qCInfo(lcSharing, "upload %s: %lld/%lld items, %d failed", qUtf8Printable(name),
               qlonglong(progress->saved.size()), qlonglong(built), progress->failed);
        self->finishPush(collectionId);
    };
    // Batches one after the other; a failed batch does not stop the next.
    auto batches = std::make_shared<std::function<void(qsizetype)>>();
    *batches = [self, zone, collectionId, records, progress, end, batches](qsizetype from) {
        if (!self)
            return;
        const auto board = self->m_store->collection(collectionId);
        if (from >= records.size() || !board || !board->zone) {
            const auto finish = end;
            const auto keep = std::move(*batches);
            finish();
            return;
        }
        const QList<CloudRecord> batch = records.mid(from, kBatchSize);
        self->database(*board).modify(
            zone, batch, {}, CloudSavePolicy::AllKeys, false,
            [self, batch, progress, batches, from, collectionId](CloudResult<CloudModifyResult> result) {
                if (!self)
                    return;
                if (isError(result)) {
                    progress->failed += int(batch.size());
                    qCWarning(lcSharing, "upload %s: %s", qUtf8Printable(collectionId),
                              qUtf8Printable(std::get<CloudError>(result).description()));
                } else {
                    const CloudModifyResult &r = std::get<CloudModifyResult>(result);
                    for (const CloudRecord &saved : r.saved)
                        progress->saved.append(saved.name);
                    progress->failed += int(r.failed.size());
                }
                (*batches)(from + kBatchSize);
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
                    qCWarning(lcSharing, "upload %s: %s", qUtf8Printable(collectionId),
                              qUtf8Printable(std::get<CloudError>(result).description()));
                } else {
                    const CloudModifyResult &r = std::get<CloudModifyResult>(result);
                    // Gone already counts as removed.
                    for (const QString &id : removed)
                        if (!r.failed.contains(id) || r.failed.value(id) == CloudUnknownItem)
                            progress->deleted.append(id);
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
    auto fail = [done](const CloudError &error) {
        qCWarning(lcSharing, "rename: %s", qUtf8Printable(error.description()));
        done(false);
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
