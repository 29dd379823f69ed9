#include "CloudService.h"

#include "CloudProtocol.h"

#include <QCryptographicHash>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace cloud {

namespace p = cloudprotocol;

namespace {

struct SqlFailure {
    QString message;
    bool connectionLost = false;
};

// ---------------------------------------------------------------- database sessions

DatabaseOptions g_database;
std::mutex g_databaseMutex;
std::atomic<int> g_sessions{0};

// One database connection per thread, with the statements prepared on it.
// Statements are prepared once per connection and kept: preparing anew for
// every call costs two more round trips each time. When the connection is
// lost they go with it; the next use opens a fresh connection.
class Session {
public:
    ~Session() { close(); }

    static Session &current()
    {
        thread_local Session session;
        return session;
    }

    QSqlDatabase database()
    {
        if (m_name.isEmpty()) {
            m_name = QStringLiteral("vellora-cloud-%1").arg(++g_sessions);
            std::lock_guard lock(g_databaseMutex);
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
            db.setHostName(g_database.host);
            db.setPort(g_database.port);
            db.setDatabaseName(g_database.name);
            db.setUserName(g_database.user);
            db.setPassword(g_database.password);
            db.setConnectOptions(QStringLiteral("connect_timeout=5"));
        }
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (!db.isOpen() && !db.open())
            throw SqlFailure{db.lastError().text(), true};
        return db;
    }

    QSqlQuery &prepared(const QString &sql)
    {
        auto found = m_prepared.find(sql);
        if (found == m_prepared.end()) {
            auto query = std::make_unique<QSqlQuery>(database());
            if (!query->prepare(sql))
                throw failureOf(query->lastError());
            found = m_prepared.emplace(sql, std::move(query)).first;
        }
        return *found->second;
    }

    // After a failure: is the connection still good?
    bool alive()
    {
        if (m_name.isEmpty())
            return false;
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (!db.isOpen())
            return false;
        QSqlQuery probe(db);
        return probe.exec(QStringLiteral("SELECT 1"));
    }

    // Drops the statements and the connection; the next use opens both again.
    void reset()
    {
        m_prepared.clear();
        if (!m_name.isEmpty())
            QSqlDatabase::database(m_name, false).close();
    }

    void close()
    {
        reset();
        if (!m_name.isEmpty()) {
            std::lock_guard lock(g_databaseMutex);
            QSqlDatabase::removeDatabase(std::exchange(m_name, {}));
        }
    }

    static SqlFailure failureOf(const QSqlError &error)
    {
        // 26000: a prepared statement the server no longer knows, as after a
        // restart of the database under a connection that was opened again.
        const bool lost = error.type() == QSqlError::ConnectionError
            || error.nativeErrorCode() == QLatin1String("26000")
            || error.nativeErrorCode().startsWith(QLatin1String("08"))
            || error.nativeErrorCode().startsWith(QLatin1String("57P"));
        return SqlFailure{error.text(), lost};
    }

private:
    QString m_name;
    std::unordered_map<QString, std::unique_ptr<QSqlQuery>> m_prepared;
};

QSqlDatabase database() { return Session::current().database(); }

// Runs a prepared statement of this thread's connection. A caller reads a
// result before it runs the same statement again.
QSqlQuery &run(const QString &sql, const QVariantList &arguments = {})
{
    QSqlQuery &query = Session::current().prepared(sql);
    for (int i = 0; i < arguments.size(); ++i)
        query.bindValue(i, arguments.at(i));
    if (!query.exec())
        throw Session::failureOf(query.lastError());
    return query;
}

void runPlain(const QString &sql)
{
    QSqlQuery query(database());
    if (!query.exec(sql))
        throw Session::failureOf(query.lastError());
}

// Runs `work` in a transaction (or, for a single statement, without one);
// once more on a fresh connection when the connection turned out to be gone
// (the database restarted, say).
template <typename Work>
auto withDatabase(bool inTransaction, Work &&work) -> decltype(work())
{
    for (int attempt = 0;; ++attempt) {
        Session &session = Session::current();
        try {
            QSqlDatabase db = database();
            if (inTransaction && !db.transaction())
                throw Session::failureOf(db.lastError());
            auto result = work();
            if (inTransaction && !db.commit())
                throw Session::failureOf(db.lastError());
            return result;
        } catch (const SqlFailure &failure) {
            const bool lost = failure.connectionLost || !session.alive();
            if (lost)
                session.reset();
            else if (inTransaction)
                database().rollback();
            if (!lost || attempt >= 1)
                throw SqlFailure{failure.message, lost};
        }
    }
}

template <typename Work>
auto transaction(Work &&work) -> decltype(work())
{
    return withDatabase(true, std::forward<Work>(work));
}

// Thrown by a handler that refuses the whole request: the transaction is
// rolled back.
struct Refusal {
    ApiError error;
};

// ---------------------------------------------------------------- helpers

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

bool plainName(const QString &name) { return !name.isEmpty() && name.size() <= 255 && !name.contains(QChar(0)); }

QByteArray compact(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QJsonObject parseObject(const QByteArray &bytes) { return QJsonDocument::fromJson(bytes).object(); }

// Text that PostgreSQL cannot store (a NUL) or that is no text at all (half
// of a surrogate pair); the reason, or nothing.
std::optional<QString> badText(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isNull())
            return QStringLiteral("contains a NUL character");
        if (c.isHighSurrogate()) {
            if (i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
                ++i;
                continue;
            }
            return QStringLiteral("contains a lone surrogate");
        }
        if (c.isLowSurrogate())
            return QStringLiteral("contains a lone surrogate");
    }
    return std::nullopt;
}

std::optional<QString> badTextIn(const QJsonValue &value, const QString &where)
{
    if (value.isString()) {
        if (auto reason = badText(value.toString()))
            return where + QLatin1Char(' ') + *reason;
    } else if (value.isArray()) {
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size(); ++i)
            if (auto reason = badTextIn(array.at(i), where + QStringLiteral("[%1]").arg(i)))
                return reason;
    } else if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            const QString key = where.isEmpty() ? it.key() : where + QLatin1Char('.') + it.key();
            if (auto reason = badText(it.key()))
                return QStringLiteral("a field name in ") + (where.isEmpty() ? QStringLiteral("the body") : where)
                    + QLatin1Char(' ') + *reason;
            if (auto reason = badTextIn(it.value(), key))
                return reason;
        }
    }
    return std::nullopt;
}

