#include "CloudService.h"

#include <QCryptographicHash>
#include <QHash>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QUrl>

namespace cloud {

namespace {

// The client's name for "the user asking" in the private database.
const QString kDefaultOwner = QStringLiteral("__defaultOwner__");
const QString kShareType = QStringLiteral("cloudkit.share");

enum Code {
    Internal = 1,
    PartialFailure = 2,
    NotAuthenticated = 9,
    PermissionFailure = 10,
    UnknownItem = 11,
    InvalidArguments = 12,
    ServerRecordChanged = 14,
    ChangeTokenExpired = 21,
    ZoneNotFound = 26,
    LimitExceeded = 27,
    UserDeletedZone = 28,
};

struct SqlFailure {
    QString message;
};

// Statements are prepared once per connection and kept: preparing anew for
// every call costs two more round trips to the database each time. A caller
// reads a result before it runs the same statement again.
QSqlQuery run(const QString &sql, const QVariantList &arguments = {})
{
    static QHash<QString, QSqlQuery> prepared;
    auto found = prepared.find(sql);
    if (found == prepared.end()) {
        QSqlQuery query(QSqlDatabase::database());
        if (!query.prepare(sql))
            throw SqlFailure{query.lastError().text()};
        found = prepared.insert(sql, query);
    }
    QSqlQuery &query = *found;
    for (int i = 0; i < arguments.size(); ++i)
        query.bindValue(i, arguments.at(i));
    if (!query.exec())
        throw SqlFailure{query.lastError().text()};
    return query;
}

ApiError fail(int code, const QString &message) { return ApiError{code, message, {}}; }

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString randomToken()
{
    QByteArray raw(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(raw.data()), raw.size() / 4);
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QHttpServerResponder::StatusCode statusFor(int code)
{
    using S = QHttpServerResponder::StatusCode;
    switch (code) {
    case NotAuthenticated: return S::Unauthorized;
    case PermissionFailure: return S::Forbidden;
    case UnknownItem:
    case ZoneNotFound:
    case UserDeletedZone: return S::NotFound;
    case InvalidArguments: return S::BadRequest;
    case ServerRecordChanged:
    case PartialFailure: return S::Conflict;
    case ChangeTokenExpired: return S::Gone;
    case LimitExceeded: return S::PayloadTooLarge;
    default: return S::InternalServerError;
    }
}

bool plainName(const QString &name) { return !name.isEmpty() && name.size() <= 255 && !name.contains(QChar(0)); }

// Schema versions, applied in order at start inside one transaction.
const char *const kMigrations[] = {
    R"(CREATE TABLE users (
         id bigserial PRIMARY KEY,
         name text UNIQUE NOT NULL,
         token_hash text UNIQUE NOT NULL);
       CREATE TABLE zones (
         id bigserial PRIMARY KEY,
         owner_id bigint NOT NULL REFERENCES users(id) ON DELETE CASCADE,
         name text NOT NULL,
         seq bigint NOT NULL DEFAULT 0,
         UNIQUE (owner_id, name));
       CREATE TABLE deleted_zones (
         owner_id bigint NOT NULL REFERENCES users(id) ON DELETE CASCADE,
         name text NOT NULL,
         PRIMARY KEY (owner_id, name));
       CREATE TABLE records (
         zone_id bigint NOT NULL REFERENCES zones(id) ON DELETE CASCADE,
         name text NOT NULL,
         type text NOT NULL,
         parent text NOT NULL DEFAULT '',
         fields jsonb NOT NULL,
         assets jsonb NOT NULL,
         seq bigint NOT NULL,
         PRIMARY KEY (zone_id, name));
       CREATE INDEX records_by_seq ON records (zone_id, seq);
       CREATE TABLE tombstones (
         zone_id bigint NOT NULL REFERENCES zones(id) ON DELETE CASCADE,
         name text NOT NULL,
         type text NOT NULL,
         seq bigint NOT NULL,
         PRIMARY KEY (zone_id, name));
       CREATE TABLE assets (
         hash text PRIMARY KEY,
         size bigint NOT NULL,
         data bytea NOT NULL);
       CREATE TABLE shares (
         zone_id bigint PRIMARY KEY REFERENCES zones(id) ON DELETE CASCADE,
         token text UNIQUE NOT NULL,
         record_name text NOT NULL);
       CREATE TABLE participants (
         zone_id bigint NOT NULL REFERENCES zones(id) ON DELETE CASCADE,
         user_id bigint NOT NULL REFERENCES users(id) ON DELETE CASCADE,
         permission text NOT NULL,
         accepted boolean NOT NULL DEFAULT false,
         removed boolean NOT NULL DEFAULT false,
         PRIMARY KEY (zone_id, user_id));
       CREATE TABLE subscriptions (
         user_id bigint NOT NULL REFERENCES users(id) ON DELETE CASCADE,
         id text NOT NULL,
         PRIMARY KEY (user_id, id));)",
};

qint64 bump(qint64 zoneId)
{
    QSqlQuery q = run(QStringLiteral("UPDATE zones SET seq = seq + 1 WHERE id = ? RETURNING seq"), {zoneId});
    q.next();
    return q.value(0).toLongLong();
}

QByteArray encodeToken(qint64 epoch, qint64 seq)
{
    return (QByteArray::number(epoch) + ':' + QByteArray::number(seq))
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QJsonObject parseObject(const QByteArray &bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

} // namespace

bool openDatabase(const DatabaseOptions &options, QString *error)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"));
    db.setHostName(options.host);
    db.setPort(options.port);
    db.setDatabaseName(options.name);
    db.setUserName(options.user);
    db.setPassword(options.password);
    if (!db.open()) {
        *error = db.lastError().text();
        return false;
    }
    try {
        db.transaction();
        // Two services starting at once on one database migrate one after the other.
        run(QStringLiteral("SELECT pg_advisory_xact_lock(7260)"));
        QSqlQuery plain(db);
        if (!plain.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)")))
            throw SqlFailure{plain.lastError().text()};
        QSqlQuery current = run(QStringLiteral("SELECT coalesce(max(version), 0) FROM schema_version"));
        current.next();
        const int have = current.value(0).toInt();
        const int want = int(std::size(kMigrations));
        for (int version = have; version < want; ++version) {
            QSqlQuery step(db);
            if (!step.exec(QString::fromUtf8(kMigrations[version])))
                throw SqlFailure{step.lastError().text()};
            run(QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"), {version + 1});
        }
        if (!db.commit())
            throw SqlFailure{db.lastError().text()};
    } catch (const SqlFailure &failure) {
        db.rollback();
        *error = QStringLiteral("migration: ") + failure.message;
        return false;
    }
    return true;
}

std::optional<QString> addUser(const QString &name, QString *error)
{
    if (!plainName(name) || name == kDefaultOwner) {
        *error = QStringLiteral("not a usable user name");
        return std::nullopt;
    }
    const QString token = randomToken();
    try {
        QSqlQuery q = run(QStringLiteral("INSERT INTO users (name, token_hash) VALUES (?, ?) "
                                         "ON CONFLICT (name) DO NOTHING RETURNING id"),
                          {name, sha256Hex(token.toUtf8())});
        if (!q.next()) {
            *error = QStringLiteral("user %1 exists").arg(name);
            return std::nullopt;
        }
    } catch (const SqlFailure &failure) {
        *error = failure.message;
        return std::nullopt;
    }
    return token;
}

CloudService::CloudService(ServiceOptions options, QObject *parent)
    : QAbstractHttpServer(parent), m_options(std::move(options))
{
}

std::optional<CloudService::User> CloudService::authenticate(const QHttpServerRequest &request)
{
    const QByteArray header = request.value("Authorization");
    if (!header.startsWith("Bearer "))
        return std::nullopt;
    const QByteArray token = header.mid(7).trimmed();
    if (token.isEmpty())
        return std::nullopt;
    QSqlQuery q = run(QStringLiteral("SELECT id, name FROM users WHERE token_hash = ?"), {sha256Hex(token)});
    if (!q.next())
        return std::nullopt;
    return User{q.value(0).toLongLong(), q.value(1).toString()};
}

// The one place that decides who may see and change a zone. The private scope
// holds the caller's own zones; the shared scope the zones of others where
// the caller is an accepted participant, writable only with read-write.
std::variant<CloudService::Access, ApiError> CloudService::authorize(const User &caller, Scope scope,
                                                                     const QString &owner, const QString &zone,
                                                                     bool write)
{
    const QString ownerName = owner.isEmpty() || owner == kDefaultOwner ? caller.name : owner;
    if (!plainName(zone))
        return fail(InvalidArguments, QStringLiteral("zone name"));
    QSqlQuery o = run(QStringLiteral("SELECT id FROM users WHERE name = ?"), {ownerName});
    if (!o.next())
        return fail(scope == Scope::Private ? PermissionFailure : ZoneNotFound, QStringLiteral("zone not found"));
    const qint64 ownerId = o.value(0).toLongLong();
    if (scope == Scope::Private && ownerId != caller.id)
        return fail(PermissionFailure, QStringLiteral("not your zone"));
    if (scope == Scope::Shared && ownerId == caller.id)
        return fail(PermissionFailure, QStringLiteral("own zones are private"));
    QSqlQuery z = run(QStringLiteral("SELECT id FROM zones WHERE owner_id = ? AND name = ?"), {ownerId, zone});
    if (!z.next()) {
        QSqlQuery gone = run(QStringLiteral("SELECT 1 FROM deleted_zones WHERE owner_id = ? AND name = ?"),
                             {ownerId, zone});
        return fail(gone.next() ? UserDeletedZone : ZoneNotFound, QStringLiteral("zone not found"));
    }
    Access access{z.value(0).toLongLong(), ownerId, ownerName, zone, scope == Scope::Private};
    if (scope == Scope::Private)
        return access;
    QSqlQuery p = run(QStringLiteral("SELECT permission, accepted, removed FROM participants "
                                     "WHERE zone_id = ? AND user_id = ?"),
                      {access.zoneId, caller.id});
    if (!p.next() || !p.value(1).toBool()) {
        if (p.isValid() && p.value(2).toBool())
            return fail(ZoneNotFound, QStringLiteral("zone not found"));
        return fail(PermissionFailure, QStringLiteral("not a participant"));
    }
    if (write && p.value(0).toString() != QLatin1String("readWrite"))
        return fail(PermissionFailure, QStringLiteral("read-only participant"));
    return access;
}

QJsonObject CloudService::recordJson(qint64 zoneId, const QString &name, const QString &type, const QString &parent,
                                     const QByteArray &fields, const QByteArray &assets, qint64 seq)
{
    QJsonObject f = parseObject(fields);
    if (type == kShareType) {
        QSqlQuery s = run(QStringLiteral("SELECT token FROM shares WHERE zone_id = ?"), {zoneId});
        if (s.next())
            f.insert(QStringLiteral("url"), m_options.publicURL + QStringLiteral("/share/") + s.value(0).toString());
        QJsonArray list;
        QSqlQuery p = run(QStringLiteral("SELECT u.name, p.permission, p.accepted FROM participants p "
                                         "JOIN users u ON u.id = p.user_id "
                                         "WHERE p.zone_id = ? AND NOT p.removed ORDER BY u.name"),
                          {zoneId});
        while (p.next())
            list.append(QJsonObject{{QStringLiteral("user"), p.value(0).toString()},
                                    {QStringLiteral("permission"), p.value(1).toString()},
                                    {QStringLiteral("accepted"), p.value(2).toBool()}});
        f.insert(QStringLiteral("participants"), list);
    }
    return QJsonObject{{QStringLiteral("type"), type},
                       {QStringLiteral("name"), name},
                       {QStringLiteral("parent"), parent},
                       {QStringLiteral("fields"), f},
                       {QStringLiteral("assets"), parseObject(assets)},
                       {QStringLiteral("changeTag"), QString::number(seq)}};
}

void CloudService::notifyZone(qint64 zoneId)
{
    // Sent once the transaction is committed, so that a client that fetches
    // at once sees the change.
    QSqlQuery q = run(QStringLiteral(
                          "SELECT z.owner_id FROM zones z WHERE z.id = ? "
                          "UNION SELECT p.user_id FROM participants p WHERE p.zone_id = ? AND p.accepted"),
                      {zoneId, zoneId});
    while (q.next())
        m_pendingNotify.insert(q.value(0).toLongLong());
}

void CloudService::flushNotifications()
{
    for (const qint64 user : std::exchange(m_pendingNotify, {})) {
        auto &streams = m_streams[user];
        streams.removeIf([](const QPointer<QTcpSocket> &s) { return !s || s->state() != QAbstractSocket::ConnectedState; });
        for (const auto &socket : streams)
            socket->write("event: changed\ndata: {}\n\n");
    }
}

void CloudService::openEvents(const User &caller, QTcpSocket *socket)
{
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
                  "Connection: keep-alive\r\n\r\n: open\n\n");
    m_streams[caller.id].append(socket);
}

// ---------------------------------------------------------------- zones

CloudService::Result CloudService::saveZone(const User &caller, Scope scope, const QJsonObject &body)
{
    const QString zone = body.value(QStringLiteral("zone")).toString();
    const QString owner = body.value(QStringLiteral("owner")).toString();
    if (scope != Scope::Private || !(owner.isEmpty() || owner == kDefaultOwner || owner == caller.name))
        return fail(PermissionFailure, QStringLiteral("zones are made privately"));
    if (!plainName(zone))
        return fail(InvalidArguments, QStringLiteral("zone name"));
    run(QStringLiteral("INSERT INTO zones (owner_id, name) VALUES (?, ?) ON CONFLICT DO NOTHING"), {caller.id, zone});
    run(QStringLiteral("DELETE FROM deleted_zones WHERE owner_id = ? AND name = ?"), {caller.id, zone});
    return QJsonObject{};
}

CloudService::Result CloudService::deleteZone(const User &caller, Scope scope, const QJsonObject &body)
{
    auto access = authorize(caller, scope, body.value(QStringLiteral("owner")).toString(),
                            body.value(QStringLiteral("zone")).toString(), false);
    if (auto *error = std::get_if<ApiError>(&access))
        return *error;
    const Access a = std::get<Access>(access);
    if (a.owner) {
        // Tell the participants before they lose sight of it.
        notifyZone(a.zoneId);
        run(QStringLiteral("DELETE FROM zones WHERE id = ?"), {a.zoneId});
        run(QStringLiteral("INSERT INTO deleted_zones (owner_id, name) VALUES (?, ?) ON CONFLICT DO NOTHING"),
            {a.ownerId, a.zoneName});
    } else {
        run(QStringLiteral("UPDATE participants SET accepted = false, removed = true WHERE zone_id = ? AND user_id = ?"),
            {a.zoneId, caller.id});
        const qint64 seq = bump(a.zoneId);
        run(QStringLiteral("UPDATE records SET seq = ? WHERE zone_id = ? AND type = ?"), {seq, a.zoneId, kShareType});
        notifyZone(a.zoneId);
    }
    return QJsonObject{};
}

// ---------------------------------------------------------------- records

CloudService::Result CloudService::lookup(const User &caller, Scope scope, const QJsonObject &body)
{
    auto access = authorize(caller, scope, body.value(QStringLiteral("owner")).toString(),
                            body.value(QStringLiteral("zone")).toString(), false);
    if (auto *error = std::get_if<ApiError>(&access))
        return *error;
    const Access a = std::get<Access>(access);
    const QString name = body.value(QStringLiteral("name")).toString();
    QSqlQuery q = run(QStringLiteral("SELECT type, parent, fields::text, assets::text, seq FROM records "
                                     "WHERE zone_id = ? AND name = ?"),
                      {a.zoneId, name});
    if (!q.next())
        return fail(UnknownItem, QStringLiteral("record not found"));
    return recordJson(a.zoneId, name, q.value(0).toString(), q.value(1).toString(), q.value(2).toByteArray(),
                      q.value(3).toByteArray(), q.value(4).toLongLong());
}

CloudService::Result CloudService::modify(const User &caller, Scope scope, const QJsonObject &body)
{
    auto access = authorize(caller, scope, body.value(QStringLiteral("owner")).toString(),
                            body.value(QStringLiteral("zone")).toString(), true);
    if (auto *error = std::get_if<ApiError>(&access))
        return *error;
    const Access a = std::get<Access>(access);
    const QString policy = body.value(QStringLiteral("policy")).toString();
    const bool atomic = body.value(QStringLiteral("atomic")).toBool();
    // Writers of one zone take turns; the change sequence never goes backwards.
    run(QStringLiteral("SELECT seq FROM zones WHERE id = ? FOR UPDATE"), {a.zoneId});

    QJsonObject failed;
    QJsonObject serverRecord;
    QList<QJsonObject> prepared;
    const QJsonArray save = body.value(QStringLiteral("save")).toArray();
    for (const QJsonValue &value : save) {
        QJsonObject record = value.toObject();
        const QString name = record.value(QStringLiteral("name")).toString();
        const QString type = record.value(QStringLiteral("type")).toString();
        if (!plainName(name) || !plainName(type)) {
            failed.insert(name, InvalidArguments);
            continue;
        }
        if (type == kShareType && scope != Scope::Private) {
            failed.insert(name, PermissionFailure);
            continue;
        }
        QSqlQuery existing = run(QStringLiteral("SELECT type, parent, fields::text, assets::text, seq FROM records "
                                                "WHERE zone_id = ? AND name = ?"),
                                 {a.zoneId, name});
        const bool exists = existing.next();
        const QString tag = record.value(QStringLiteral("changeTag")).toString();
        if (policy.isEmpty() || policy == QLatin1String("ifServerRecordUnchanged")) {
            if (exists && QString::number(existing.value(4).toLongLong()) != tag) {
                failed.insert(name, ServerRecordChanged);
                serverRecord = recordJson(a.zoneId, name, existing.value(0).toString(), existing.value(1).toString(),
                                          existing.value(2).toByteArray(), existing.value(3).toByteArray(),
                                          existing.value(4).toLongLong());
                continue;
            }
            if (!exists && !tag.isEmpty()) {
                failed.insert(name, UnknownItem);
                continue;
            }
        }
        bool assetsOk = true;
        const QJsonObject assets = record.value(QStringLiteral("assets")).toObject();
        for (const QJsonValue &asset : assets) {
            QSqlQuery known = run(QStringLiteral("SELECT size FROM assets WHERE hash = ?"),
                                  {asset.toObject().value(QStringLiteral("hash")).toString()});
            if (!known.next() || known.value(0).toLongLong()
                    != qint64(asset.toObject().value(QStringLiteral("size")).toDouble()))
                assetsOk = false;
        }
        if (!assetsOk) {
            failed.insert(name, InvalidArguments);
            continue;
        }
        if (type == kShareType) {
            for (const QJsonValue &p : record.value(QStringLiteral("fields")).toObject().value(QStringLiteral("participants")).toArray()) {
                const QString user = p.toObject().value(QStringLiteral("user")).toString();
                const QString permission = p.toObject().value(QStringLiteral("permission")).toString();
                QSqlQuery u = run(QStringLiteral("SELECT id FROM users WHERE name = ?"), {user});
                if (!u.next() || u.value(0).toLongLong() == a.ownerId
                    || (permission != QLatin1String("readOnly") && permission != QLatin1String("readWrite")))
                    failed.insert(name, InvalidArguments);
            }
            if (failed.contains(name))
                continue;
        }
        if (exists && policy == QLatin1String("changedKeys")) {
            QJsonObject fields = parseObject(existing.value(2).toByteArray());
            const QJsonObject sent = record.value(QStringLiteral("fields")).toObject();
            for (auto it = sent.begin(); it != sent.end(); ++it)
                fields.insert(it.key(), it.value());
            QJsonObject mergedAssets = parseObject(existing.value(3).toByteArray());
            for (auto it = assets.begin(); it != assets.end(); ++it)
                mergedAssets.insert(it.key(), it.value());
            record.insert(QStringLiteral("fields"), fields);
            record.insert(QStringLiteral("assets"), mergedAssets);
            if (record.value(QStringLiteral("parent")).toString().isEmpty())
                record.insert(QStringLiteral("parent"), existing.value(1).toString());
        }
        prepared.append(record);
    }
    if (atomic && !failed.isEmpty()) {
        for (const QJsonValue &value : save) {
            const QString name = value.toObject().value(QStringLiteral("name")).toString();
            if (!failed.contains(name))
                failed.insert(name, 22);
        }
        ApiError error = fail(PartialFailure, QStringLiteral("partial failure"));
        error.extra.insert(QStringLiteral("perRecord"), failed);
        if (!serverRecord.isEmpty())
            error.extra.insert(QStringLiteral("serverRecord"), serverRecord);
        return error;
    }

    QStringList savedNames;
    for (QJsonObject record : prepared) {
        const QString name = record.value(QStringLiteral("name")).toString();
        const QString type = record.value(QStringLiteral("type")).toString();
        QJsonObject fields = record.value(QStringLiteral("fields")).toObject();
        if (type == kShareType) {
            QSqlQuery s = run(QStringLiteral("SELECT token FROM shares WHERE zone_id = ?"), {a.zoneId});
            if (!s.next())
                run(QStringLiteral("INSERT INTO shares (zone_id, token, record_name) VALUES (?, ?, ?)"),
                    {a.zoneId, randomToken(), name});
            QSet<qint64> listed;
            for (const QJsonValue &p : fields.value(QStringLiteral("participants")).toArray()) {
                QSqlQuery u = run(QStringLiteral("SELECT id FROM users WHERE name = ?"),
                                  {p.toObject().value(QStringLiteral("user")).toString()});
                u.next();
                const qint64 userId = u.value(0).toLongLong();
                listed.insert(userId);
                run(QStringLiteral("INSERT INTO participants (zone_id, user_id, permission) VALUES (?, ?, ?) "
                                   "ON CONFLICT (zone_id, user_id) DO UPDATE SET permission = excluded.permission, "
                                   "removed = false, accepted = participants.accepted AND NOT participants.removed"),
                    {a.zoneId, userId, p.toObject().value(QStringLiteral("permission")).toString()});
            }
            QSqlQuery all = run(QStringLiteral("SELECT user_id FROM participants WHERE zone_id = ? AND NOT removed"),
                                {a.zoneId});
            while (all.next())
                if (!listed.contains(all.value(0).toLongLong()))
                    run(QStringLiteral("UPDATE participants SET removed = true, accepted = false "
                                       "WHERE zone_id = ? AND user_id = ?"),
                        {a.zoneId, all.value(0).toLongLong()});
            // Kept in their tables, filled in when the record is read.
            fields.remove(QStringLiteral("participants"));
            fields.remove(QStringLiteral("url"));
        }
        const qint64 seq = bump(a.zoneId);
        run(QStringLiteral("INSERT INTO records (zone_id, name, type, parent, fields, assets, seq) "
                           "VALUES (?, ?, ?, ?, CAST(? AS jsonb), CAST(? AS jsonb), ?) "
                           "ON CONFLICT (zone_id, name) DO UPDATE SET type = excluded.type, parent = excluded.parent, "
                           "fields = excluded.fields, assets = excluded.assets, seq = excluded.seq"),
            {a.zoneId, name, type, record.value(QStringLiteral("parent")).toString(),
             QString::fromUtf8(QJsonDocument(fields).toJson(QJsonDocument::Compact)),
             QString::fromUtf8(QJsonDocument(record.value(QStringLiteral("assets")).toObject()).toJson(QJsonDocument::Compact)),
             seq});
        run(QStringLiteral("DELETE FROM tombstones WHERE zone_id = ? AND name = ?"), {a.zoneId, name});
        if (type == kShareType) {
            const QString root = fields.value(QStringLiteral("rootRecord")).toString();
            QSqlQuery r = run(QStringLiteral("SELECT fields->>'share' FROM records WHERE zone_id = ? AND name = ?"),
                              {a.zoneId, root});
            if (r.next() && r.value(0).toString() != name) {
                const qint64 rootSeq = bump(a.zoneId);
                run(QStringLiteral("UPDATE records SET fields = fields || jsonb_build_object('share', CAST(? AS text)), "
                                   "seq = ? WHERE zone_id = ? AND name = ?"),
                    {name, rootSeq, a.zoneId, root});
            }
        }
        savedNames.append(name);
    }
    QJsonArray deleted;
    for (const QJsonValue &value : body.value(QStringLiteral("delete")).toArray()) {
        const QString name = value.toString();
        QSqlQuery existing = run(QStringLiteral("SELECT type FROM records WHERE zone_id = ? AND name = ?"),
                                 {a.zoneId, name});
        if (!existing.next()) {
            deleted.append(name);
            continue;
        }
        const QString type = existing.value(0).toString();
        if (type == kShareType) {
            if (scope != Scope::Private) {
                failed.insert(name, PermissionFailure);
                continue;
            }
            run(QStringLiteral("DELETE FROM shares WHERE zone_id = ?"), {a.zoneId});
            run(QStringLiteral("UPDATE participants SET removed = true, accepted = false WHERE zone_id = ?"), {a.zoneId});
        }
        run(QStringLiteral("DELETE FROM records WHERE zone_id = ? AND name = ?"), {a.zoneId, name});
        const qint64 seq = bump(a.zoneId);
        run(QStringLiteral("INSERT INTO tombstones (zone_id, name, type, seq) VALUES (?, ?, ?, ?) "
                           "ON CONFLICT (zone_id, name) DO UPDATE SET type = excluded.type, seq = excluded.seq"),
            {a.zoneId, name, type, seq});
        deleted.append(name);
    }
    QJsonArray saved;
    for (const QString &name : savedNames) {
        QSqlQuery q = run(QStringLiteral("SELECT type, parent, fields::text, assets::text, seq FROM records "
                                         "WHERE zone_id = ? AND name = ?"),
                          {a.zoneId, name});
        if (q.next())
            saved.append(recordJson(a.zoneId, name, q.value(0).toString(), q.value(1).toString(),
                                    q.value(2).toByteArray(), q.value(3).toByteArray(), q.value(4).toLongLong()));
    }
    notifyZone(a.zoneId);
    QJsonObject result{{QStringLiteral("saved"), saved},
                       {QStringLiteral("deleted"), deleted},
                       {QStringLiteral("failed"), failed},
                       {QStringLiteral("zoneId"), a.zoneId}};
    return result;
}

CloudService::Result CloudService::changes(const User &caller, Scope scope, const QJsonObject &body)
{
    auto access = authorize(caller, scope, body.value(QStringLiteral("owner")).toString(),
                            body.value(QStringLiteral("zone")).toString(), false);
    if (auto *error = std::get_if<ApiError>(&access))
        return *error;
    const Access a = std::get<Access>(access);
    qint64 since = 0;
    const QByteArray token = body.value(QStringLiteral("token")).toString().toLatin1();
    if (!token.isEmpty()) {
        const QList<QByteArray> parts =
            QByteArray::fromBase64(token, QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals).split(':');
        bool epochOk = false;
        bool seqOk = false;
        const qint64 epoch = parts.size() == 2 ? parts[0].toLongLong(&epochOk) : 0;
        since = parts.size() == 2 ? parts[1].toLongLong(&seqOk) : 0;
        // A token of an earlier zone of that name (deleted and made again) is no good here.
        if (!epochOk || !seqOk || epoch != a.zoneId)
            return fail(ChangeTokenExpired, QStringLiteral("change token expired"));
    }
    QSqlQuery current = run(QStringLiteral("SELECT seq FROM zones WHERE id = ?"), {a.zoneId});
    current.next();
    qint64 last = current.value(0).toLongLong();
    QSqlQuery q = run(QStringLiteral(
                          "SELECT name, type, parent, fields::text, assets::text, seq, true FROM records "
                          "WHERE zone_id = ? AND seq > ? "
                          "UNION ALL SELECT name, type, '', '{}', '{}', seq, false FROM tombstones "
                          "WHERE zone_id = ? AND seq > ? ORDER BY 6 LIMIT ?"),
                      {a.zoneId, since, a.zoneId, since, m_options.pageSize + 1});
    QJsonArray changed;
    QJsonArray deleted;
    int count = 0;
    bool more = false;
    while (q.next()) {
        if (++count > m_options.pageSize) {
            more = true;
            break;
        }
        const qint64 seq = q.value(5).toLongLong();
        if (q.value(6).toBool())
            changed.append(recordJson(a.zoneId, q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                                      q.value(3).toByteArray(), q.value(4).toByteArray(), seq));
        else
            deleted.append(QJsonObject{{QStringLiteral("name"), q.value(0).toString()},
                                       {QStringLiteral("type"), q.value(1).toString()}});
        if (more || count == m_options.pageSize)
            last = seq;
    }
    if (!more)
        last = current.value(0).toLongLong();
    return QJsonObject{{QStringLiteral("changed"), changed},
                       {QStringLiteral("deleted"), deleted},
                       {QStringLiteral("token"), QString::fromLatin1(encodeToken(a.zoneId, last))},
                       {QStringLiteral("moreComing"), more}};
}

// ---------------------------------------------------------------- assets

CloudService::Result CloudService::uploadAsset(const QByteArray &body)
{
    if (body.size() > m_options.maxAssetBytes)
        return fail(LimitExceeded, QStringLiteral("asset too large"));
    const QString hash = sha256Hex(body);
    run(QStringLiteral("INSERT INTO assets (hash, size, data) VALUES (?, ?, ?) ON CONFLICT DO NOTHING"),
        {hash, qint64(body.size()), body});
    return QJsonObject{{QStringLiteral("hash"), hash}, {QStringLiteral("size"), double(body.size())}};
}

std::variant<QByteArray, ApiError> CloudService::fetchAsset(const User &caller, Scope scope, const QJsonObject &body)
{
    auto access = authorize(caller, scope, body.value(QStringLiteral("owner")).toString(),
                            body.value(QStringLiteral("zone")).toString(), false);
    if (auto *error = std::get_if<ApiError>(&access))
        return *error;
    const Access a = std::get<Access>(access);
    const QString hash = body.value(QStringLiteral("hash")).toString();
    // Only a file that a record of this zone carries.
    QSqlQuery q = run(QStringLiteral("SELECT data FROM assets WHERE hash = ? AND EXISTS ("
                                     "SELECT 1 FROM records r, jsonb_each(r.assets) e "
                                     "WHERE r.zone_id = ? AND e.value->>'hash' = ?)"),
                      {hash, a.zoneId, hash});
    if (!q.next())
        return fail(UnknownItem, QStringLiteral("asset not found"));
    return q.value(0).toByteArray();
}

// ---------------------------------------------------------------- shares

CloudService::Result CloudService::subscribe(const User &caller, const QJsonObject &body)
{
    const QString id = body.value(QStringLiteral("id")).toString();
    if (!plainName(id))
        return fail(InvalidArguments, QStringLiteral("subscription id"));
    run(QStringLiteral("INSERT INTO subscriptions (user_id, id) VALUES (?, ?) ON CONFLICT DO NOTHING"), {caller.id, id});
    return QJsonObject{};
}

CloudService::Result CloudService::shareMetadata(const User &caller, const QJsonObject &body)
{
    const QString token = body.value(QStringLiteral("token")).toString();
    QSqlQuery s = run(QStringLiteral("SELECT s.zone_id, s.record_name, z.name, u.name, z.owner_id, r.fields::text "
                                     "FROM shares s JOIN zones z ON z.id = s.zone_id JOIN users u ON u.id = z.owner_id "
                                     "JOIN records r ON r.zone_id = s.zone_id AND r.name = s.record_name "
                                     "WHERE s.token = ?"),
                      {token});
    if (token.isEmpty() || !s.next())
        return fail(UnknownItem, QStringLiteral("no such share"));
    const qint64 zoneId = s.value(0).toLongLong();
    const QJsonObject fields = parseObject(s.value(5).toByteArray());
    const QString publicPermission = fields.value(QStringLiteral("publicPermission")).toString();
    QString permission;
    QSqlQuery p = run(QStringLiteral("SELECT permission FROM participants WHERE zone_id = ? AND user_id = ? AND NOT removed"),
                      {zoneId, caller.id});
    if (p.next())
        permission = p.value(0).toString();
    else if (s.value(4).toLongLong() == caller.id)
        permission = QStringLiteral("readWrite");
    else if (publicPermission == QLatin1String("readOnly") || publicPermission == QLatin1String("readWrite"))
        permission = publicPermission;
    else
        return fail(PermissionFailure, QStringLiteral("not invited"));
    return QJsonObject{{QStringLiteral("url"), m_options.publicURL + QStringLiteral("/share/") + token},
                       {QStringLiteral("rootRecord"), fields.value(QStringLiteral("rootRecord")).toString()},
                       {QStringLiteral("zone"), s.value(2).toString()},
                       {QStringLiteral("owner"), s.value(3).toString()},
                       {QStringLiteral("title"), fields.value(QStringLiteral("title")).toString()},
                       {QStringLiteral("permission"), permission},
                       {QStringLiteral("zoneId"), zoneId}};
}

CloudService::Result CloudService::acceptShare(const User &caller, const QJsonObject &body)
{
    Result metadata = shareMetadata(caller, body);
    if (auto *error = std::get_if<ApiError>(&metadata))
        return *error;
    const QJsonObject m = std::get<QJsonObject>(metadata);
    if (m.value(QStringLiteral("owner")).toString() == caller.name)
        return fail(InvalidArguments, QStringLiteral("the owner cannot accept"));
    const qint64 zoneId = qint64(m.value(QStringLiteral("zoneId")).toDouble());
    run(QStringLiteral("INSERT INTO participants (zone_id, user_id, permission, accepted) VALUES (?, ?, ?, true) "
                       "ON CONFLICT (zone_id, user_id) DO UPDATE SET accepted = true, removed = false"),
        {zoneId, caller.id, m.value(QStringLiteral("permission")).toString()});
    const qint64 seq = bump(zoneId);
    run(QStringLiteral("UPDATE records SET seq = ? WHERE zone_id = ? AND type = ?"), {seq, zoneId, kShareType});
    notifyZone(zoneId);
    return QJsonObject{};
}

// ---------------------------------------------------------------- dispatch

bool CloudService::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // A response goes out in several writes; without this each one after the
    // first waits for the client's delayed acknowledgement.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QString path = request.url().path();
    const bool post = request.method() == QHttpServerRequest::Method::Post;
    const bool get = request.method() == QHttpServerRequest::Method::Get;
    auto respond = [&](const Result &result) {
        auto responder = makeResponder(request, socket);
        if (const auto *error = std::get_if<ApiError>(&result)) {
            QJsonObject body = error->extra;
            body.insert(QStringLiteral("error"), error->code);
            body.insert(QStringLiteral("message"), error->message);
            responder.write(QJsonDocument(body), statusFor(error->code));
        } else {
            QJsonObject body = std::get<QJsonObject>(result);
            body.remove(QStringLiteral("zoneId"));
            responder.write(QJsonDocument(body));
        }
    };

