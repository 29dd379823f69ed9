#include "HttpCloud.h"

#include "SharingRecords.h"

#include "platform/Defaults.h"
#include "platform/Digest.h"
#include "platform/Logging.h"
#include "platform/WebAddress.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QThreadPool>
#include <QTimer>

namespace vellora {

namespace protocol = cloudprotocol;

namespace {

constexpr int kTransferTimeoutMs = 60000;
// The event stream comes back 1 s after it was lost, then ever later, at most every 30 s.
constexpr int kFirstReconnectMs = 1000;
constexpr int kLastReconnectMs = 30000;

QString policyName(CloudSavePolicy policy)
{
    switch (policy) {
    case CloudSavePolicy::IfServerRecordUnchanged: return QString(protocol::kPolicyIfServerRecordUnchanged);
    case CloudSavePolicy::ChangedKeys: return QString(protocol::kPolicyChangedKeys);
    case CloudSavePolicy::AllKeys: return QString(protocol::kPolicyAllKeys);
    }
    return {};
}

QJsonObject zoneBody(const CloudZoneID &zone)
{
    return QJsonObject{{QString(protocol::kZone), zone.name}, {QString(protocol::kOwner), zone.owner}};
}

// The share token is the last path component of a share URL.
QString shareToken(const QUrl &url) { return url.path().section(QLatin1Char('/'), -1); }

} // namespace

QJsonObject recordToJson(const CloudRecord &record)
{
    QJsonObject assets;
    for (auto it = record.assets.begin(); it != record.assets.end(); ++it)
        assets.insert(it.key(), QJsonObject{{QString(protocol::kHash), it->hash}, {QString(protocol::kSize), double(it->size)}});
    return QJsonObject{{QString(protocol::kType), record.type},       {QString(protocol::kName), record.name},
                       {QString(protocol::kParent), record.parent},   {QString(protocol::kFields), record.fields},
                       {QString(protocol::kAssets), assets},          {QString(protocol::kChangeTag), record.changeTag}};
}

CloudRecord recordFromJson(const QJsonObject &object, const CloudZoneID &zone)
{
    CloudRecord record;
    record.type = object.value(QString(protocol::kType)).toString();
    record.name = object.value(QString(protocol::kName)).toString();
    record.zone = zone;
    record.parent = object.value(QString(protocol::kParent)).toString();
    record.fields = object.value(QString(protocol::kFields)).toObject();
    record.changeTag = object.value(QString(protocol::kChangeTag)).toString();
    const QJsonObject assets = object.value(QString(protocol::kAssets)).toObject();
    for (auto it = assets.begin(); it != assets.end(); ++it) {
        const QJsonObject asset = it.value().toObject();
        record.assets.insert(it.key(), CloudAsset{QString(), asset.value(QString(protocol::kHash)).toString(),
                                                  qint64(asset.value(QString(protocol::kSize)).toDouble())});
    }
    return record;
}

// ---------------------------------------------------------------- container

HttpCloudContainer::HttpCloudContainer(const QUrl &service, const QString &token, QObject *parent)
    : CloudContainer(parent), m_service(service), m_token(token.toUtf8()), m_private(*this, CloudScope::Private),
      m_shared(*this, CloudScope::Shared)
{
    while (m_service.path().endsWith(QLatin1Char('/')))
        m_service.setPath(m_service.path().chopped(1));
    const QString scheme = m_service.scheme().toLower();
    if (!m_service.isValid() || m_service.host().isEmpty())
        m_refused = cloudError(CloudBadContainer, QStringLiteral("no sharing service set up (sharingServerURL)"));
    else if (scheme != QLatin1String("https") && !(scheme == QLatin1String("http") && isLoopbackHost(m_service.host())))
        m_refused = cloudError(CloudBadContainer, QStringLiteral("the sharing service must use https"));
    else if (m_token.isEmpty())
        m_refused = cloudError(CloudNotAuthenticated, QStringLiteral("no sharing token set up (sharingToken)"));
}

HttpCloudContainer::~HttpCloudContainer()
{
    if (m_events)
        m_events->abort();
}

template <typename T>
bool HttpCloudContainer::refuse(const CloudCallback<T> &done)
{
    if (!m_refused)
        return false;
    QMetaObject::invokeMethod(this, [done, error = *m_refused] { done(error); }, Qt::QueuedConnection);
    return true;
}

QNetworkRequest HttpCloudContainer::request(const QString &path) const
{
    QUrl url = m_service;
    url.setPath(m_service.path() + path);
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + m_token);
    request.setTransferTimeout(kTransferTimeoutMs);
    // Redirects could carry the token elsewhere.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return request;
}

