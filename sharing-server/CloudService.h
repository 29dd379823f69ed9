#pragma once
// vellora-cloud: a small self-hosted sharing service for Vellora libraries.
// JSON over HTTP in front of PostgreSQL, which keeps users, zones, records,
// assets, shares and the per-zone change sequences; everything a request
// changes is written in one transaction. One function, authorize(), decides
// what a caller may see and change.
//
// This class knows nothing of sockets: the HTTP front end (HttpFrontEnd)
// hands it one request at a time on any of its threads. Each thread keeps a
// database connection of its own, opened on first use and opened again when
// the database went away.

#include <QByteArray>
#include <QJsonObject>
#include <QSet>
#include <QString>

#include <functional>
#include <mutex>
#include <optional>
#include <variant>

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
    qint64 maxRequestBytes = 16LL * 1024 * 1024;  // any other call's body
    qint64 maxUserBytes = 1024LL * 1024 * 1024;   // all files one user uploaded
    int pageSize = 200;
};

struct ApiError {
    int code = 1;
    QString message;
    QJsonObject extra;
};

struct User {
    qint64 id = 0;
    QString name;
};

struct HttpAnswer {
    int status = 200;
    QByteArray contentType = QByteArrayLiteral("application/json");
    QByteArray body;
};

// Opens the database (this thread's connection) and brings its schema up to
// date; false with a reason. Every other thread connects with these options.
bool openDatabase(const DatabaseOptions &options, QString *error);
// Adds a user and returns the token, which is stored only as its SHA-256.
std::optional<QString> addUser(const QString &name, QString *error);
// Gives a user a new token (the old one stops working) and returns it.
std::optional<QString> replaceToken(const QString &name, QString *error);
// Removes a user with their zones, their places in others' shares and the
// files nothing refers to any more.
bool removeUser(const QString &name, QString *error);
// Closes this thread's database connection.
void closeDatabase();

class CloudService {
public:
    explicit CloudService(ServiceOptions options);

    // May be set while requests are served (the port is known only once listening).
    void setPublicURL(const QString &url);
    // Told, after a commit, which users' event streams should hear of a change.
    void setNotifier(std::function<void(const QSet<qint64> &users)> notify) { m_notify = std::move(notify); }

    // The caller named by an "Authorization: Bearer <token>" header, or the
    // answer that refuses the request.
    std::variant<User, HttpAnswer> authenticate(const QByteArray &authorization) const;
    // The largest body a POST to `path` may carry.
    qint64 bodyLimit(const QString &path) const;
    // One POST of an authenticated caller.
    HttpAnswer handle(const User &caller, const QString &path, const QByteArray &body);
    // Removes files that no record refers to and that nobody is about to use.
    void collectGarbage();

    static HttpAnswer errorAnswer(const ApiError &error);

private:
    struct Access {
        qint64 zoneId = 0;
        qint64 ownerId = 0;
        QString ownerName;
        QString zoneName;
        bool owner = false;
    };
    enum class Scope { Private, Shared };
    using Result = std::variant<QJsonObject, ApiError>;

    HttpAnswer dispatch(const User &caller, const QString &path, const QByteArray &body);
    std::variant<Access, ApiError> authorize(const User &caller, Scope scope, const QJsonObject &body, bool write);

    Result saveZone(const User &caller, Scope scope, const QJsonObject &body);
    Result deleteZone(const User &caller, Scope scope, const QJsonObject &body);
    Result lookup(const User &caller, Scope scope, const QJsonObject &body);
    Result modify(const User &caller, Scope scope, const QJsonObject &body);
    Result changes(const User &caller, Scope scope, const QJsonObject &body);
    Result uploadAsset(const User &caller, const QByteArray &body);
    std::variant<QByteArray, ApiError> fetchAsset(const User &caller, Scope scope, const QJsonObject &body);
    Result subscribe(const User &caller, const QJsonObject &body);
    Result shareMetadata(const User &caller, const QJsonObject &body);
    Result acceptShare(const User &caller, const QJsonObject &body);

    QJsonObject recordJson(qint64 zoneId, const QString &name, const QString &type, const QString &parent,
                           const QByteArray &fields, const QByteArray &assets, qint64 seq);
    void notifyZone(qint64 zoneId);

    QString publicURL() const;

    ServiceOptions m_options;
    mutable std::mutex m_publicURLMutex;
    std::function<void(const QSet<qint64> &)> m_notify;
};

} // namespace cloud
