#pragma once
// The cloud database over HTTP: a client of a vellora-cloud service, JSON
// calls with a bearer token. Plain http is refused except to loopback; TLS
// is the business of the proxy in front of the service.

#include "CloudDatabase.h"

#include <QNetworkAccessManager>
#include <QPointer>

class QNetworkReply;

namespace vellora {

class Defaults;
class HttpCloudContainer;

inline const QString kSharingServerURLKey = QStringLiteral("sharingServerURL");
inline const QString kSharingTokenKey = QStringLiteral("sharingToken");

class HttpCloudDatabase final : public CloudDatabase {
public:
    HttpCloudDatabase(HttpCloudContainer &container, CloudScope scope);
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
    QString path(const QString &call) const;
    HttpCloudContainer &m_container;
    CloudScope m_scope;
};

class HttpCloudContainer final : public CloudContainer {
    Q_OBJECT
public:
    // `service` is the service's base URL ("https://share.example.org").
    HttpCloudContainer(const QUrl &service, const QString &token, QObject *parent = nullptr);
    ~HttpCloudContainer() override;

    CloudDatabase &privateDatabase() override { return m_private; }
    CloudDatabase &sharedDatabase() override { return m_shared; }
    bool isShareURL(const QUrl &url) const override;
    void shareMetadata(const QUrl &url, CloudCallback<CloudShareMetadata> done) override;
    void accept(const CloudShareMetadata &metadata, CloudCallback<CloudNothing> done) override;
    std::optional<CloudError> refusal() const override { return m_refused; }

    // The user the token belongs to.
    void whoAmI(CloudCallback<QString> done);
    // Keeps the service's event stream open; each "changed" event is a remoteChange().
    void listenForChanges();

private:
    friend class HttpCloudDatabase;
    // A JSON call; answers with the reply's object or the service's error.
    void call(const QString &path, const QJsonObject &body, CloudCallback<QJsonObject> done);
    void uploadAssets(QList<CloudRecord> records, std::function<void(QList<CloudRecord>, QMap<QString, int>)> done);
    void download(const QString &path, const QJsonObject &body, const CloudAsset &asset, const QString &destination,
                  CloudCallback<CloudNothing> done);
    QNetworkRequest request(const QString &path) const;
    template <typename T>
    bool refuse(const CloudCallback<T> &done);
    void openEventStream();

    QNetworkAccessManager m_network;
    QUrl m_service;
    QByteArray m_token;
    std::optional<CloudError> m_refused;
    HttpCloudDatabase m_private;
    HttpCloudDatabase m_shared;
    QPointer<QNetworkReply> m_events;
    QByteArray m_eventBuffer;
    bool m_listening = false;
    bool m_eventsLost = false;
    int m_reconnectDelayMs = 1000;
};

// The container for the settings' "sharingServerURL" and "sharingToken"; one
// that refuses every call, saying why, when they are missing.
CloudContainer *makeServiceContainer(Defaults &settings, QObject *parent);

// Record coding of the service's JSON.
QJsonObject recordToJson(const CloudRecord &record);
CloudRecord recordFromJson(const QJsonObject &object, const CloudZoneID &zone);

} // namespace vellora