namespace {

CloudError replyError(QNetworkReply *reply, const QByteArray &body)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    if (object.contains(QString(protocol::kError))) {
        CloudError error = cloudError(object.value(QString(protocol::kError)).toInt(CloudInternalError),
                                      object.value(QString(protocol::kMessage)).toString());
        const QJsonObject perRecord = object.value(QString(protocol::kPerRecord)).toObject();
        for (auto it = perRecord.begin(); it != perRecord.end(); ++it)
            error.perRecord.insert(it.key(), it.value().toInt());
        return error;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0)
        return cloudError(CloudNetworkFailure, reply->errorString());
    return cloudError(CloudServerRejectedRequest, QStringLiteral("HTTP %1").arg(status));
}

} // namespace

void HttpCloudContainer::call(const QString &path, const QJsonObject &body, CloudCallback<QJsonObject> done)
{
    if (refuse(done))
        return;
    QNetworkRequest req = request(path);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = body.isEmpty() && path == protocol::kPathMe
                               ? m_network.get(req)
                               : m_network.post(req, QJsonDocument(body).toJson(QJsonDocument::Compact));
    connect(reply, &QNetworkReply::finished, this, [reply, done] {
        reply->deleteLater();
        const QByteArray bytes = reply->readAll();
        if (reply->error() != QNetworkReply::NoError) {
            CloudError error = replyError(reply, bytes);
            const QJsonObject object = QJsonDocument::fromJson(bytes).object();
            if (object.contains(QString(protocol::kServerRecord)))
                error.serverRecord = std::make_shared<CloudRecord>(
                    recordFromJson(object.value(QString(protocol::kServerRecord)).toObject(), CloudZoneID{}));
            return done(error);
        }
        const QJsonDocument document = QJsonDocument::fromJson(bytes);
        if (!document.isObject())
            return done(cloudError(CloudServerRejectedRequest, QStringLiteral("not a JSON answer")));
        done(document.object());
    });
}

void HttpCloudContainer::uploadAssets(QList<CloudRecord> records,
                                      std::function<void(QList<CloudRecord>, QMap<QString, int>)> done)
{
    struct Job {
        QList<CloudRecord> records;
        QMap<QString, int> failed;
        int pending = 0;
        std::function<void(QList<CloudRecord>, QMap<QString, int>)> done;
    };
    auto job = std::make_shared<Job>();
    job->records = std::move(records);
    job->done = std::move(done);
    auto finishOne = [job] {
        if (--job->pending > 0)
            return;
        QList<CloudRecord> kept;
        for (const CloudRecord &record : job->records)
            if (!job->failed.contains(record.name))
                kept.append(record);
        job->done(kept, job->failed);
    };
    job->pending = 1; // held until every upload has started
    QPointer<HttpCloudContainer> self(this);
    for (qsizetype r = 0; r < job->records.size(); ++r) {
        for (auto it = job->records[r].assets.begin(); it != job->records[r].assets.end(); ++it) {
            if (it->filePath.isEmpty())
                continue;
            ++job->pending;
            const QString field = it.key();
            const QString path = it->filePath;
            // Files are read off the main thread; a file over the cap is not sent.
            QThreadPool::globalInstance()->start([self, job, r, field, path, finishOne] {
                QFile file(path);
                std::optional<QByteArray> bytes;
                if (file.open(QIODevice::ReadOnly) && file.size() <= kMaxSharedAssetBytes)
                    bytes = file.read(kMaxSharedAssetBytes + 1);
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [self, job, r, field, bytes, finishOne] {
                        const QString name = job->records[r].name;
                        if (!self || !bytes || bytes->size() > kMaxSharedAssetBytes) {
                            job->failed.insert(name, bytes ? int(CloudLimitExceeded) : int(CloudInvalidArguments));
                            return finishOne();
                        }
                        QNetworkRequest req = self->request(QString(protocol::kPathAssets));
                        req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/octet-stream"));
                        QNetworkReply *reply = self->m_network.post(req, *bytes);
                        QObject::connect(reply, &QNetworkReply::finished, self, [reply, job, r, field, name, finishOne] {
                            reply->deleteLater();
                            const QByteArray answer = reply->readAll();
                            if (reply->error() != QNetworkReply::NoError) {
                                job->failed.insert(name, replyError(reply, answer).code);
                                return finishOne();
                            }
                            const QJsonObject object = QJsonDocument::fromJson(answer).object();
                            job->records[r].assets[field] =
                                CloudAsset{QString(), object.value(QString(protocol::kHash)).toString(),
                                           qint64(object.value(QString(protocol::kSize)).toDouble())};
                            finishOne();
                        });
                    },
                    Qt::QueuedConnection);
            });
        }
    }
    QMetaObject::invokeMethod(this, finishOne, Qt::QueuedConnection);
}