    if (get && path.startsWith(QLatin1String("/share/"))) {
        makeResponder(request, socket)
            .write(QByteArrayLiteral("This is an invitation to a shared Vellora collection. In Vellora, choose "
                                     "File > Sharing > Accept Invitation… and paste this address.\n"),
                   QByteArrayLiteral("text/plain; charset=utf-8"));
        return true;
    }
    if (!path.startsWith(QLatin1String("/v1/")))
        return false;

    QSqlDatabase db = QSqlDatabase::database();
    try {
        const auto caller = authenticate(request);
        if (!caller) {
            respond(fail(NotAuthenticated, QStringLiteral("unknown token")));
            return true;
        }
        if (get && path == QLatin1String("/v1/me")) {
            respond(QJsonObject{{QStringLiteral("user"), caller->name}});
            return true;
        }
        if (get && path == QLatin1String("/v1/events")) {
            openEvents(*caller, socket);
            return true;
        }
        if (!post)
            return false;
        if (path == QLatin1String("/v1/assets")) {
            respond(uploadAsset(request.body()));
            return true;
        }
        const QJsonObject body = parseObject(request.body());
        Result result = fail(InvalidArguments, QStringLiteral("no such call"));
        db.transaction();
        const QStringList parts = path.mid(4).split(QLatin1Char('/'));
        if (path == QLatin1String("/v1/subscriptions")) {
            result = subscribe(*caller, body);
        } else if (path == QLatin1String("/v1/shares/metadata")) {
            result = shareMetadata(*caller, body);
        } else if (path == QLatin1String("/v1/shares/accept")) {
            result = acceptShare(*caller, body);
        } else if (parts.size() >= 2 && (parts[0] == QLatin1String("private") || parts[0] == QLatin1String("shared"))) {
            const Scope scope = parts[0] == QLatin1String("private") ? Scope::Private : Scope::Shared;
            const QString call = parts.mid(1).join(QLatin1Char('/'));
            if (call == QLatin1String("zones/save")) {
                result = saveZone(*caller, scope, body);
            } else if (call == QLatin1String("zones/delete")) {
                result = deleteZone(*caller, scope, body);
            } else if (call == QLatin1String("records/lookup")) {
                result = lookup(*caller, scope, body);
            } else if (call == QLatin1String("records/modify")) {
                result = modify(*caller, scope, body);
            } else if (call == QLatin1String("changes")) {
                result = changes(*caller, scope, body);
            } else if (call == QLatin1String("assets/fetch")) {
                auto bytes = fetchAsset(*caller, scope, body);
                db.commit();
                if (auto *data = std::get_if<QByteArray>(&bytes))
                    makeResponder(request, socket).write(*data, QByteArrayLiteral("application/octet-stream"));
                else
                    respond(std::get<ApiError>(bytes));
                return true;
            }
        }
        if (std::holds_alternative<ApiError>(result)) {
            db.rollback();
            m_pendingNotify.clear();
        } else if (!db.commit()) {
            throw SqlFailure{db.lastError().text()};
        }
        flushNotifications();
        respond(result);
    } catch (const SqlFailure &failure) {
        db.rollback();
        m_pendingNotify.clear();
        qWarning("vellora-cloud: database: %s", qUtf8Printable(failure.message));
        respond(fail(Internal, QStringLiteral("database error")));
    }
    return true;
}

void CloudService::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    makeResponder(request, socket).write(QJsonDocument(QJsonObject{{QStringLiteral("error"), int(InvalidArguments)},
                                                                   {QStringLiteral("message"), QStringLiteral("no such call")}}),
                                         QHttpServerResponder::StatusCode::NotFound);
}

} // namespace cloud
