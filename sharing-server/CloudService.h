#pragma once
// vellora-cloud: a small self-hosted sharing service for Vellora libraries.
// JSON over HTTP in front of PostgreSQL, which keeps users, zones, records,
// assets, shares and the per-zone change sequences; everything a request
// changes is written in one transaction. One function, authorize(), decides
// what a caller may see and change.

#include <QAbstractHttpServer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QSqlDatabase>
#include <QString>

#include <optional>
#include <variant>

class QTcpSocket;

namespace cloud {

struct DatabaseOptions {
    QString host;   // a folder for a unix socket, or a host name
    int port = 5432;
    QString name = QStringLiteral("postgres");
    QString user;
    QString password;
};

struct ServiceOptions {
    QString publicURL;          // the base of share URLs
    qint64 maxAssetBytes = 64LL * 1024 * 1024;
    int pageSize = 200;
};

struct ApiError {
    int code = 1;
    QString message;
    QJsonObject extra;
};

// Opens the database and brings its schema up to date; false with a reason.
bool openDatabase(const DatabaseOptions &options, QString *error);
// Adds a user and returns the token, which is stored only as its SHA-256.
std::optional<QString> addUser(const QString &name, QString *error);

class CloudService : public QAbstractHttpServer {
    Q_OBJECT
public:
    explicit CloudService(ServiceOptions options, QObject *parent = nullptr);
    void setPublicURL(const QString &url) { m_options.publicURL = url; }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct User {
        qint64 id = 0;
        QString name;
    };
    struct Access {
        qint64 zoneId = 0;
        qint64 ownerId = 0;
        QString ownerName;
        QString zoneName;
        bool owner = false;
    };
    enum class Scope { Private, Shared };
    using Result = std::variant<QJsonObject, ApiError>;

    std::optional<User> authenticate(const QHttpServerRequest &request);
    std::variant<Access, ApiError> authorize(const User &caller, Scope scope, const QString &owner,
                                             const QString &zone, bool write);

    Result saveZone(const User &caller, Scope scope, const QJsonObject &body);
    Result deleteZone(const User &caller, Scope scope, const QJsonObject &body);
    Result lookup(const User &caller, Scope scope, const QJsonObject &body);
    Result modify(const User &caller, Scope scope, const QJsonObject &body);
    Result changes(const User &caller, Scope scope, const QJsonObject &body);
    Result uploadAsset(const QByteArray &body);
    std::variant<QByteArray, ApiError> fetchAsset(const User &caller, Scope scope, const QJsonObject &body);
    Result subscribe(const User &caller, const QJsonObject &body);
    Result shareMetadata(const User &caller, const QJsonObject &body);
    Result acceptShare(const User &caller, const QJsonObject &body);

    QJsonObject recordJson(qint64 zoneId, const QString &name, const QString &type, const QString &parent,
                           const QByteArray &fields, const QByteArray &assets, qint64 seq);
    void notifyZone(qint64 zoneId);
    void flushNotifications();
    void openEvents(const User &caller, QTcpSocket *socket);

    ServiceOptions m_options;
    QHash<qint64, QList<QPointer<QTcpSocket>>> m_streams; // by user id
    QSet<qint64> m_pendingNotify;
};

} // namespace cloud