// A field of the body that must be a string when present.
QString stringField(const QJsonObject &object, QLatin1String key, const QString &where, bool required = false)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() && !required)
        return QString(QLatin1String(""));
    if (!value.isString())
        throw Refusal{fail(p::ErrorInvalidArguments, QStringLiteral("%1%2 must be a string").arg(where, key))};
    return value.toString();
}

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
    // Who sent which file (a record may carry only a file its writer sent, or
    // one its zone already holds), and which records carry which file (a file
    // is read only through them, and goes when none is left).
    R"(CREATE TABLE uploads (
         user_id bigint NOT NULL REFERENCES users(id) ON DELETE CASCADE,
         hash text NOT NULL REFERENCES assets(hash) ON DELETE CASCADE,
         size bigint NOT NULL,
         pending boolean NOT NULL DEFAULT true,
         at timestamptz NOT NULL DEFAULT now(),
         PRIMARY KEY (user_id, hash));
       CREATE INDEX uploads_by_hash ON uploads (hash);
       CREATE TABLE asset_refs (
         zone_id bigint NOT NULL REFERENCES zones(id) ON DELETE CASCADE,
         record_name text NOT NULL,
         hash text NOT NULL,
         PRIMARY KEY (zone_id, record_name, hash));
       CREATE INDEX asset_refs_by_hash ON asset_refs (hash);
       INSERT INTO asset_refs (zone_id, record_name, hash)
         SELECT DISTINCT r.zone_id, r.name, e.value->>'hash' FROM records r, jsonb_each(r.assets) e
         WHERE jsonb_typeof(e.value) = 'object' AND e.value->>'hash' IS NOT NULL;)",
};

// A file sent but not yet named by a record is kept this long.
const QString kPendingUploadGrace = QStringLiteral("1 hour");

qint64 bump(qint64 zoneId)
{
    QSqlQuery &q = run(QStringLiteral("UPDATE zones SET seq = seq + 1 WHERE id = ? RETURNING seq"), {zoneId});
    q.next();
    return q.value(0).toLongLong();
}

QByteArray encodeToken(qint64 epoch, qint64 seq)
{
    return (QByteArray::number(epoch) + ':' + QByteArray::number(seq))
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

// Files among `hashes` that no record carries and nobody is about to use.
void removeUnreferenced(const QStringList &hashes)
{
    for (const QString &hash : hashes)
        run(QStringLiteral("DELETE FROM assets a WHERE a.hash = ? "
                           "AND NOT EXISTS (SELECT 1 FROM asset_refs r WHERE r.hash = a.hash) "
                           "AND NOT EXISTS (SELECT 1 FROM uploads u WHERE u.hash = a.hash AND u.pending "
                           "AND u.at > now() - CAST(? AS interval))"),
            {hash, kPendingUploadGrace});
}

QStringList hashesOf(const QString &sql, const QVariantList &arguments)
{
    QStringList hashes;
    QSqlQuery &q = run(sql, arguments);
    while (q.next())
        hashes.append(q.value(0).toString());
    return hashes;
}

struct ShareOfZone {
    QString recordName;
    QString rootRecord;
};

std::optional<ShareOfZone> shareOf(qint64 zoneId)
{
    QSqlQuery &q = run(QStringLiteral("SELECT s.record_name, r.fields->>'rootRecord' FROM shares s "
                                      "LEFT JOIN records r ON r.zone_id = s.zone_id AND r.name = s.record_name "
                                      "WHERE s.zone_id = ?"),
                       {zoneId});
    if (!q.next())
        return std::nullopt;
    return ShareOfZone{q.value(0).toString(), q.value(1).toString()};
}

thread_local QSet<qint64> t_notify;

} // namespace

// ---------------------------------------------------------------- administration