void HttpCloudContainer::download(const QString &path, const QJsonObject &body, const CloudAsset &asset,
                                  const QString &destination, CloudCallback<CloudNothing> done)
{
    if (refuse(done))
        return;
    auto later = [this, done](const CloudError &error) {
        QMetaObject::invokeMethod(this, [done, error] { done(error); }, Qt::QueuedConnection);
    };
    if (asset.size > kMaxSharedAssetBytes || asset.size < 0)
        return later(cloudError(CloudLimitExceeded, QStringLiteral("asset too large")));
    auto file = std::make_shared<QFile>(destination);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate))
        return later(cloudError(CloudInternalError, file->errorString()));
    QNetworkRequest req = request(path);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = m_network.post(req, QJsonDocument(body).toJson(QJsonDocument::Compact));
    auto hash = std::make_shared<QCryptographicHash>(QCryptographicHash::Sha256);
    auto written = std::make_shared<qint64>(0);
    auto tooLarge = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::readyRead, this, [reply, file, hash, written, tooLarge, asset] {
        // An error's body is read when the reply finishes.
        if (reply->error() != QNetworkReply::NoError
            || reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
            return;
        const QByteArray chunk = reply->readAll();
        *written += chunk.size();
        // Never more than the record said, whatever the other side sends.
        if (*written > asset.size) {
            *tooLarge = true;
            reply->abort();
            return;
        }
        hash->addData(chunk);
        file->write(chunk);
    });
    connect(reply, &QNetworkReply::finished, this, [reply, file, hash, written, tooLarge, asset, destination, done] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError && !*tooLarge) {
            const QByteArray body = reply->readAll();
            file->remove();
            return done(replyError(reply, body));
        }
        const QByteArray rest = *tooLarge ? QByteArray() : reply->readAll();
        *written += rest.size();
        hash->addData(rest);
        file->write(rest);
        const bool flushed = file->flush();
        file->close();
        if (*tooLarge || !flushed || *written != asset.size
            || sha256Hex(hash->result()) != asset.hash) {
            file->remove();
            return done(cloudError(CloudInternalError, QStringLiteral("asset does not match its record")));
        }
        done(CloudNothing{});
    });
}

bool HttpCloudContainer::isShareURL(const QUrl &url) const
{
    if (m_refused)
        return false;
    const QString prefix = m_service.path() + QString(protocol::kPathSharePage);
    const int defaultPort = m_service.scheme() == QLatin1String("https") ? 443 : 80;
    return url.scheme() == m_service.scheme() && url.host().compare(m_service.host(), Qt::CaseInsensitive) == 0
        && url.port(defaultPort) == m_service.port(defaultPort) && url.path().startsWith(prefix) && url.path().size() > prefix.size()
        && !url.path().mid(prefix.size()).contains(QLatin1Char('/'));
}

void HttpCloudContainer::shareMetadata(const QUrl &url, CloudCallback<CloudShareMetadata> done)
{
    if (!isShareURL(url)) {
        QMetaObject::invokeMethod(
            this, [done] { done(cloudError(CloudInvalidArguments, QStringLiteral("not a share of this service"))); },
            Qt::QueuedConnection);
        return;
    }
    call(QString(protocol::kPathShareMetadata), QJsonObject{{QString(protocol::kToken), shareToken(url)}},
         [done, url](CloudResult<QJsonObject> result) {
             if (isError(result))
                 return done(std::get<CloudError>(result));
             const QJsonObject o = std::get<QJsonObject>(result);
             CloudShareMetadata metadata;
             metadata.url = url;
             metadata.rootRecordName = o.value(QString(protocol::kRootRecord)).toString();
             metadata.zone = CloudZoneID{o.value(QString(protocol::kZone)).toString(), o.value(QString(protocol::kOwner)).toString()};
             metadata.title = o.value(QString(protocol::kTitle)).toString();
             metadata.permission = o.value(QString(protocol::kPermission)).toString();
             done(metadata);
         });
}

