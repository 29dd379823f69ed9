#include "MemoryCloud.h"

#include "platform/Digest.h"

#include <QFile>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QSaveFile>

#include <algorithm>

namespace vellora {

struct MemoryCloudService::Zone {
    QString owner;
    QString name;
    qint64 epoch = 0;
    qint64 seq = 0;
    qint64 expiredBelow = 0;
    struct Entry {
        CloudRecord record;
        qint64 seq = 0;
    };
    QMap<QString, Entry> records;
    QMap<QString, std::pair<QString, qint64>> tombstones; // name -> (type, seq)
    QString shareToken;
    QSet<QString> removed; // participants the owner removed, or who left

    const CloudRecord *share() const
    {
        for (const Entry &entry : records)
            if (entry.record.type == kShareRecordType)
                return &entry.record;
        return nullptr;
    }
    CloudRecord *share()
    {
        for (Entry &entry : records)
            if (entry.record.type == kShareRecordType)
                return &entry.record;
        return nullptr;
    }
};

namespace {

const QString kMemoryShareBase = QStringLiteral("https://memory.invalid/share/");

QString zoneKey(const QString &owner, const QString &name) { return owner + QLatin1Char('/') + name; }

QByteArray encodeToken(qint64 epoch, qint64 seq)
{
    return QByteArray::number(epoch) + ':' + QByteArray::number(seq);
}

} // namespace

MemoryCloudService::MemoryCloudService(QObject *parent) : QObject(parent) {}
MemoryCloudService::~MemoryCloudService()
{
    for (const auto &container : m_containers)
        delete container.data();
}

void MemoryCloudService::addUser(const QString &name) { m_users.insert(name); }

MemoryCloudContainer *MemoryCloudService::container(const QString &user)
{
    auto *made = new MemoryCloudContainer(*this, user);
    m_containers.append(made);
    return made;
}

void MemoryCloudService::expireTokens(const QString &owner, const QString &zone)
{
    if (auto found = m_zones.value(zoneKey(owner, zone))) {
        bump(*found);
        found->expiredBelow = found->seq;
    }
}

QStringList MemoryCloudService::recordNames(const QString &owner, const QString &zone, const QString &type) const
{
    QStringList names;
    if (auto found = m_zones.value(zoneKey(owner, zone)))
        for (const Zone::Entry &entry : found->records)
            if (entry.record.type == type)
                names.append(entry.record.name);
    names.sort();
    return names;
}

void MemoryCloudService::bump(Zone &zone) { ++zone.seq; }

void MemoryCloudService::notify(const Zone &zone)
{
    QSet<QString> watchers{zone.owner};
    if (const CloudRecord *share = zone.share())
        for (const CloudParticipant &p : share->participants())
            if (p.accepted)
                watchers.insert(p.user);
    for (const auto &container : m_containers) {
        if (!container || !watchers.contains(container->user()) || m_subscriptions.value(container->user()).isEmpty())
            continue;
        QPointer<MemoryCloudContainer> target = container;
        QMetaObject::invokeMethod(
            container.data(), [target] { if (target) emit target->remoteChange(); }, Qt::QueuedConnection);
    }
}

// The one place that decides who may see and change a zone.
std::optional<CloudError> MemoryCloudService::authorize(const QString &user, CloudScope scope,
                                                        const CloudZoneID &zone, bool write, Zone **found)
{
    if (!m_users.contains(user))
        return cloudError(CloudNotAuthenticated, QStringLiteral("unknown user"));
    const QString owner = zone.owner.isEmpty() || zone.owner == kCurrentUserDefaultName ? user : zone.owner;
    const QString key = zoneKey(owner, zone.name);
    auto z = m_zones.value(key);
    if (scope == CloudScope::Private) {
        if (owner != user)
            return cloudError(CloudPermissionFailure, QStringLiteral("not your zone"));
        if (!z)
            return cloudError(m_deletedZones.contains(key) ? CloudUserDeletedZone : CloudZoneNotFound,
                              QStringLiteral("zone not found"));
        *found = z.get();
        return std::nullopt;
    }
    if (owner == user)
        return cloudError(CloudPermissionFailure, QStringLiteral("own zones are private"));
    if (!z)
        return cloudError(m_deletedZones.contains(key) ? CloudUserDeletedZone : CloudZoneNotFound,
                          QStringLiteral("zone not found"));
    const CloudRecord *share = z->share();
    std::optional<CloudParticipant> me;
    if (share)
        for (const CloudParticipant &p : share->participants())
            if (p.user == user)
                me = p;
    if (!me || !me->accepted) {
        if (z->removed.contains(user))
            return cloudError(CloudZoneNotFound, QStringLiteral("zone not found"));
        return cloudError(CloudPermissionFailure, QStringLiteral("not a participant"));
    }
    if (write && me->permission != QLatin1String("readWrite"))
        return cloudError(CloudPermissionFailure, QStringLiteral("read-only participant"));
    *found = z.get();
    return std::nullopt;
}

// ---------------------------------------------------------------- database

MemoryCloudDatabase::MemoryCloudDatabase(MemoryCloudService &service, QString user, CloudScope scope,
                                         QObject *context)
    : m_service(service), m_user(std::move(user)), m_scope(scope), m_context(context)
{
}

template <typename T>
void MemoryCloudDatabase::answer(CloudCallback<T> done, CloudResult<T> result)
{
    QMetaObject::invokeMethod(
        m_context, [done = std::move(done), result = std::move(result)] { done(result); }, Qt::QueuedConnection);
}

void MemoryCloudDatabase::saveZone(const CloudZoneID &zone, CloudCallback<CloudNothing> done)
{
    if (!m_service.m_users.contains(m_user))
        return answer<CloudNothing>(done, cloudError(CloudNotAuthenticated, QStringLiteral("unknown user")));
    if (m_scope != CloudScope::Private
        || !(zone.owner.isEmpty() || zone.owner == kCurrentUserDefaultName || zone.owner == m_user))
        return answer<CloudNothing>(done, cloudError(CloudPermissionFailure, QStringLiteral("zones are made privately")));
    if (zone.name.isEmpty())
        return answer<CloudNothing>(done, cloudError(CloudInvalidArguments, QStringLiteral("zone without a name")));
    const QString key = zoneKey(m_user, zone.name);
    if (!m_service.m_zones.contains(key)) {
        auto made = std::make_shared<MemoryCloudService::Zone>();
        made->owner = m_user;
        made->name = zone.name;
        made->epoch = ++m_service.m_epochs;
        m_service.m_zones.insert(key, made);
        m_service.m_deletedZones.remove(key);
    }
    answer<CloudNothing>(done, CloudNothing{});
}

void MemoryCloudDatabase::deleteZone(const CloudZoneID &zone, CloudCallback<CloudNothing> done)
{
    MemoryCloudService::Zone *z = nullptr;
    if (auto refused = m_service.authorize(m_user, m_scope, zone, false, &z))
        return answer<CloudNothing>(done, *refused);
    if (m_scope == CloudScope::Private) {
        m_service.notify(*z);
        m_service.m_shareZones.remove(z->shareToken);
        const QString key = zoneKey(z->owner, z->name);
        m_service.m_zones.remove(key);
        m_service.m_deletedZones.insert(key);
    } else {
        // A participant leaves: the zone stays with its owner.
        CloudRecord *share = z->share();
        QList<CloudParticipant> kept;
        for (const CloudParticipant &p : share->participants())
            if (p.user != m_user)
                kept.append(p);
        share->setParticipants(kept);
        z->removed.insert(m_user);
        m_service.bump(*z);
        share->changeTag = QString::number(z->seq);
        z->records[share->name].seq = z->seq;
        m_service.notify(*z);
    }
    answer<CloudNothing>(done, CloudNothing{});
}

void MemoryCloudDatabase::fetchRecord(const CloudZoneID &zone, const QString &name, CloudCallback<CloudRecord> done)
{
    MemoryCloudService::Zone *z = nullptr;
    if (auto refused = m_service.authorize(m_user, m_scope, zone, false, &z))
        return answer<CloudRecord>(done, *refused);
    if (!z->records.contains(name))
        return answer<CloudRecord>(done, cloudError(CloudUnknownItem, QStringLiteral("record not found")));
    answer<CloudRecord>(done, z->records.value(name).record);
}

void MemoryCloudDatabase::modify(const CloudZoneID &zone, const QList<CloudRecord> &save,
                                 const QStringList &deletions, CloudSavePolicy policy, bool atomic,
                                 CloudCallback<CloudModifyResult> done)
{
    ++m_service.m_modifyCalls;
    MemoryCloudService::Zone *z = nullptr;
    if (auto refused = m_service.authorize(m_user, m_scope, zone, true, &z))
        return answer<CloudModifyResult>(done, *refused);
    if (m_service.m_failModifies > 0) {
        --m_service.m_failModifies;
        return answer<CloudModifyResult>(done, cloudError(m_service.m_failCode, QStringLiteral("failing on purpose")));
    }

    // Check every record first; an atomic modification applies nothing when one fails.
    QMap<QString, int> failed;
    std::shared_ptr<CloudRecord> serverRecord;
    QList<CloudRecord> prepared;
    for (CloudRecord record : save) {
        record.zone = CloudZoneID{z->name, z->owner};
        if (record.type.isEmpty() || record.name.isEmpty()) {
            failed.insert(record.name, CloudInvalidArguments);
            continue;
        }
        if (record.type == kShareRecordType && m_scope != CloudScope::Private) {
            failed.insert(record.name, CloudPermissionFailure);
            continue;
        }
        const auto existing = z->records.constFind(record.name);
        if (policy == CloudSavePolicy::IfServerRecordUnchanged) {
            if (existing != z->records.constEnd() && existing->record.changeTag != record.changeTag) {
                failed.insert(record.name, CloudServerRecordChanged);
                serverRecord = std::make_shared<CloudRecord>(existing->record);
                continue;
            }
            if (existing == z->records.constEnd() && !record.changeTag.isEmpty()) {
                failed.insert(record.name, CloudUnknownItem);
                continue;
            }
        }
        bool assetsOk = true;
        for (auto it = record.assets.begin(); it != record.assets.end(); ++it) {
            if (it->filePath.isEmpty())
                continue;
            QFile file(it->filePath);
            if (!file.open(QIODevice::ReadOnly) || file.size() > m_service.m_maxAssetBytes) {
                failed.insert(record.name,
                              file.isOpen() ? int(CloudLimitExceeded) : int(CloudInvalidArguments));
                assetsOk = false;
                break;
            }
            const QByteArray bytes = file.readAll();
            const QString hash = sha256Hex(sha256(bytes));
            m_service.m_assets.insert(hash, bytes);
            *it = CloudAsset{QString(), hash, bytes.size()};
        }
        if (!assetsOk)
            continue;
        if (record.type == kShareRecordType) {
            for (const CloudParticipant &p : record.participants())
                if (!m_service.m_users.contains(p.user) || p.user == z->owner)
                    failed.insert(record.name, CloudInvalidArguments);
            if (failed.contains(record.name))
                continue;
        }
        prepared.append(record);
    }
    if (atomic && !failed.isEmpty()) {
        CloudError partial = cloudError(CloudPartialFailure, QStringLiteral("partial failure"));
        partial.perRecord = failed;
        for (const CloudRecord &record : save)
            if (!failed.contains(record.name))
                partial.perRecord.insert(record.name, CloudBatchRequestFailed);
        partial.serverRecord = serverRecord;
        return answer<CloudModifyResult>(done, partial);
    }

    CloudModifyResult result;
    result.failed = failed;
    for (CloudRecord record : prepared) {
        const auto existing = z->records.constFind(record.name);
        if (existing != z->records.constEnd() && policy == CloudSavePolicy::ChangedKeys) {
            CloudRecord merged = existing->record;
            for (auto it = record.fields.begin(); it != record.fields.end(); ++it)
                merged.fields.insert(it.key(), it.value());
            for (auto it = record.assets.begin(); it != record.assets.end(); ++it)
                merged.assets.insert(it.key(), it.value());
            merged.parent = record.parent.isEmpty() ? merged.parent : record.parent;
            record = merged;
        }
        if (record.type == kShareRecordType) {
            if (z->shareToken.isEmpty()) {
                QByteArray raw(24, Qt::Uninitialized);
                QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(raw.data()), raw.size() / 4);
                z->shareToken = QString::fromLatin1(
                    raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
                m_service.m_shareZones.insert(z->shareToken, zoneKey(z->owner, z->name));
            }
            QList<CloudParticipant> before;
            if (existing != z->records.constEnd())
                before = existing->record.participants();
            QList<CloudParticipant> now = record.participants();
            for (CloudParticipant &p : now) {
                p.accepted = false;
                for (const CloudParticipant &old : before)
                    if (old.user == p.user)
                        p.accepted = old.accepted;
                z->removed.remove(p.user);
            }
            for (const CloudParticipant &old : before) {
                const bool kept = std::any_of(now.begin(), now.end(), [&](const CloudParticipant &p) {
                    return p.user == old.user;
                });
                if (!kept)
                    z->removed.insert(old.user);
            }
            record.setParticipants(now);
            record.fields.insert(QStringLiteral("url"), kMemoryShareBase + z->shareToken);
            const QString root = record.fields.value(QStringLiteral("rootRecord")).toString();
            if (z->records.contains(root)) {
                auto &rootEntry = z->records[root];
                if (rootEntry.record.fields.value(QStringLiteral("share")).toString() != record.name) {
                    rootEntry.record.fields.insert(QStringLiteral("share"), record.name);
                    m_service.bump(*z);
                    rootEntry.seq = z->seq;
                    rootEntry.record.changeTag = QString::number(z->seq);
                    for (CloudRecord &s : result.saved)
                        if (s.name == root)
                            s = rootEntry.record;
                }
            }
        }
        m_service.bump(*z);
        record.changeTag = QString::number(z->seq);
        z->records.insert(record.name, MemoryCloudService::Zone::Entry{record, z->seq});
        z->tombstones.remove(record.name);
        result.saved.append(record);
    }
    for (const QString &name : deletions) {
        const auto existing = z->records.constFind(name);
        if (existing == z->records.constEnd())
            continue;
        const QString type = existing->record.type;
        if (type == kShareRecordType) {
            m_service.m_shareZones.remove(z->shareToken);
            z->shareToken.clear();
        }
        z->records.remove(name);
        m_service.bump(*z);
        z->tombstones.insert(name, {type, z->seq});
        result.deleted.append(name);
    }
    m_service.notify(*z);
    answer<CloudModifyResult>(done, result);
}

void MemoryCloudDatabase::fetchZoneChanges(const CloudZoneID &zone, const QByteArray &token,
                                           CloudCallback<CloudZoneChanges> done)
{
    MemoryCloudService::Zone *z = nullptr;
    if (auto refused = m_service.authorize(m_user, m_scope, zone, false, &z))
        return answer<CloudZoneChanges>(done, *refused);
    qint64 since = 0;
    if (!token.isEmpty()) {
        const QList<QByteArray> parts = token.split(':');
        bool epochOk = false;
        bool seqOk = false;
        const qint64 epoch = parts.size() == 2 ? parts[0].toLongLong(&epochOk) : 0;
        since = parts.size() == 2 ? parts[1].toLongLong(&seqOk) : 0;
        if (!epochOk || !seqOk || epoch != z->epoch || since < z->expiredBelow)
            return answer<CloudZoneChanges>(done, cloudError(CloudChangeTokenExpired, QStringLiteral("change token expired")));
    }
    struct Change {
        qint64 seq;
        const CloudRecord *record;
        QString name;
        QString type;
    };
    QList<Change> changes;
    for (const auto &entry : z->records)
        if (entry.seq > since)
            changes.append({entry.seq, &entry.record, {}, {}});
    for (auto it = z->tombstones.constBegin(); it != z->tombstones.constEnd(); ++it)
        if (it->second > since)
            changes.append({it->second, nullptr, it.key(), it->first});
    std::sort(changes.begin(), changes.end(), [](const Change &a, const Change &b) { return a.seq < b.seq; });
    CloudZoneChanges result;
    qint64 last = z->seq;
    if (changes.size() > m_service.m_pageSize) {
        changes.resize(m_service.m_pageSize);
        result.moreComing = true;
        last = changes.last().seq;
    }
    for (const Change &change : changes) {
        if (change.record)
            result.changed.append(*change.record);
        else
            result.deleted.append({change.name, change.type});
    }
    result.token = encodeToken(z->epoch, last);
    answer<CloudZoneChanges>(done, result);
}

void MemoryCloudDatabase::downloadAsset(const CloudZoneID &zone, const CloudAsset &asset,
                                        const QString &destination, CloudCallback<CloudNothing> done)
{
    MemoryCloudService::Zone *z = nullptr;
    if (auto refused = m_service.authorize(m_user, m_scope, zone, false, &z))
        return answer<CloudNothing>(done, *refused);
    bool referenced = false;
    for (const auto &entry : z->records)
        for (const CloudAsset &a : entry.record.assets)
            referenced = referenced || a.hash == asset.hash;
    if (!referenced || !m_service.m_assets.contains(asset.hash))
        return answer<CloudNothing>(done, cloudError(CloudUnknownItem, QStringLiteral("asset not found")));
    const QByteArray bytes = m_service.m_assets.value(asset.hash);
    QSaveFile file(destination);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return answer<CloudNothing>(done, cloudError(CloudInternalError, QStringLiteral("asset not written")));
    answer<CloudNothing>(done, CloudNothing{});
}

void MemoryCloudDatabase::saveSubscription(const QString &id, CloudCallback<CloudNothing> done)
{
    if (!m_service.m_users.contains(m_user))
        return answer<CloudNothing>(done, cloudError(CloudNotAuthenticated, QStringLiteral("unknown user")));
    m_service.m_subscriptions[m_user].insert(id);
    answer<CloudNothing>(done, CloudNothing{});
}

// ---------------------------------------------------------------- container

MemoryCloudContainer::MemoryCloudContainer(MemoryCloudService &service, const QString &user)
    : m_service(service), m_user(user), m_private(service, user, CloudScope::Private, this),
      m_shared(service, user, CloudScope::Shared, this)
{
}

bool MemoryCloudContainer::isShareURL(const QUrl &url) const
{
    return url.toString().startsWith(kMemoryShareBase);
}

void MemoryCloudContainer::shareMetadata(const QUrl &url, CloudCallback<CloudShareMetadata> done)
{
    auto answer = [this, done](CloudResult<CloudShareMetadata> result) {
        QMetaObject::invokeMethod(this, [done, result] { done(result); }, Qt::QueuedConnection);
    };
    if (!m_service.m_users.contains(m_user))
        return answer(cloudError(CloudNotAuthenticated, QStringLiteral("unknown user")));
    const QString token = url.toString().mid(kMemoryShareBase.size());
    const auto z = m_service.m_zones.value(m_service.m_shareZones.value(token));
    if (!isShareURL(url) || token.isEmpty() || !z || !z->share())
        return answer(cloudError(CloudUnknownItem, QStringLiteral("no such share")));
    const CloudRecord &share = *z->share();
    const QString publicPermission = share.fields.value(QStringLiteral("publicPermission")).toString();
    CloudShareMetadata metadata;
    metadata.permission = publicPermission;
    bool listed = false;
    for (const CloudParticipant &p : share.participants()) {
        if (p.user == m_user) {
            listed = true;
            metadata.permission = p.permission;
        }
    }
    if (!listed && z->owner != m_user && (publicPermission.isEmpty() || publicPermission == QLatin1String("none")))
        return answer(cloudError(CloudPermissionFailure, QStringLiteral("not invited")));
    metadata.url = url;
    metadata.rootRecordName = share.fields.value(QStringLiteral("rootRecord")).toString();
    metadata.zone = CloudZoneID{z->name, z->owner};
    metadata.title = share.fields.value(QStringLiteral("title")).toString();
    answer(metadata);
}

void MemoryCloudContainer::accept(const CloudShareMetadata &metadata, CloudCallback<CloudNothing> done)
{
    QPointer<MemoryCloudContainer> self(this);
    shareMetadata(metadata.url, [self, done](CloudResult<CloudShareMetadata> result) {
        if (!self)
            return;
        if (isError(result))
            return done(std::get<CloudError>(result));
        const CloudShareMetadata found = std::get<CloudShareMetadata>(result);
        MemoryCloudService &service = self->m_service;
        auto z = service.m_zones.value(zoneKey(found.zone.owner, found.zone.name));
        if (!z || !z->share())
            return done(cloudError(CloudUnknownItem, QStringLiteral("no such share")));
        if (z->owner == self->m_user)
            return done(cloudError(CloudInvalidArguments, QStringLiteral("the owner cannot accept")));
        CloudRecord *share = z->share();
        QList<CloudParticipant> participants = share->participants();
        bool listed = false;
        for (CloudParticipant &p : participants) {
            if (p.user == self->m_user) {
                p.accepted = true;
                listed = true;
            }
        }
        if (!listed)
            participants.append(CloudParticipant{self->m_user, found.permission, true});
        share->setParticipants(participants);
        z->removed.remove(self->m_user);
        service.bump(*z);
        share->changeTag = QString::number(z->seq);
        z->records[share->name].seq = z->seq;
        done(CloudNothing{});
    });
}

} // namespace vellora
