#pragma once
// The cloud database that shared collections live in, as the sharing engine
// sees it: a container with a private and a shared database, record zones,
// records with assets and change tags, shares with participants, zone changes
// since an opaque token, subscriptions and invitations.
//
// HttpCloudContainer talks to a vellora-cloud service; the tests have one
// that keeps everything in their own process. Every call
// answers later on the main thread through its callback, never from inside
// the call itself.

#include "CloudProtocol.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <variant>

namespace vellora {

// The owner name that stands for "the user asking" in the private database.
inline const QString kCurrentUserDefaultName = cloudprotocol::kDefaultOwner;
inline const QString kShareRecordType = cloudprotocol::kTypeShare;

// Error codes: those the service answers with are the wire protocol's; the
// others arise in the client.
enum CloudErrorCode {
    CloudInternalError = cloudprotocol::ErrorInternal,
    CloudPartialFailure = cloudprotocol::ErrorPartialFailure,
    CloudNetworkUnavailable = 3,
    CloudNetworkFailure = 4,
    CloudBadContainer = 5,
    CloudNotAuthenticated = cloudprotocol::ErrorNotAuthenticated,
    CloudPermissionFailure = cloudprotocol::ErrorPermissionFailure,
    CloudUnknownItem = cloudprotocol::ErrorUnknownItem,
    CloudInvalidArguments = cloudprotocol::ErrorInvalidArguments,
    CloudServerRecordChanged = cloudprotocol::ErrorServerRecordChanged,
    CloudServerRejectedRequest = 15,
    CloudChangeTokenExpired = cloudprotocol::ErrorChangeTokenExpired,
    CloudBatchRequestFailed = cloudprotocol::ErrorBatchRequestFailed,
    CloudLimitExceeded = cloudprotocol::ErrorLimitExceeded,
    CloudZoneNotFound = cloudprotocol::ErrorZoneNotFound,
    CloudUserDeletedZone = cloudprotocol::ErrorUserDeletedZone,
};

struct CloudRecord;

struct CloudError {
    int code = CloudInternalError;
    QString message;
    // For a partial failure: the code of each record that failed, by record name.
    QMap<QString, int> perRecord;
    // For "server record changed": the record as the server has it.
    std::shared_ptr<CloudRecord> serverRecord;

    // "CloudError(code: 14, message)": the error's default textual form.
    QString description() const;
};

CloudError cloudError(int code, const QString &message);

template <typename T>
using CloudResult = std::variant<T, CloudError>;

template <typename T>
bool isError(const CloudResult<T> &result) { return std::holds_alternative<CloudError>(result); }

struct CloudNothing {};

struct CloudZoneID {
    QString name;
    QString owner = kCurrentUserDefaultName;
    bool operator==(const CloudZoneID &) const = default;
};

// A file carried by a record. Saving: `filePath` names the local file to
// send. Fetched: `hash` (SHA-256, hex) and `size` name the server's copy,
// which downloadAsset() writes to a file.
struct CloudAsset {
    QString filePath;
    QString hash;
    qint64 size = 0;
    bool operator==(const CloudAsset &) const = default;
};

struct CloudParticipant {
    QString user;
    QString permission = cloudprotocol::kPermissionReadOnly; // or kPermissionReadWrite
    bool accepted = false;
    bool operator==(const CloudParticipant &) const = default;
};

struct CloudRecord {
    QString type;
    QString name;
    CloudZoneID zone;
    // The record name of the parent in the same zone, if any.
    QString parent;
    // Strings, numbers, Booleans and lists of strings; dates are seconds since
    // 2001-01-01 as numbers.
    QJsonObject fields;
    QMap<QString, CloudAsset> assets;
    // Empty for a record never saved; the server's tag otherwise.
    QString changeTag;

    // Share records (type kShareRecordType): the service fills in `url`;
    // title, public permission and participants are ordinary fields.
    QString shareURL() const { return fields.value(cloudprotocol::kUrl).toString(); }
    QList<CloudParticipant> participants() const;
    void setParticipants(const QList<CloudParticipant> &participants);
};

enum class CloudSavePolicy {
    IfServerRecordUnchanged, // a record saved with a stale or missing tag fails with 14
    ChangedKeys,             // the sent keys replace the server's, the others stay
    AllKeys,                 // the sent record replaces the server's
};

struct CloudModifyResult {
    QList<CloudRecord> saved;
    QStringList deleted;
    // A modification that is not atomic saves what it can: the code of each
    // record or deletion that failed, by record name.
    QMap<QString, int> failed;
};

struct CloudZoneChanges {
    QList<CloudRecord> changed;
    // Deleted record names with their types.
    QList<std::pair<QString, QString>> deleted;
    QByteArray token;
    bool moreComing = false;
};

// What a share URL tells before it is accepted.
struct CloudShareMetadata {
    QUrl url;
    QString rootRecordName;
    CloudZoneID zone; // owner is the owner's user name
    QString title;
    QString permission;
};

template <typename T>
using CloudCallback = std::function<void(CloudResult<T>)>;

enum class CloudScope { Private, Shared };

class CloudDatabase {
public:
    virtual ~CloudDatabase() = default;
    virtual CloudScope scope() const = 0;

    virtual void saveZone(const CloudZoneID &zone, CloudCallback<CloudNothing> done) = 0;
    // The owner deletes the zone and its share; a participant leaves it.
    virtual void deleteZone(const CloudZoneID &zone, CloudCallback<CloudNothing> done) = 0;
    virtual void fetchRecord(const CloudZoneID &zone, const QString &name, CloudCallback<CloudRecord> done) = 0;
    // All records and deletions in one zone. Atomic: all or nothing. Not
    // atomic: each record on its own; failures come back as a partial failure
    // whose perRecord names them, and the saved ones are saved.
    virtual void modify(const CloudZoneID &zone, const QList<CloudRecord> &save, const QStringList &deletions,
                        CloudSavePolicy policy, bool atomic, CloudCallback<CloudModifyResult> done) = 0;
    // Changes after `token` (empty: from the start), a page at a time.
    virtual void fetchZoneChanges(const CloudZoneID &zone, const QByteArray &token,
                                  CloudCallback<CloudZoneChanges> done) = 0;
    // Writes the asset's bytes to `destination` once size and hash match.
    virtual void downloadAsset(const CloudZoneID &zone, const CloudAsset &asset, const QString &destination,
                               CloudCallback<CloudNothing> done) = 0;
    virtual void saveSubscription(const QString &id, CloudCallback<CloudNothing> done) = 0;
};

class CloudContainer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual CloudDatabase &privateDatabase() = 0;
    virtual CloudDatabase &sharedDatabase() = 0;
    // True for a URL this container's service hands out for shares.
    virtual bool isShareURL(const QUrl &url) const = 0;
    virtual void shareMetadata(const QUrl &url, CloudCallback<CloudShareMetadata> done) = 0;
    virtual void accept(const CloudShareMetadata &metadata, CloudCallback<CloudNothing> done) = 0;
    // Why every call is refused (the service is not set up), if it is.
    virtual std::optional<CloudError> refusal() const { return std::nullopt; }

signals:
    // A database the user subscribed to changed somewhere (the silent push).
    void remoteChange();
};

// Helpers for record fields.
QJsonObject participantJson(const CloudParticipant &participant);
CloudParticipant participantFromJson(const QJsonObject &object);

} // namespace vellora