void HttpCloudContainer::accept(const CloudShareMetadata &metadata, CloudCallback<CloudNothing> done)
{
    call(QString(protocol::kPathShareAccept), QJsonObject{{QString(protocol::kToken), shareToken(metadata.url)}},
         [done](CloudResult<QJsonObject> result) {
             if (isError(result))
                 return done(std::get<CloudError>(result));
             done(CloudNothing{});
         });
}

void HttpCloudContainer::whoAmI(CloudCallback<QString> done)
{
    call(QString(protocol::kPathMe), {}, [done](CloudResult<QJsonObject> result) {
        if (isError(result))
            return done(std::get<CloudError>(result));
        done(std::get<QJsonObject>(result).value(QString(protocol::kUser)).toString());
    });
}

void HttpCloudContainer::listenForChanges()
{
    if (m_listening || m_refused)
        return;
    m_listening = true;
    openEventStream();
}

void HttpCloudContainer::openEventStream()
{
    QNetworkRequest req = request(QString(protocol::kPathEvents));
    req.setTransferTimeout(0);
    req.setRawHeader("Accept", "text/event-stream");
    m_events = m_network.get(req);
    m_eventBuffer.clear();
    QNetworkReply *reply = m_events;
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
            return;
        m_reconnectDelayMs = kFirstReconnectMs;
        // Whatever changed while the stream was down was never announced.
        if (std::exchange(m_eventsLost, false))
            emit remoteChange();
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        m_eventBuffer += reply->readAll();
        qsizetype end;
        while ((end = m_eventBuffer.indexOf("\n\n")) >= 0) {
            const QByteArray event = m_eventBuffer.left(end);
            m_eventBuffer.remove(0, end + 2);
            if (event.split('\n').contains(protocol::kEventChanged))
                emit remoteChange();
        }
        if (m_eventBuffer.size() > 64 * 1024)
            m_eventBuffer.clear();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        if (reply->error() == QNetworkReply::OperationCanceledError)
            return;
        m_eventsLost = true;
        const int delay = m_reconnectDelayMs;
        m_reconnectDelayMs = std::min(m_reconnectDelayMs * 2, kLastReconnectMs);
        QTimer::singleShot(delay, this, [this] { openEventStream(); });
    });
}

// ---------------------------------------------------------------- database

HttpCloudDatabase::HttpCloudDatabase(HttpCloudContainer &container, CloudScope scope)
    : m_container(container), m_scope(scope)
{
}

QString HttpCloudDatabase::path(const QString &call) const
{
    return (m_scope == CloudScope::Private ? QString(protocol::kPathPrivate) : QString(protocol::kPathShared)) + call;
}

void HttpCloudDatabase::saveZone(const CloudZoneID &zone, CloudCallback<CloudNothing> done)
{
    m_container.call(path(QString(protocol::kCallZoneSave)), zoneBody(zone), [done](CloudResult<QJsonObject> result) {
        if (isError(result))
            return done(std::get<CloudError>(result));
        done(CloudNothing{});
    });
}

void HttpCloudDatabase::deleteZone(const CloudZoneID &zone, CloudCallback<CloudNothing> done)
{
    m_container.call(path(QString(protocol::kCallZoneDelete)), zoneBody(zone), [done](CloudResult<QJsonObject> result) {
        if (isError(result))
            return done(std::get<CloudError>(result));
        done(CloudNothing{});
    });
}

void HttpCloudDatabase::fetchRecord(const CloudZoneID &zone, const QString &name, CloudCallback<CloudRecord> done)
{
    QJsonObject body = zoneBody(zone);
    body.insert(QString(protocol::kName), name);
    m_container.call(path(QString(protocol::kCallLookup)), body, [done, zone](CloudResult<QJsonObject> result) {
        if (isError(result))
            return done(std::get<CloudError>(result));
        done(recordFromJson(std::get<QJsonObject>(result), zone));
    });
}