bool openDatabase(const DatabaseOptions &options, QString *error)
{
    {
        std::lock_guard lock(g_databaseMutex);
        g_database = options;
    }
    try {
        transaction([] {
            // Two services starting at once on one database migrate one after the other.
            run(QStringLiteral("SELECT pg_advisory_xact_lock(7260)"));
            QSqlQuery &exists = run(QStringLiteral("SELECT to_regclass('schema_version') IS NOT NULL"));
            exists.next();
            if (!exists.value(0).toBool())
                runPlain(QStringLiteral("CREATE TABLE schema_version (version integer NOT NULL)"));
            QSqlQuery &current = run(QStringLiteral("SELECT coalesce(max(version), 0) FROM schema_version"));
            current.next();
            const int have = current.value(0).toInt();
            const int want = int(std::size(kMigrations));
            for (int version = have; version < want; ++version) {
                runPlain(QString::fromUtf8(kMigrations[version]));
                run(QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"), {version + 1});
            }
            return true;
        });
    } catch (const SqlFailure &failure) {
        *error = failure.message;
        return false;
    }
    return true;
}

void closeDatabase() { Session::current().close(); }

std::optional<QString> addUser(const QString &name, QString *error)
{
    if (!plainName(name) || name == p::kDefaultOwner || badText(name)) {
        *error = QStringLiteral("not a usable user name");
        return std::nullopt;
    }
    const QString token = randomToken();
    try {
        const bool added = transaction([&] {
            QSqlQuery &q = run(QStringLiteral("INSERT INTO users (name, token_hash) VALUES (?, ?) "
                                              "ON CONFLICT (name) DO NOTHING RETURNING id"),
                               {name, sha256Hex(token.toUtf8())});
            return q.next();
        });
        if (!added) {
            *error = QStringLiteral("user %1 exists").arg(name);
            return std::nullopt;
        }
    } catch (const SqlFailure &failure) {
        *error = failure.message;
        return std::nullopt;
    }
    return token;
}

std::optional<QString> replaceToken(const QString &name, QString *error)
{
    const QString token = randomToken();
    try {
        const bool replaced = transaction([&] {
            QSqlQuery &q = run(QStringLiteral("UPDATE users SET token_hash = ? WHERE name = ? RETURNING id"),
                               {sha256Hex(token.toUtf8()), name});
            return q.next();
        });
        if (!replaced) {
            *error = QStringLiteral("no user %1").arg(name);
            return std::nullopt;
        }
    } catch (const SqlFailure &failure) {
        *error = failure.message;
        return std::nullopt;
    }
    return token;
}

bool removeUser(const QString &name, QString *error)
{
    try {
        const bool removed = transaction([&] {
            QSqlQuery &u = run(QStringLiteral("SELECT id FROM users WHERE name = ?"), {name});
            if (!u.next())
                return false;
            const qint64 id = u.value(0).toLongLong();
            // Participants of the user's zones hear that they are gone.
            const QStringList hashes = hashesOf(
                QStringLiteral("SELECT DISTINCT r.hash FROM asset_refs r JOIN zones z ON z.id = r.zone_id WHERE z.owner_id = ? "
                               "UNION SELECT hash FROM uploads WHERE user_id = ?"),
                {id, id});
            run(QStringLiteral("DELETE FROM users WHERE id = ?"), {id});
            removeUnreferenced(hashes);
            return true;
        });
        if (!removed) {
            *error = QStringLiteral("no user %1").arg(name);
            return false;
        }
    } catch (const SqlFailure &failure) {
        *error = failure.message;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- service

CloudService::CloudService(ServiceOptions options) : m_options(std::move(options)) {}

void CloudService::setPublicURL(const QString &url)
{
    std::lock_guard lock(m_publicURLMutex);
    m_options.publicURL = url;
}

QString CloudService::publicURL() const
{
    std::lock_guard lock(m_publicURLMutex);
    return m_options.publicURL;
}

HttpAnswer CloudService::errorAnswer(const ApiError &error)
{
    QJsonObject body = error.extra;
    body.insert(p::kError, error.code);
    body.insert(p::kMessage, error.message);
    return HttpAnswer{p::httpStatusFor(error.code), QByteArrayLiteral("application/json"), compact(body)};
}

std::variant<User, HttpAnswer> CloudService::authenticate(const QByteArray &authorization) const
{
    const auto refused = [] { return errorAnswer(fail(p::ErrorNotAuthenticated, QStringLiteral("unknown token"))); };
    if (!authorization.startsWith("Bearer "))
        return refused();
    const QByteArray token = authorization.mid(7).trimmed();
    if (token.isEmpty() || token.size() > 512)
        return refused();
    try {
        return withDatabase(false, [&]() -> std::variant<User, HttpAnswer> {
            QSqlQuery &q = run(QStringLiteral("SELECT id, name FROM users WHERE token_hash = ?"), {sha256Hex(token)});
            if (!q.next())
                return refused();
            return User{q.value(0).toLongLong(), q.value(1).toString()};
        });
    } catch (const SqlFailure &failure) {
        qWarning("vellora-cloud: database: %s", qUtf8Printable(failure.message));
        HttpAnswer answer = errorAnswer(fail(p::ErrorInternal, QStringLiteral("database unavailable")));
        answer.status = 503;
        return answer;
    }
}

qint64 CloudService::bodyLimit(const QString &path) const
{
    return path == p::kPathAssets ? m_options.maxAssetBytes : m_options.maxRequestBytes;
}

// The one place that decides who may see and change a zone. The private scope
// holds the caller's own zones; the shared scope the zones of others where
// the caller is an accepted participant, writable only with read-write.
std::variant<CloudService::Access, ApiError> CloudService::authorize(const User &caller, Scope scope,
                                                                     const QJsonObject &body, bool write)
{
    const QString owner = stringField(body, p::kOwner, QString());
    const QString zone = stringField(body, p::kZone, QString(), true);
    const QString ownerName = owner.isEmpty() || owner == p::kDefaultOwner ? caller.name : owner;
    if (!plainName(zone))
        return fail(p::ErrorInvalidArguments, QStringLiteral("zone name"));
    QSqlQuery &o = run(QStringLiteral("SELECT id FROM users WHERE name = ?"), {ownerName});
    if (!o.next())
        return fail(scope == Scope::Private ? p::ErrorPermissionFailure : p::ErrorZoneNotFound, QStringLiteral("zone not found"));
    const qint64 ownerId = o.value(0).toLongLong();
    if (scope == Scope::Private && ownerId != caller.id)
        return fail(p::ErrorPermissionFailure, QStringLiteral("not your zone"));
    if (scope == Scope::Shared && ownerId == caller.id)
        return fail(p::ErrorPermissionFailure, QStringLiteral("own zones are private"));
    QSqlQuery &z = run(QStringLiteral("SELECT id FROM zones WHERE owner_id = ? AND name = ?"), {ownerId, zone});
    if (!z.next()) {
        QSqlQuery &gone = run(QStringLiteral("SELECT 1 FROM deleted_zones WHERE owner_id = ? AND name = ?"),
                              {ownerId, zone});
        return fail(gone.next() ? p::ErrorUserDeletedZone : p::ErrorZoneNotFound, QStringLiteral("zone not found"));
    }
    Access access{z.value(0).toLongLong(), ownerId, ownerName, zone, scope == Scope::Private};
    if (scope == Scope::Private)
        return access;
    QSqlQuery &q = run(QStringLiteral("SELECT permission, accepted, removed FROM participants "
                                      "WHERE zone_id = ? AND user_id = ?"),
                       {access.zoneId, caller.id});
    if (!q.next() || !q.value(1).toBool()) {
        if (q.isValid() && q.value(2).toBool())
            return fail(p::ErrorZoneNotFound, QStringLiteral("zone not found"));
        return fail(p::ErrorPermissionFailure, QStringLiteral("not a participant"));
    }
    if (write && q.value(0).toString() != p::kPermissionReadWrite)
        return fail(p::ErrorPermissionFailure, QStringLiteral("read-only participant"));
    return access;
}

QJsonObject CloudService::recordJson(qint64 zoneId, const QString &name, const QString &type, const QString &parent,
                                     const QByteArray &fields, const QByteArray &assets, qint64 seq)
{
    QJsonObject f = parseObject(fields);
    if (type == p::kTypeShare) {
        QSqlQuery &s = run(QStringLiteral("SELECT token FROM shares WHERE zone_id = ?"), {zoneId});
        if (s.next())
            f.insert(p::kUrl, publicURL() + p::kPathSharePage + s.value(0).toString());
        QJsonArray list;
        QSqlQuery &q = run(QStringLiteral("SELECT u.name, p.permission, p.accepted FROM participants p "
                                          "JOIN users u ON u.id = p.user_id "
                                          "WHERE p.zone_id = ? AND NOT p.removed ORDER BY u.name"),
                           {zoneId});
        while (q.next())
            list.append(QJsonObject{{p::kUser, q.value(0).toString()},
                                    {p::kPermission, q.value(1).toString()},
                                    {p::kAccepted, q.value(2).toBool()}});
        f.insert(p::kParticipants, list);
    }
    return QJsonObject{{p::kType, type},
                       {p::kName, name},
                       {p::kParent, parent},
                       {p::kFields, f},
                       {p::kAssets, parseObject(assets)},
                       {p::kChangeTag, QString::number(seq)}};
}

void CloudService::notifyZone(qint64 zoneId)
{
    // Sent once the transaction is committed, so that a client that fetches
    // at once sees the change.
    QSqlQuery &q = run(QStringLiteral("SELECT z.owner_id FROM zones z WHERE z.id = ? "
                                      "UNION SELECT p.user_id FROM participants p WHERE p.zone_id = ? AND p.accepted"),
                       {zoneId, zoneId});
    while (q.next())
        t_notify.insert(q.value(0).toLongLong());
}

// ---------------------------------------------------------------- zones

CloudService::Result CloudService::saveZone(const User &caller, Scope scope, const QJsonObject &body)
{
    const QString zone = stringField(body, p::kZone, QString(), true);
    const QString owner = stringField(body, p::kOwner, QString());
    if (scope != Scope::Private || !(owner.isEmpty() || owner == p::kDefaultOwner || owner == caller.name))
        return fail(p::ErrorPermissionFailure, QStringLiteral("zones are made privately"));
    if (!plainName(zone))
        return fail(p::ErrorInvalidArguments, QStringLiteral("zone name"));
    run(QStringLiteral("INSERT INTO zones (owner_id, name) VALUES (?, ?) ON CONFLICT DO NOTHING"), {caller.id, zone});
    run(QStringLiteral("DELETE FROM deleted_zones WHERE owner_id = ? AND name = ?"), {caller.id, zone});
    return QJsonObject{};
}

CloudService::Result CloudService::deleteZone(const User &caller, Scope scope, const QJsonObject &body)
{
    auto access = authorize(caller, scope, body, false);
    if (auto *error = std::get_if<ApiError>(&access))
        return *error;
    const Access a = std::get<Access>(access);
    if (a.owner) {
        // Tell the participants before they lose sight of it.
        notifyZone(a.zoneId);
        const QStringList hashes =
            hashesOf(QStringLiteral("SELECT DISTINCT hash FROM asset_refs WHERE zone_id = ?"), {a.zoneId});
        run(QStringLiteral("DELETE FROM zones WHERE id = ?"), {a.zoneId});
        run(QStringLiteral("INSERT INTO deleted_zones (owner_id, name) VALUES (?, ?) ON CONFLICT DO NOTHING"),
            {a.ownerId, a.zoneName});
        removeUnreferenced(hashes);
    } else {
        run(QStringLiteral("UPDATE participants SET accepted = false, removed = true WHERE zone_id = ? AND user_id = ?"),
            {a.zoneId, caller.id});
        const qint64 seq = bump(a.zoneId);
        run(QStringLiteral("UPDATE records SET seq = ? WHERE zone_id = ? AND type = ?"), {seq, a.zoneId, QString(p::kTypeShare)});
        notifyZone(a.zoneId);
    }
    return QJsonObject{};
}

// ---------------------------------------------------------------- records

CloudService::Result CloudService::lookup(const User &caller, Scope scope, const QJsonObject &body)
{
    auto access = authorize(caller, scope, body, false);
    if (auto *error = std::get_if<ApiError>(&access))
        return *error;
    const Access a = std::get<Access>(access);
    const QString name = stringField(body, p::kName, QString(), true);
    QSqlQuery &q = run(QStringLiteral("SELECT type, parent, fields::text, assets::text, seq FROM records "
                                      "WHERE zone_id = ? AND name = ?"),
                       {a.zoneId, name});
    if (!q.next())
        return fail(p::ErrorUnknownItem, QStringLiteral("record not found"));
    const QString type = q.value(0).toString();
    const QString parent = q.value(1).toString();
    const QByteArray fields = q.value(2).toByteArray();
    const QByteArray assets = q.value(3).toByteArray();
    const qint64 seq = q.value(4).toLongLong();
    return recordJson(a.zoneId, name, type, parent, fields, assets, seq);
}

namespace {

// The shape of one record to save; throws a refusal naming what is wrong.
void checkRecordShape(const QJsonValue &value, qsizetype index)
{
    const QString where = QStringLiteral("save[%1].").arg(index);
    if (!value.isObject())
        throw Refusal{fail(p::ErrorInvalidArguments, QStringLiteral("save[%1] must be an object").arg(index))};
    const QJsonObject record = value.toObject();
    stringField(record, p::kName, where, true);
    stringField(record, p::kType, where, true);
    stringField(record, p::kParent, where, true);
    stringField(record, p::kChangeTag, where);
    if (!record.value(p::kFields).isObject())
        throw Refusal{fail(p::ErrorInvalidArguments, where + QStringLiteral("fields must be an object"))};
    const QJsonValue assets = record.value(p::kAssets);
    if (!assets.isUndefined() && !assets.isObject())
        throw Refusal{fail(p::ErrorInvalidArguments, where + QStringLiteral("assets must be an object"))};
    const QJsonObject files = assets.toObject();
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QJsonObject file = it.value().toObject();
        if (!it.value().isObject() || !file.value(p::kHash).isString() || !file.value(p::kSize).isDouble())
            throw Refusal{fail(p::ErrorInvalidArguments,
                               where + QStringLiteral("assets.%1 must hold a hash and a size").arg(it.key()))};
    }
}

} // namespace

CloudService::Result CloudService::modify(const User &caller, Scope scope, const QJsonObject &body)
{
    const QJsonValue saveValue = body.value(p::kSave);
    const QJsonValue deleteValue = body.value(p::kDelete);
    if (!saveValue.isUndefined() && !saveValue.isArray())
        return fail(p::ErrorInvalidArguments, QStringLiteral("save must be a list"));
    if (!deleteValue.isUndefined() && !deleteValue.isArray())
        return fail(p::ErrorInvalidArguments, QStringLiteral("delete must be a list"));
    const QJsonArray save = saveValue.toArray();
    const QJsonArray deletions = deleteValue.toArray();
    for (qsizetype i = 0; i < save.size(); ++i)
        checkRecordShape(save.at(i), i);
    for (qsizetype i = 0; i < deletions.size(); ++i)
        if (!deletions.at(i).isString())
            return fail(p::ErrorInvalidArguments, QStringLiteral("delete[%1] must be a string").arg(i));
    const QString policy = stringField(body, p::kPolicy, QString());
    if (!policy.isEmpty() && policy != p::kPolicyIfServerRecordUnchanged && policy != p::kPolicyChangedKeys
        && policy != p::kPolicyAllKeys)
        return fail(p::ErrorInvalidArguments, QStringLiteral("unknown policy %1").arg(policy));
    const QJsonValue atomicValue = body.value(p::kAtomic);
    if (!atomicValue.isUndefined() && !atomicValue.isBool())
        return fail(p::ErrorInvalidArguments, QStringLiteral("atomic must be true or false"));
    const bool atomic = atomicValue.toBool();

    auto access = authorize(caller, scope, body, true);
    if (auto *error = std::get_if<ApiError>(&access))
        return *error;
    const Access a = std::get<Access>(access);
    // Writers of one zone take turns; the change sequence never goes backwards.
    run(QStringLiteral("SELECT seq FROM zones WHERE id = ? FOR UPDATE"), {a.zoneId}).next();
    std::optional<ShareOfZone> share = shareOf(a.zoneId);

    QJsonObject failed;
    QJsonObject serverRecord;
    QList<QJsonObject> prepared;
    for (const QJsonValue &value : save) {
        QJsonObject record = value.toObject();
        const QString name = record.value(p::kName).toString();
        const QString type = record.value(p::kType).toString();
        if (!plainName(name) || !plainName(type)) {
            failed.insert(name, p::ErrorInvalidArguments);
            continue;
        }
        QSqlQuery &existing = run(QStringLiteral("SELECT type, parent, fields::text, assets::text, seq FROM records "
                                                 "WHERE zone_id = ? AND name = ?"),
                                  {a.zoneId, name});
        const bool exists = existing.next();
        const QString storedType = exists ? existing.value(0).toString() : QString();
        const QString storedParent = exists ? existing.value(1).toString() : QString();
        const QByteArray storedFields = exists ? existing.value(2).toByteArray() : QByteArray();
        const QByteArray storedAssets = exists ? existing.value(3).toByteArray() : QByteArray();
        const qint64 storedSeq = exists ? existing.value(4).toLongLong() : 0;
        // A record's type is the one stored: the share record in particular
        // is the owner's alone, whatever type a writer claims for it.
        const bool isShare = type == p::kTypeShare || storedType == p::kTypeShare
            || (share && share->recordName == name);
        if (isShare && !a.owner) {
            failed.insert(name, p::ErrorPermissionFailure);
            continue;
        }
        // The owner finds the share through its root: a participant may
        // change what the root holds, never put another record in its place.
        if (!a.owner && share && name == share->rootRecord && (!exists || storedType != type)) {
            failed.insert(name, p::ErrorPermissionFailure);
            continue;
        }
        if (exists && storedType != type) {
            failed.insert(name, p::ErrorInvalidArguments);
            continue;
        }
        if (type == p::kTypeShare && share && share->recordName != name) {
            failed.insert(name, p::ErrorInvalidArguments); // one share per zone
            continue;
        }
        const QString tag = record.value(p::kChangeTag).toString();
        if (policy.isEmpty() || policy == p::kPolicyIfServerRecordUnchanged) {
            if (exists && QString::number(storedSeq) != tag) {
                failed.insert(name, p::ErrorServerRecordChanged);
                serverRecord = recordJson(a.zoneId, name, storedType, storedParent, storedFields, storedAssets, storedSeq);
                continue;
            }
            if (!exists && !tag.isEmpty()) {
                failed.insert(name, p::ErrorUnknownItem);
                continue;
            }
        }
        // A record may carry a file its writer sent, or one that its zone
        // already holds; a made-up hash and another user's file are the same
        // to the caller.
        bool assetsOk = true;
        const QJsonObject assets = record.value(p::kAssets).toObject();
        for (const QJsonValue &asset : assets) {
            const QString hash = asset.toObject().value(p::kHash).toString();
            QSqlQuery &known = run(QStringLiteral(
                                       "SELECT a.size FROM assets a WHERE a.hash = ? AND ("
                                       "EXISTS (SELECT 1 FROM uploads u WHERE u.hash = a.hash AND u.user_id = ?) OR "
                                       "EXISTS (SELECT 1 FROM asset_refs r WHERE r.hash = a.hash AND r.zone_id = ?))"),
                                   {hash, caller.id, a.zoneId});
            if (!known.next() || known.value(0).toLongLong() != qint64(asset.toObject().value(p::kSize).toDouble()))
                assetsOk = false;
        }
        if (!assetsOk) {
            failed.insert(name, p::ErrorInvalidArguments);
            continue;
        }
        if (type == p::kTypeShare) {
            const QJsonValue participants = record.value(p::kFields).toObject().value(p::kParticipants);
            if (!participants.isUndefined() && !participants.isArray())
                return fail(p::ErrorInvalidArguments, QStringLiteral("participants must be a list"));
            for (const QJsonValue &entry : participants.toArray()) {
                const QString user = entry.toObject().value(p::kUser).toString();
                const QString permission = entry.toObject().value(p::kPermission).toString();
                QSqlQuery &u = run(QStringLiteral("SELECT id FROM users WHERE name = ?"), {user});
                if (!u.next() || u.value(0).toLongLong() == a.ownerId
                    || (permission != p::kPermissionReadOnly && permission != p::kPermissionReadWrite))
                    failed.insert(name, p::ErrorInvalidArguments);
            }
            if (failed.contains(name))
                continue;
        }
        if (exists && policy == p::kPolicyChangedKeys) {
            QJsonObject fields = parseObject(storedFields);
            const QJsonObject sent = record.value(p::kFields).toObject();
            for (auto it = sent.begin(); it != sent.end(); ++it)
                fields.insert(it.key(), it.value());
            QJsonObject mergedAssets = parseObject(storedAssets);
            for (auto it = assets.begin(); it != assets.end(); ++it)
                mergedAssets.insert(it.key(), it.value());
            record.insert(p::kFields, fields);
            record.insert(p::kAssets, mergedAssets);
            if (record.value(p::kParent).toString().isEmpty())
                record.insert(p::kParent, storedParent);
        }
        prepared.append(record);
    }
    if (atomic && !failed.isEmpty()) {
        for (const QJsonValue &value : save) {
            const QString name = value.toObject().value(p::kName).toString();
            if (!failed.contains(name))
                failed.insert(name, p::ErrorBatchRequestFailed);
        }
        ApiError error = fail(p::ErrorPartialFailure, QStringLiteral("partial failure"));
        error.extra.insert(p::kPerRecord, failed);
        if (!serverRecord.isEmpty())
            error.extra.insert(p::kServerRecord, serverRecord);
        return error;
    }

    QStringList savedNames;
    QStringList released; // files records no longer carry
    for (const QJsonObject &record : std::as_const(prepared)) {
        const QString name = record.value(p::kName).toString();
        const QString type = record.value(p::kType).toString();
        QJsonObject fields = record.value(p::kFields).toObject();
        if (type == p::kTypeShare) {
            if (!share) {
                run(QStringLiteral("INSERT INTO shares (zone_id, token, record_name) VALUES (?, ?, ?)"),
                    {a.zoneId, randomToken(), name});
            }
            QSet<qint64> listed;
            for (const QJsonValue &entry : fields.value(p::kParticipants).toArray()) {
                QSqlQuery &u = run(QStringLiteral("SELECT id FROM users WHERE name = ?"),
                                   {entry.toObject().value(p::kUser).toString()});
                u.next();
                const qint64 userId = u.value(0).toLongLong();
                listed.insert(userId);
                run(QStringLiteral("INSERT INTO participants (zone_id, user_id, permission) VALUES (?, ?, ?) "
                                   "ON CONFLICT (zone_id, user_id) DO UPDATE SET permission = excluded.permission, "
                                   "removed = false, accepted = participants.accepted AND NOT participants.removed"),
                    {a.zoneId, userId, entry.toObject().value(p::kPermission).toString()});
            }
            QList<qint64> dropped;
            QSqlQuery &all = run(QStringLiteral("SELECT user_id FROM participants WHERE zone_id = ? AND NOT removed"),
                                 {a.zoneId});
            while (all.next())
                if (!listed.contains(all.value(0).toLongLong()))
                    dropped.append(all.value(0).toLongLong());
            for (const qint64 userId : dropped)
                run(QStringLiteral("UPDATE participants SET removed = true, accepted = false "
                                   "WHERE zone_id = ? AND user_id = ?"),
                    {a.zoneId, userId});
            // Kept in their tables, filled in when the record is read.
            fields.remove(p::kParticipants);
            fields.remove(p::kUrl);
            share = ShareOfZone{name, fields.value(p::kRootRecord).toString()};
        } else if (share && name == share->rootRecord) {
            // The root names its share; that is the service's to say.
            fields.insert(p::kShare, share->recordName);
        }
        const QJsonObject assets = record.value(p::kAssets).toObject();
        const qint64 seq = bump(a.zoneId);
        run(QStringLiteral("INSERT INTO records (zone_id, name, type, parent, fields, assets, seq) "
                           "VALUES (?, ?, ?, ?, CAST(? AS jsonb), CAST(? AS jsonb), ?) "
                           "ON CONFLICT (zone_id, name) DO UPDATE SET parent = excluded.parent, "
                           "fields = excluded.fields, assets = excluded.assets, seq = excluded.seq"),
            {a.zoneId, name, type, record.value(p::kParent).toString(), QString::fromUtf8(compact(fields)),
             QString::fromUtf8(compact(assets)), seq});
        run(QStringLiteral("DELETE FROM tombstones WHERE zone_id = ? AND name = ?"), {a.zoneId, name});
        released += hashesOf(QStringLiteral("DELETE FROM asset_refs WHERE zone_id = ? AND record_name = ? RETURNING hash"),
                             {a.zoneId, name});
        for (const QJsonValue &asset : assets) {
            const QString hash = asset.toObject().value(p::kHash).toString();
            run(QStringLiteral("INSERT INTO asset_refs (zone_id, record_name, hash) VALUES (?, ?, ?) ON CONFLICT DO NOTHING"),
                {a.zoneId, name, hash});
            run(QStringLiteral("UPDATE uploads SET pending = false WHERE user_id = ? AND hash = ? AND pending"),
                {caller.id, hash});
        }
        if (type == p::kTypeShare) {
            const QString root = fields.value(p::kRootRecord).toString();
            QSqlQuery &r = run(QStringLiteral("SELECT fields->>'share' FROM records WHERE zone_id = ? AND name = ?"),
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
    for (const QJsonValue &value : deletions) {
        const QString name = value.toString();
        if (!a.owner && share && name == share->rootRecord) {
            failed.insert(name, p::ErrorPermissionFailure);
            continue;
        }
        QSqlQuery &existing = run(QStringLiteral("SELECT type FROM records WHERE zone_id = ? AND name = ?"),
                                  {a.zoneId, name});
        if (!existing.next()) {
            deleted.append(name);
            continue;
        }
        const QString type = existing.value(0).toString();
        if (type == p::kTypeShare) {
            if (!a.owner) {
                failed.insert(name, p::ErrorPermissionFailure);
                continue;
            }
            run(QStringLiteral("DELETE FROM shares WHERE zone_id = ?"), {a.zoneId});
            run(QStringLiteral("UPDATE participants SET removed = true, accepted = false WHERE zone_id = ?"), {a.zoneId});
            share.reset();
        }
        run(QStringLiteral("DELETE FROM records WHERE zone_id = ? AND name = ?"), {a.zoneId, name});
        released += hashesOf(QStringLiteral("DELETE FROM asset_refs WHERE zone_id = ? AND record_name = ? RETURNING hash"),
                             {a.zoneId, name});
        const qint64 seq = bump(a.zoneId);
        run(QStringLiteral("INSERT INTO tombstones (zone_id, name, type, seq) VALUES (?, ?, ?, ?) "
                           "ON CONFLICT (zone_id, name) DO UPDATE SET type = excluded.type, seq = excluded.seq"),
            {a.zoneId, name, type, seq});
        deleted.append(name);
    }
    released.removeDuplicates();
    removeUnreferenced(released);
    QJsonArray saved;
    for (const QString &name : std::as_const(savedNames)) {
        QSqlQuery &q = run(QStringLiteral("SELECT type, parent, fields::text, assets::text, seq FROM records "
                                          "WHERE zone_id = ? AND name = ?"),
                           {a.zoneId, name});
        if (!q.next())
            continue;
        const QString type = q.value(0).toString();
        const QString parent = q.value(1).toString();
        const QByteArray fields = q.value(2).toByteArray();
        const QByteArray assets = q.value(3).toByteArray();
        const qint64 seq = q.value(4).toLongLong();
        saved.append(recordJson(a.zoneId, name, type, parent, fields, assets, seq));
    }
    notifyZone(a.zoneId);
    return QJsonObject{{p::kSaved, saved}, {p::kDeleted, deleted}, {p::kFailed, failed}};
}

CloudService::Result CloudService::changes(const User &caller, Scope scope, const QJsonObject &body)
{
    auto access = authorize(caller, scope, body, false);
    if (auto *error = std::get_if<ApiError>(&access))
        return *error;
    const Access a = std::get<Access>(access);
    qint64 since = 0;
    const QByteArray token = stringField(body, p::kToken, QString()).toLatin1();
    if (!token.isEmpty()) {
        const QList<QByteArray> parts =
            QByteArray::fromBase64(token, QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals).split(':');
        bool epochOk = false;
        bool seqOk = false;
        const qint64 epoch = parts.size() == 2 ? parts[0].toLongLong(&epochOk) : 0;
        since = parts.size() == 2 ? parts[1].toLongLong(&seqOk) : 0;
        // A token of an earlier zone of that name (deleted and made again) is no good here.
        if (!epochOk || !seqOk || epoch != a.zoneId)
            return fail(p::ErrorChangeTokenExpired, QStringLiteral("change token expired"));
    }
    QSqlQuery &current = run(QStringLiteral("SELECT seq FROM zones WHERE id = ?"), {a.zoneId});
    current.next();
    const qint64 newest = current.value(0).toLongLong();
    qint64 last = newest;
    struct Row {
        QString name, type, parent;
        QByteArray fields, assets;
        qint64 seq;
        bool live;
    };
    QList<Row> rows;
    QSqlQuery &q = run(QStringLiteral("SELECT name, type, parent, fields::text, assets::text, seq, true FROM records "
                                      "WHERE zone_id = ? AND seq > ? "
                                      "UNION ALL SELECT name, type, '', '{}', '{}', seq, false FROM tombstones "
                                      "WHERE zone_id = ? AND seq > ? ORDER BY 6 LIMIT ?"),
                       {a.zoneId, since, a.zoneId, since, m_options.pageSize + 1});
    while (q.next())
        rows.append(Row{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), q.value(3).toByteArray(),
                        q.value(4).toByteArray(), q.value(5).toLongLong(), q.value(6).toBool()});
    const bool more = rows.size() > m_options.pageSize;
    if (more) {
        rows.resize(m_options.pageSize);
        last = rows.last().seq;
    }
    QJsonArray changed;
    QJsonArray deleted;
    for (const Row &row : std::as_const(rows)) {
        if (row.live)
            changed.append(recordJson(a.zoneId, row.name, row.type, row.parent, row.fields, row.assets, row.seq));
        else
            deleted.append(QJsonObject{{p::kName, row.name}, {p::kType, row.type}});
    }
    return QJsonObject{{p::kChanged, changed},
                       {p::kDeleted, deleted},
                       {p::kToken, QString::fromLatin1(encodeToken(a.zoneId, last))},
                       {p::kMoreComing, more}};
}

// ---------------------------------------------------------------- assets

CloudService::Result CloudService::uploadAsset(const User &caller, const QByteArray &body)
{
    if (body.size() > m_options.maxAssetBytes)
        return fail(p::ErrorLimitExceeded, QStringLiteral("asset too large"));
    const QString hash = sha256Hex(body);
    // One upload of a user at a time, so that the bound holds.
    run(QStringLiteral("SELECT id FROM users WHERE id = ? FOR UPDATE"), {caller.id}).next();
    QSqlQuery &used = run(QStringLiteral("SELECT coalesce(sum(size), 0) FROM uploads WHERE user_id = ? AND hash <> ?"),
                          {caller.id, hash});
    used.next();
    if (used.value(0).toLongLong() + body.size() > m_options.maxUserBytes)
        return fail(p::ErrorLimitExceeded, QStringLiteral("upload quota reached"));
    run(QStringLiteral("INSERT INTO assets (hash, size, data) VALUES (?, ?, ?) ON CONFLICT DO NOTHING"),
        {hash, qint64(body.size()), body});
    run(QStringLiteral("INSERT INTO uploads (user_id, hash, size) VALUES (?, ?, ?) "
                       "ON CONFLICT (user_id, hash) DO UPDATE SET pending = true, at = now()"),
        {caller.id, hash, qint64(body.size())});
    return QJsonObject{{p::kHash, hash}, {p::kSize, double(body.size())}};
}

std::variant<QByteArray, ApiError> CloudService::fetchAsset(const User &caller, Scope scope, const QJsonObject &body)
{
    auto access = authorize(caller, scope, body, false);
    if (auto *error = std::get_if<ApiError>(&access))
        return *error;
    const Access a = std::get<Access>(access);
    const QString hash = stringField(body, p::kHash, QString(), true);
    // Only a file that a record of this zone carries.
    QSqlQuery &q = run(QStringLiteral("SELECT data FROM assets a WHERE a.hash = ? AND EXISTS ("
                                      "SELECT 1 FROM asset_refs r WHERE r.zone_id = ? AND r.hash = a.hash)"),
                       {hash, a.zoneId});
    if (!q.next())
        return fail(p::ErrorUnknownItem, QStringLiteral("asset not found"));
    return q.value(0).toByteArray();
}

void CloudService::collectGarbage()
{
    try {
        transaction([] {
            run(QStringLiteral("DELETE FROM assets a WHERE a.hash IN (SELECT b.hash FROM assets b "
                               "WHERE NOT EXISTS (SELECT 1 FROM asset_refs r WHERE r.hash = b.hash) "
                               "AND NOT EXISTS (SELECT 1 FROM uploads u WHERE u.hash = b.hash AND u.pending "
                               "AND u.at > now() - CAST(? AS interval)) LIMIT 1000)"),
                {kPendingUploadGrace});
            return true;
        });
    } catch (const SqlFailure &failure) {
        qWarning("vellora-cloud: removing unused files: %s", qUtf8Printable(failure.message));
    }
}

// ---------------------------------------------------------------- shares

CloudService::Result CloudService::subscribe(const User &caller, const QJsonObject &body)
{
    const QString id = stringField(body, p::kId, QString(), true);
    if (!plainName(id))
        return fail(p::ErrorInvalidArguments, QStringLiteral("subscription id"));
    run(QStringLiteral("INSERT INTO subscriptions (user_id, id) VALUES (?, ?) ON CONFLICT DO NOTHING"), {caller.id, id});
    return QJsonObject{};
}

CloudService::Result CloudService::shareMetadata(const User &caller, const QJsonObject &body)
{
    const QString token = stringField(body, p::kToken, QString(), true);
    QSqlQuery &s = run(QStringLiteral("SELECT s.zone_id, s.record_name, z.name, u.name, z.owner_id, r.fields::text "
                                      "FROM shares s JOIN zones z ON z.id = s.zone_id JOIN users u ON u.id = z.owner_id "
                                      "JOIN records r ON r.zone_id = s.zone_id AND r.name = s.record_name AND r.type = ? "
                                      "WHERE s.token = ?"),
                       {QString(p::kTypeShare), token});
    if (token.isEmpty() || !s.next())
        return fail(p::ErrorUnknownItem, QStringLiteral("no such share"));
    const qint64 zoneId = s.value(0).toLongLong();
    const QString zoneName = s.value(2).toString();
    const QString ownerName = s.value(3).toString();
    const qint64 ownerId = s.value(4).toLongLong();
    const QJsonObject fields = parseObject(s.value(5).toByteArray());
    const QString publicPermission = fields.value(p::kPublicPermission).toString();
    QString permission;
    QSqlQuery &q = run(QStringLiteral("SELECT permission FROM participants WHERE zone_id = ? AND user_id = ? AND NOT removed"),
                       {zoneId, caller.id});
    if (q.next())
        permission = q.value(0).toString();
    else if (ownerId == caller.id)
        permission = p::kPermissionReadWrite;
    else if (publicPermission == p::kPermissionReadOnly || publicPermission == p::kPermissionReadWrite)
        permission = publicPermission;
    else
        return fail(p::ErrorPermissionFailure, QStringLiteral("not invited"));
    return QJsonObject{{p::kUrl, publicURL() + p::kPathSharePage + token},
                       {p::kRootRecord, fields.value(p::kRootRecord).toString()},
                       {p::kZone, zoneName},
                       {p::kOwner, ownerName},
                       {p::kTitle, fields.value(p::kTitle).toString()},
                       {p::kPermission, permission},
                       {p::kZoneId, zoneId}};
}

CloudService::Result CloudService::acceptShare(const User &caller, const QJsonObject &body)
{
    Result metadata = shareMetadata(caller, body);
    if (auto *error = std::get_if<ApiError>(&metadata))
        return *error;
    const QJsonObject m = std::get<QJsonObject>(metadata);
    if (m.value(p::kOwner).toString() == caller.name)
        return fail(p::ErrorInvalidArguments, QStringLiteral("the owner cannot accept"));
    const qint64 zoneId = qint64(m.value(p::kZoneId).toDouble());
    run(QStringLiteral("INSERT INTO participants (zone_id, user_id, permission, accepted) VALUES (?, ?, ?, true) "
                       "ON CONFLICT (zone_id, user_id) DO UPDATE SET accepted = true, removed = false"),
        {zoneId, caller.id, m.value(p::kPermission).toString()});
    const qint64 seq = bump(zoneId);
    run(QStringLiteral("UPDATE records SET seq = ? WHERE zone_id = ? AND type = ?"), {seq, zoneId, QString(p::kTypeShare)});
    notifyZone(zoneId);
    return QJsonObject{};
}

// ---------------------------------------------------------------- dispatch

HttpAnswer CloudService::handle(const User &caller, const QString &path, const QByteArray &body)
{
    try {
        HttpAnswer answer = transaction([&] {
            t_notify.clear();
            return dispatch(caller, path, body);
        });
        if (answer.status >= 300)
            t_notify.clear();
        if (!t_notify.isEmpty() && m_notify)
            m_notify(std::exchange(t_notify, {}));
        return answer;
    } catch (const Refusal &refusal) {
        database().rollback();
        t_notify.clear();
        return errorAnswer(refusal.error);
    } catch (const SqlFailure &failure) {
        t_notify.clear();
        qWarning("vellora-cloud: database: %s", qUtf8Printable(failure.message));
        HttpAnswer answer = errorAnswer(fail(p::ErrorInternal, failure.connectionLost ? QStringLiteral("database unavailable")
                                                                                      : QStringLiteral("database error")));
        if (failure.connectionLost)
            answer.status = 503;
        return answer;
    }
}

// Runs inside the request's transaction; an error answer rolls it back (the
// transaction helper commits only what returns normally, so errors throw).
HttpAnswer CloudService::dispatch(const User &caller, const QString &path, const QByteArray &bytes)
{
    const auto answer = [](const Result &result) -> HttpAnswer {
        if (const auto *error = std::get_if<ApiError>(&result))
            throw Refusal{*error};
        return HttpAnswer{200, QByteArrayLiteral("application/json"), compact(std::get<QJsonObject>(result))};
    };
    if (path == p::kPathAssets)
        return answer(uploadAsset(caller, bytes));

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw Refusal{fail(p::ErrorInvalidArguments, QStringLiteral("the body is not JSON: ") + parseError.errorString())};
    if (!document.isObject())
        throw Refusal{fail(p::ErrorInvalidArguments, QStringLiteral("the body is not a JSON object"))};
    const QJsonObject body = document.object();
    if (auto reason = badTextIn(body, QString()))
        throw Refusal{fail(p::ErrorInvalidArguments, *reason)};

    if (path == p::kPathSubscriptions)
        return answer(subscribe(caller, body));
    if (path == p::kPathShareMetadata) {
        Result metadata = shareMetadata(caller, body);
        if (auto *object = std::get_if<QJsonObject>(&metadata))
            object->remove(QStringLiteral("zoneId"));
        return answer(metadata);
    }
    if (path == p::kPathShareAccept)
        return answer(acceptShare(caller, body));
    const bool privateScope = path.startsWith(p::kPathPrivate);
    if (privateScope || path.startsWith(p::kPathShared)) {
        const Scope scope = privateScope ? Scope::Private : Scope::Shared;
        const QString call = path.mid(privateScope ? p::kPathPrivate.size() : p::kPathShared.size());
        if (call == p::kCallZoneSave)
            return answer(saveZone(caller, scope, body));
        if (call == p::kCallZoneDelete)
            return answer(deleteZone(caller, scope, body));
        if (call == p::kCallLookup)
            return answer(lookup(caller, scope, body));
        if (call == p::kCallModify)
            return answer(modify(caller, scope, body));
        if (call == p::kCallChanges)
            return answer(changes(caller, scope, body));
        if (call == p::kCallAssetFetch) {
            auto bytesOrError = fetchAsset(caller, scope, body);
            if (auto *error = std::get_if<ApiError>(&bytesOrError))
                throw Refusal{*error};
            return HttpAnswer{200, QByteArrayLiteral("application/octet-stream"), std::get<QByteArray>(bytesOrError)};
        }
    }
    throw Refusal{fail(p::ErrorInvalidArguments, QStringLiteral("no such call"))};
}

} // namespace cloud
