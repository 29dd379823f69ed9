#pragma once
// A whole sharing service inside this process: users, zones, records,
// assets, shares and change sequences, with the same rules and error codes
// as vellora-cloud. Each user gets a container of their own; tests use two
// containers on one service for an owner and a participant.

#include "sharing/CloudDatabase.h"

#include <QHash>
#include <QPointer>
#include <QSet>

#include <memory>

namespace vellora {

class MemoryCloudContainer;

class MemoryCloudService : public QObject {
    Q_OBJECT
public:
    explicit MemoryCloudService(QObject *parent = nullptr);
    ~MemoryCloudService() override;

    void addUser(const QString &name);
    // A container acting as `user` (an unknown name is refused with 9).
    MemoryCloudContainer *container(const QString &user);

    // Records per page of zone changes.
    void setPageSize(int records) { m_pageSize = records; }
    void setMaxAssetBytes(qint64 bytes) { m_maxAssetBytes = bytes; }
    // The next `count` modify calls fail whole with `code` (for tests).
    void failNextModifies(int count, int code) { m_failModifies = count; m_failCode = code; }
    // Makes every stored change token of the zone expire.
    void expireTokens(const QString &owner, const QString &zone);
    int modifyCalls() const { return m_modifyCalls; }
    // The service's view of a zone, for tests: record names by type.
    QStringList recordNames(const QString &owner, const QString &zone, const QString &type) const;

    struct Zone;
    struct Share;

private:
    friend class MemoryCloudDatabase;
    friend class MemoryCloudContainer;

    std::optional<CloudError> authorize(const QString &user, CloudScope scope, const CloudZoneID &zone,
                                        bool write, Zone **found);
    void bump(Zone &zone);
    void notify(const Zone &zone);

    QSet<QString> m_users;
    QHash<QString, std::shared_ptr<Zone>> m_zones;   // by "owner/name"
    QSet<QString> m_deletedZones;                     // "owner/name" of deleted zones
    QHash<QString, QByteArray> m_assets;              // by hash
    QHash<QString, QString> m_shareZones;             // share token -> zone key
    QHash<QString, QSet<QString>> m_subscriptions;    // user -> subscription ids
    QList<QPointer<MemoryCloudContainer>> m_containers;
    qint64 m_epochs = 0;
    int m_pageSize = 200;
    qint64 m_maxAssetBytes = 64 * 1024 * 1024;
    int m_failModifies = 0;
    int m_failCode = 0;
    int m_modifyCalls = 0;
};

class MemoryCloudDatabase final : public CloudDatabase {
public:
    MemoryCloudDatabase(MemoryCloudService &service, QString user, CloudScope scope, QObject *context);
    CloudScope scope() const override { return m_scope; }
    void saveZone(const CloudZoneID &zone, CloudCallback<CloudNothing> done) override;
    void deleteZone(const CloudZoneID &zone, CloudCallback<CloudNothing> done) override;
    void fetchRecord(const CloudZoneID &zone, const QString &name, CloudCallback<CloudRecord> done) override;
    void modify(const CloudZoneID &zone, const QList<CloudRecord> &save, const QStringList &deletions,
                CloudSavePolicy policy, bool atomic, CloudCallback<CloudModifyResult> done) override;
    void fetchZoneChanges(const CloudZoneID &zone, const QByteArray &token,
                          CloudCallback<CloudZoneChanges> done) override;
    void downloadAsset(const CloudZoneID &zone, const CloudAsset &asset, const QString &destination,
                       CloudCallback<CloudNothing> done) override;
    void saveSubscription(const QString &id, CloudCallback<CloudNothing> done) override;

private:
    template <typename T>
    void answer(CloudCallback<T> done, CloudResult<T> result);

    MemoryCloudService &m_service;
    QString m_user;
    CloudScope m_scope;
    QObject *m_context;
};

class MemoryCloudContainer final : public CloudContainer {
    Q_OBJECT
public:
    MemoryCloudContainer(MemoryCloudService &service, const QString &user);
    CloudDatabase &privateDatabase() override { return m_private; }
    CloudDatabase &sharedDatabase() override { return m_shared; }
    bool isShareURL(const QUrl &url) const override;
    void shareMetadata(const QUrl &url, CloudCallback<CloudShareMetadata> done) override;
    void accept(const CloudShareMetadata &metadata, CloudCallback<CloudNothing> done) override;
    QString user() const { return m_user; }

private:
    friend class MemoryCloudService;
    MemoryCloudService &m_service;
    QString m_user;
    MemoryCloudDatabase m_private;
    MemoryCloudDatabase m_shared;
};

} // namespace vellora