void HttpCloudDatabase::modify(const CloudZoneID &zone, const QList<CloudRecord> &save, const QStringList &deletions,
                               CloudSavePolicy policy, bool atomic, CloudCallback<CloudModifyResult> done)
{
    if (m_container.refuse(done))
        return;
    QPointer<HttpCloudContainer> container(&m_container);
    const QString callPath = path(QString(protocol::kCallModify));
    m_container.uploadAssets(save, [container, callPath, zone, deletions, policy, atomic, done, all = save](
                                       QList<CloudRecord> records, QMap<QString, int> failed) {
        if (!container)
            return;
        if (atomic && !failed.isEmpty()) {
            CloudError error = cloudError(CloudPartialFailure, QStringLiteral("assets not sent"));
            error.perRecord = failed;
            for (const CloudRecord &record : all)
                if (!failed.contains(record.name))
                    error.perRecord.insert(record.name, CloudBatchRequestFailed);
            return done(error);
        }
        QJsonArray saveArray;
        for (const CloudRecord &record : records)
            saveArray.append(recordToJson(record));
        QJsonObject body = zoneBody(zone);
        body.insert(QString(protocol::kSave), saveArray);
        body.insert(QString(protocol::kDelete), QJsonArray::fromStringList(deletions));
        body.insert(QString(protocol::kPolicy), policyName(policy));
        body.insert(QString(protocol::kAtomic), atomic);
        container->call(callPath, body, [done, zone, failed](CloudResult<QJsonObject> result) {
            if (isError(result))
                return done(std::get<CloudError>(result));
            const QJsonObject o = std::get<QJsonObject>(result);
            CloudModifyResult modified;
            modified.failed = failed;
            for (const QJsonValue &record : o.value(QString(protocol::kSaved)).toArray())
                modified.saved.append(recordFromJson(record.toObject(), zone));
            for (const QJsonValue &name : o.value(QString(protocol::kDeleted)).toArray())
                modified.deleted.append(name.toString());
            const QJsonObject serverFailed = o.value(QString(protocol::kFailed)).toObject();
            for (auto it = serverFailed.begin(); it != serverFailed.end(); ++it)
                modified.failed.insert(it.key(), it.value().toInt());
            done(modified);
        });
    });
}

void HttpCloudDatabase::fetchZoneChanges(const CloudZoneID &zone, const QByteArray &token,
                                         CloudCallback<CloudZoneChanges> done)
{
    QJsonObject body = zoneBody(zone);
    body.insert(QString(protocol::kToken), QString::fromLatin1(token));
    m_container.call(path(QString(protocol::kCallChanges)), body, [done, zone](CloudResult<QJsonObject> result) {
        if (isError(result))
            return done(std::get<CloudError>(result));
        const QJsonObject o = std::get<QJsonObject>(result);
        CloudZoneChanges changes;
        for (const QJsonValue &record : o.value(QString(protocol::kChanged)).toArray())
            changes.changed.append(recordFromJson(record.toObject(), zone));
        for (const QJsonValue &deleted : o.value(QString(protocol::kDeleted)).toArray())
            changes.deleted.append({deleted.toObject().value(QString(protocol::kName)).toString(),
                                    deleted.toObject().value(QString(protocol::kType)).toString()});
        changes.token = o.value(QString(protocol::kToken)).toString().toLatin1();
        changes.moreComing = o.value(QString(protocol::kMoreComing)).toBool();
        done(changes);
    });
}

void HttpCloudDatabase::downloadAsset(const CloudZoneID &zone, const CloudAsset &asset, const QString &destination,
                                      CloudCallback<CloudNothing> done)
{
    QJsonObject body = zoneBody(zone);
    body.insert(QString(protocol::kHash), asset.hash);
    m_container.download(path(QString(protocol::kCallAssetFetch)), body, asset, destination, std::move(done));
}

void HttpCloudDatabase::saveSubscription(const QString &id, CloudCallback<CloudNothing> done)
{
    QPointer<HttpCloudContainer> container(&m_container);
    m_container.call(QString(protocol::kPathSubscriptions),
                     QJsonObject{{QString(protocol::kId), id},
                                 {QString(protocol::kScope), m_scope == CloudScope::Private ? QString(protocol::kScopePrivate)
                                                                                          : QString(protocol::kScopeShared)}},
                     [done, container](CloudResult<QJsonObject> result) {
                         if (isError(result))
                             return done(std::get<CloudError>(result));
                         // Subscribed: the service's event stream stands in for the silent push.
                         if (container)
                             container->listenForChanges();
                         done(CloudNothing{});
                     });
}

CloudContainer *makeServiceContainer(Defaults &settings, QObject *parent)
{
    return new HttpCloudContainer(QUrl(settings.string(kSharingServerURLKey)), settings.string(kSharingTokenKey), parent);
}

} // namespace vellora
