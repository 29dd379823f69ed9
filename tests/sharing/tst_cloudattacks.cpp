// vellora-cloud as an attacker and a bad network see it, on a PostgreSQL
// cluster that this test starts: one row per way in or way down. The
// service runs with small limits so that each row shows its fault quickly.

#include "CloudServiceFixture.h"
#include "CloudTestSupport.h"
#include "SharingFixtures.h"

#include "sharing/HttpCloud.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QtTest>

using namespace vellora;
using namespace sharingtest;

namespace {


struct Answer {
    int status = 0;
    QJsonObject body;
};

} // namespace

class CloudAttacksTest : public QObject {
    Q_OBJECT

    CloudFixture m_cloud;
    QHash<QString, QString> m_tokens;
    QList<QObject *> m_made;
    QTemporaryDir m_files;

    QString newUser(const QString &stem)
    {
        const QString name = unique(stem);
        m_tokens.insert(name, m_cloud.service.addUser(name));
        return name;
    }
    HttpCloudContainer *as(const QString &user)
    {
        auto *made = new HttpCloudContainer(m_cloud.service.url(), m_tokens.value(user));
        m_made.append(made);
        return made;
    }
    CloudZoneID own(const QString &zone) { return CloudZoneID{zone, kCurrentUserDefaultName}; }
    CloudResult<CloudModifyResult> save(CloudDatabase &db, const CloudZoneID &zone, const QList<CloudRecord> &records,
                                        bool atomic = false, int ms = 30000)
    {
        return await<CloudModifyResult>(
            [&](auto done) { db.modify(zone, records, {}, CloudSavePolicy::AllKeys, atomic, done); }, ms);
    }
    int makeZone(CloudDatabase &db, const QString &name)
    {
        return codeOf(await<CloudNothing>([&](auto done) { db.saveZone(own(name), done); }));
    }
    CloudResult<CloudRecord> fetch(CloudDatabase &db, const CloudZoneID &zone, const QString &name, int ms = 30000)
    {
        return await<CloudRecord>([&](auto done) { db.fetchRecord(zone, name, done); }, ms);
    }
    QString fileOf(const QByteArray &bytes)
    {
        const QString path = m_files.filePath(unique(QStringLiteral("file")));
        writeFile(path, bytes);
        return path;
    }
    QString sql(const QString &statement)
    {
        QString error;
        const QString value = m_cloud.cluster.query(QStringLiteral("vellora"), statement, &error);
        if (!error.isEmpty())
            qWarning("%s", qPrintable(error));
        return value;
    }

    // A POST of raw bytes; the status and the JSON answer.
    Answer post(const QString &path, const QByteArray &body, const QString &user)
    {
        QNetworkAccessManager network;
        QUrl url = m_cloud.service.url();
        url.setPath(path);
        QNetworkRequest request(url);
        request.setRawHeader("Authorization", "Bearer " + m_tokens.value(user).toUtf8());
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        request.setTransferTimeout(30000);
        QNetworkReply *reply = network.post(request, body);
        QDeadlineTimer deadline(30000);
        while (!reply->isFinished() && !deadline.hasExpired())
            QTest::qWait(5);
        Answer answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                      QJsonDocument::fromJson(reply->readAll()).object()};
        delete reply;
        return answer;
    }

    // Writes `head` on a fresh connection and returns what comes back within `ms`.
    static QByteArray rawExchange(const QUrl &service, const QByteArray &head, int ms)
    {
        QTcpSocket socket;
        socket.connectToHost(service.host(), quint16(service.port()));
        if (!socket.waitForConnected(5000))
            return {};
        socket.write(head);
        QByteArray received;
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired() && !received.contains("\r\n\r\n")) {
            socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            received += socket.readAll();
            if (socket.state() != QAbstractSocket::ConnectedState)
                break;
        }
        return received;
    }

    // A shared zone of `owner` with `friendName` accepted as a read-write participant.
    QString sharedZone(CloudContainer &owner, CloudContainer &participant, const QString &friendName, const QString &zone,
                       const QList<CloudRecord> &more = {})
    {
        if (makeZone(owner.privateDatabase(), zone))
            return {};
        CloudRecord root = makeRecord(QStringLiteral("root"), QStringLiteral("Collection"));
        CloudRecord share = makeRecord(QStringLiteral("share"), kShareRecordType);
        share.fields.insert(QStringLiteral("rootRecord"), QStringLiteral("root"));
        share.fields.insert(QStringLiteral("publicPermission"), QStringLiteral("none"));
        share.fields.insert(QStringLiteral("title"), zone);
        share.setParticipants({CloudParticipant{friendName, QStringLiteral("readWrite"), false}});
        auto saved = save(owner.privateDatabase(), own(zone), QList<CloudRecord>{root, share} + more, true);
        if (isError(saved))
            return {};
        QString url;
        for (const CloudRecord &r : std::get<CloudModifyResult>(saved).saved)
            if (r.type == kShareRecordType)
                url = r.shareURL();
        auto metadata = await<CloudShareMetadata>([&](auto done) { participant.shareMetadata(QUrl(url), done); });
        if (isError(metadata)
            || codeOf(await<CloudNothing>([&](auto done) { participant.accept(std::get<CloudShareMetadata>(metadata), done); })))
            return {};
        return url;
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_cloud.start(&error, {QStringLiteral("--max-asset-mb"), QStringLiteral("1"), QStringLiteral("--max-user-mb"),
                                        QStringLiteral("2"), QStringLiteral("--max-request-mb"), QStringLiteral("4")}),
                 qPrintable(error));
    }
    void cleanupTestCase()
    {
        qDeleteAll(m_made);
        m_cloud.stop();
    }

    void attacks_data()
    {
        QTest::addColumn<QString>("attack");
        for (const char *attack : {"participant takes over the share", "participant renames the root's share",
                                   "participant deletes the share's root",
                                   "file of an unreadable zone by its hash", "uploads beyond the user's bound",
                                   "files outlive stop sharing", "huge body without a token",
                                   "huge body over the call's limit", "chunked body over the call's limit",
                                   "small request during a held-up write",
                                   "idle connections under a low descriptor limit", "database restart"})
            QTest::newRow(attack) << QString::fromLatin1(attack);
    }
    void attacks()
    {
        QFETCH(QString, attack);
        const QString ownerName = newUser(QStringLiteral("owner"));
        const QString friendName = newUser(QStringLiteral("friend"));
        const QString strangerName = newUser(QStringLiteral("stranger"));
        HttpCloudContainer *owner = as(ownerName);
        CloudContainer *participant = as(friendName);
        CloudContainer *stranger = as(strangerName);

        if (attack == QLatin1String("participant takes over the share")) {
            const QString url = sharedZone(*owner, *participant, friendName, QStringLiteral("collection-t"));
            QVERIFY(!url.isEmpty());
            const CloudZoneID zone{QStringLiteral("collection-t"), ownerName};
            // The share record resaved under another type, opened to all, with a made-up list.
            CloudRecord forged = makeRecord(QStringLiteral("share"));
            forged.fields.insert(QStringLiteral("rootRecord"), QStringLiteral("root"));
            forged.fields.insert(QStringLiteral("publicPermission"), QStringLiteral("readWrite"));
            forged.setParticipants({CloudParticipant{strangerName, QStringLiteral("readWrite"), true}});
            auto result = save(participant->sharedDatabase(), zone, {forged});
            const int code = isError(result) ? codeOf(result)
                                             : std::get<CloudModifyResult>(result).failed.value(QStringLiteral("share"));
            QCOMPARE(code, int(CloudPermissionFailure));
            // A second share of the participant's own making does no better.
            CloudRecord second = makeRecord(QStringLiteral("share-2"), kShareRecordType);
            second.fields.insert(QStringLiteral("publicPermission"), QStringLiteral("readWrite"));
            result = save(participant->sharedDatabase(), zone, {second});
            QCOMPARE(std::get<CloudModifyResult>(result).failed.value(QStringLiteral("share-2")), int(CloudPermissionFailure));
            // The uninvited stay out; the owner's share is as it was.
            QCOMPARE(codeOf(await<CloudShareMetadata>([&](auto done) { stranger->shareMetadata(QUrl(url), done); })),
                     int(CloudPermissionFailure));
            auto share = fetch(owner->privateDatabase(), own(QStringLiteral("collection-t")), QStringLiteral("share"));
            QCOMPARE(codeOf(share), 0);
            QCOMPARE(std::get<CloudRecord>(share).type, kShareRecordType);
            QCOMPARE(std::get<CloudRecord>(share).shareURL(), url);
            QCOMPARE(std::get<CloudRecord>(share).participants(),
                     (QList<CloudParticipant>{CloudParticipant{friendName, QStringLiteral("readWrite"), true}}));
        } else if (attack == QLatin1String("participant renames the root's share")) {
            QVERIFY(!sharedZone(*owner, *participant, friendName, QStringLiteral("collection-r")).isEmpty());
            const CloudZoneID zone{QStringLiteral("collection-r"), ownerName};
            auto root = fetch(participant->sharedDatabase(), zone, QStringLiteral("root"));
            CloudRecord changed = std::get<CloudRecord>(root);
            changed.fields.insert(QStringLiteral("share"), QStringLiteral("decoy"));
            changed.fields.insert(QStringLiteral("name"), QStringLiteral("Renamed"));
            QCOMPARE(codeOf(save(participant->sharedDatabase(), zone, {changed})), 0);
            root = fetch(owner->privateDatabase(), own(QStringLiteral("collection-r")), QStringLiteral("root"));
            QCOMPARE(std::get<CloudRecord>(root).fields.value(QStringLiteral("name")).toString(), QStringLiteral("Renamed"));
            QCOMPARE(std::get<CloudRecord>(root).fields.value(QStringLiteral("share")).toString(), QStringLiteral("share"));
        } else if (attack == QLatin1String("participant deletes the share's root")) {
            QVERIFY(!sharedZone(*owner, *participant, friendName, QStringLiteral("collection-o")).isEmpty());
            const CloudZoneID zone{QStringLiteral("collection-o"), ownerName};
            const auto refusal = [&](const QList<CloudRecord> &records, const QStringList &deletions) {
                auto result = await<CloudModifyResult>([&](auto done) {
                    participant->sharedDatabase().modify(zone, records, deletions, CloudSavePolicy::AllKeys, false, done);
                });
                return isError(result) ? codeOf(result)
                                       : std::get<CloudModifyResult>(result).failed.value(QStringLiteral("root"), 0);
            };
            QCOMPARE(refusal({}, {QStringLiteral("root")}), int(CloudPermissionFailure));
            // Nor does another record take its place.
            QCOMPARE(refusal({makeRecord(QStringLiteral("root"))}, {}), int(CloudPermissionFailure));
            // The owner still finds the share through the root.
            auto root = fetch(owner->privateDatabase(), own(QStringLiteral("collection-o")), QStringLiteral("root"));
            QCOMPARE(codeOf(root), 0);
            QCOMPARE(std::get<CloudRecord>(root).type, QStringLiteral("Collection"));
            QCOMPARE(std::get<CloudRecord>(root).fields.value(QStringLiteral("share")).toString(), QStringLiteral("share"));
            // Gone by the owner's hand, it is not the participant's to make again.
            auto removed = await<CloudModifyResult>([&](auto done) {
                owner->privateDatabase().modify(own(QStringLiteral("collection-o")), {}, {QStringLiteral("root")},
                                                CloudSavePolicy::AllKeys, false, done);
            });
            QCOMPARE(codeOf(removed), 0);
            QCOMPARE(std::get<CloudModifyResult>(removed).deleted, QStringList{QStringLiteral("root")});
            QCOMPARE(refusal({makeRecord(QStringLiteral("root"), QStringLiteral("Collection"))}, {}),
                     int(CloudPermissionFailure));
            QCOMPARE(codeOf(fetch(owner->privateDatabase(), own(QStringLiteral("collection-o")), QStringLiteral("root"))),
                     int(CloudUnknownItem));
        } else if (attack == QLatin1String("file of an unreadable zone by its hash")) {
            QCOMPARE(makeZone(owner->privateDatabase(), QStringLiteral("collection-secret")), 0);
            const QByteArray secret = "the owner's picture " + unique(QStringLiteral("s")).toLatin1();
            CloudRecord item = makeRecord(QStringLiteral("item"));
            item.assets.insert(QStringLiteral("original"), CloudAsset{fileOf(secret), {}, 0});
            QCOMPARE(codeOf(save(owner->privateDatabase(), own(QStringLiteral("collection-secret")), {item})), 0);
            // The stranger knows the hash and size (item records carry contentHash).
            QCOMPARE(makeZone(stranger->privateDatabase(), QStringLiteral("collection-mine")), 0);
            const auto tryHash = [&](const QString &hash, qint64 size) {
                CloudRecord bait = makeRecord(unique(QStringLiteral("bait")));
                bait.assets.insert(QStringLiteral("original"), CloudAsset{QString(), hash, size});
                auto result = save(stranger->privateDatabase(), own(QStringLiteral("collection-mine")), {bait});
                const int saved = isError(result) ? codeOf(result)
                                                  : std::get<CloudModifyResult>(result).failed.value(bait.name, 0);
                const QString target = m_files.filePath(unique(QStringLiteral("stolen")));
                const int fetched = codeOf(await<CloudNothing>([&](auto done) {
                    stranger->privateDatabase().downloadAsset(own(QStringLiteral("collection-mine")),
                                                              CloudAsset{QString(), hash, size}, target, done);
                }));
                return std::make_pair(saved, fetched);
            };
            const auto real = tryHash(sha256Hex(sha256(secret)), secret.size());
            const auto madeUp = tryHash(sha256Hex(sha256("nothing like it")), secret.size());
            QVERIFY(real.first != 0);
            QCOMPARE(real.second, int(CloudUnknownItem));
            // Existence does not show: a made-up hash is answered alike.
            QCOMPARE(real, madeUp);
        } else if (attack == QLatin1String("uploads beyond the user's bound")) {
            QCOMPARE(makeZone(stranger->privateDatabase(), QStringLiteral("collection-big")), 0);
            QList<int> codes;
            for (int i = 0; i < 4; ++i) {
                CloudRecord item = makeRecord(unique(QStringLiteral("big")));
                item.assets.insert(QStringLiteral("original"),
                                   CloudAsset{fileOf(QByteArray(700 * 1024, char('a' + i))), {}, 0});
                auto result = save(stranger->privateDatabase(), own(QStringLiteral("collection-big")), {item});
                codes.append(isError(result) ? codeOf(result)
                                             : std::get<CloudModifyResult>(result).failed.value(item.name, 0));
            }
            // Two MiB hold two files of 700 KiB; the fourth, at the latest, is refused.
            QCOMPARE(codes.first(), 0);
            QCOMPARE(codes.last(), int(CloudLimitExceeded));
        } else if (attack == QLatin1String("files outlive stop sharing")) {
            const int before = sql(QStringLiteral("SELECT count(*) FROM assets")).toInt();
            QList<CloudRecord> items;
            for (int i = 0; i < 10; ++i) {
                CloudRecord item = makeRecord(QStringLiteral("item-%1").arg(i));
                item.assets.insert(QStringLiteral("original"), CloudAsset{fileOf(unique(QStringLiteral("o")).toLatin1()), {}, 0});
                items.append(item);
            }
            QVERIFY(!sharedZone(*owner, *participant, friendName, QStringLiteral("collection-f"), items).isEmpty());
            QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM assets")).toInt(), before + 10);
            QCOMPARE(codeOf(await<CloudNothing>([&](auto done) {
                         owner->privateDatabase().deleteZone(own(QStringLiteral("collection-f")), done);
                     })),
                     0);
            QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM assets")).toInt(), before);
        } else if (attack == QLatin1String("huge body without a token")) {
            // The answer comes before any of the gibibyte is sent.
            const QByteArray answer = rawExchange(m_cloud.service.url(),
                                                  "POST /v1/private/records/modify HTTP/1.1\r\nHost: x\r\n"
                                                  "Content-Type: application/json\r\nContent-Length: 1073741824\r\n\r\n",
                                                  10000);
            QVERIFY2(answer.startsWith("HTTP/1.1 401"), answer.constData());
        } else if (attack == QLatin1String("huge body over the call's limit")) {
            const QByteArray answer = rawExchange(m_cloud.service.url(),
                                                  "POST /v1/assets HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer "
                                                      + m_tokens.value(strangerName).toUtf8()
                                                      + "\r\nContent-Length: 1073741824\r\n\r\n",
                                                  10000);
            QVERIFY2(answer.startsWith("HTTP/1.1 413"), answer.constData());
        } else if (attack == QLatin1String("chunked body over the call's limit")) {
            // No length is declared: the service finds out as the body comes.
            const QByteArray head = "POST /v1/assets HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer "
                + m_tokens.value(strangerName).toUtf8() + "\r\nTransfer-Encoding: chunked\r\n\r\n";
            const QByteArray chunk = "10000\r\n" + QByteArray(0x10000, 'x') + "\r\n";
            const QUrl service = m_cloud.service.url();
            // A little over the limit: read to its end, then refused with the reason.
            QTcpSocket socket;
            socket.connectToHost(service.host(), quint16(service.port()));
            QVERIFY(socket.waitForConnected(5000));
            socket.write(head);
            for (int i = 0; i < 24; ++i) // 1.5 MiB, over the 1 MiB a file may have
                socket.write(chunk);
            socket.write("0\r\n\r\n");
            QByteArray received;
            QDeadlineTimer deadline(20000);
            while (!deadline.hasExpired() && !received.contains("}")) {
                socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
                received += socket.readAll();
                if (socket.state() != QAbstractSocket::ConnectedState)
                    break;
            }
            QVERIFY2(received.startsWith("HTTP/1.1 413"), received.constData());
            const QByteArray answer = received.mid(received.indexOf("\r\n\r\n") + 4);
            QCOMPARE(QJsonDocument::fromJson(answer).object().value(QStringLiteral("error")).toInt(),
                     int(CloudLimitExceeded));
            // Far over it: not read on and on, the connection is closed.
            QTcpSocket flood;
            flood.connectToHost(service.host(), quint16(service.port()));
            QVERIFY(flood.waitForConnected(5000));
            flood.write(head);
            qint64 sent = 0;
            const qint64 bound = 64LL * 1024 * 1024;
            while (sent < bound && flood.state() == QAbstractSocket::ConnectedState) {
                flood.write(chunk);
                flood.waitForBytesWritten(5000);
                sent += chunk.size();
            }
            QVERIFY2(sent < bound, qPrintable(QString::number(sent)));
        } else if (attack == QLatin1String("small request during a held-up write")) {
            QCOMPARE(makeZone(owner->privateDatabase(), QStringLiteral("collection-held")), 0);
            QCOMPARE(makeZone(stranger->privateDatabase(), QStringLiteral("collection-small")), 0);
            QCOMPARE(codeOf(save(stranger->privateDatabase(), own(QStringLiteral("collection-small")),
                                 {makeRecord(QStringLiteral("one"))})),
                     0);
            // Another session holds the owner's zone, so the owner's write waits in the database.
            auto holder = m_cloud.cluster.session(QStringLiteral("vellora"));
            holder->write(QStringLiteral("BEGIN; SELECT 'held' FROM zones WHERE name = 'collection-held' AND owner_id = "
                                         "(SELECT id FROM users WHERE name = '%1') FOR UPDATE;\n")
                              .arg(ownerName)
                              .toUtf8());
            QByteArray said;
            QDeadlineTimer deadline(20000);
            while (!said.contains("held") && !deadline.hasExpired() && holder->waitForReadyRead(500))
                said += holder->readAll();
            QVERIFY2(said.contains("held"), said.constData());
            std::optional<CloudResult<CloudModifyResult>> heldWrite;
            owner->privateDatabase().modify(own(QStringLiteral("collection-held")), {makeRecord(QStringLiteral("w"))}, {},
                                            CloudSavePolicy::AllKeys, false, [&](auto result) { heldWrite = std::move(result); });
            QTest::qWait(500); // the write reaches the service and waits
            auto small = fetch(stranger->privateDatabase(), own(QStringLiteral("collection-small")), QStringLiteral("one"),
                               10000);
            const int smallCode = codeOf(small);
            const bool heldAnswered = heldWrite.has_value();
            holder->write("COMMIT;\n");
            holder->closeWriteChannel();
            holder->waitForFinished(10000);
            QCOMPARE(smallCode, 0);
            QVERIFY(!heldAnswered);
            QTRY_VERIFY_WITH_TIMEOUT(heldWrite.has_value(), 30000);
            QCOMPARE(codeOf(*heldWrite), 0);
        } else if (attack == QLatin1String("idle connections under a low descriptor limit")) {
            CloudServiceProcess tight;
            QString error;
            QVERIFY2(tight.start(m_cloud.cluster, QStringLiteral("vellora"), &error,
                                 {QStringLiteral("--idle-timeout"), QStringLiteral("2"), QStringLiteral("--max-per-address"),
                                  QStringLiteral("0")},
                                 96),
                     qPrintable(error));
            std::vector<std::unique_ptr<QTcpSocket>> idle;
            for (int i = 0; i < 150; ++i) {
                idle.push_back(std::make_unique<QTcpSocket>());
                idle.back()->connectToHost(tight.url().host(), quint16(tight.url().port()));
            }
            QTest::qWait(3500); // longer than the idle time-out
            HttpCloudContainer client(tight.url(), m_tokens.value(strangerName));
            auto me = await<QString>([&](auto done) { client.whoAmI(done); }, 20000);
            QCOMPARE(codeOf(me), 0);
            QCOMPARE(std::get<QString>(me), strangerName);
        } else if (attack == QLatin1String("database restart")) {
            QCOMPARE(makeZone(owner->privateDatabase(), QStringLiteral("collection-d")), 0);
            QCOMPARE(codeOf(save(owner->privateDatabase(), own(QStringLiteral("collection-d")), {makeRecord(QStringLiteral("a"))})),
                     0);
            QString error;
            QVERIFY2(m_cloud.cluster.restart(&error), qPrintable(error));
            // Every kind of call, on every connection the service holds, works again.
            for (int i = 0; i < 12; ++i) {
                QCOMPARE(codeOf(fetch(owner->privateDatabase(), own(QStringLiteral("collection-d")), QStringLiteral("a"))), 0);
                QCOMPARE(codeOf(save(owner->privateDatabase(), own(QStringLiteral("collection-d")),
                                     {makeRecord(unique(QStringLiteral("b")))})),
                         0);
                QCOMPARE(codeOf(await<QString>([&](auto done) { owner->whoAmI(done); })), 0);
            }
        } else {
            QFAIL("unknown attack");
        }
    }

    // The operator's commands, as the README gives them.
    void administration_data()
    {
        QTest::addColumn<QString>("step");
        for (const char *step : {"replace a token", "remove a user", "start once more"})
            QTest::newRow(step) << QString::fromLatin1(step);
    }
    void administration()
    {
        QFETCH(QString, step);
        const QString ownerName = newUser(QStringLiteral("owner"));
        const QString friendName = newUser(QStringLiteral("friend"));
        HttpCloudContainer *owner = as(ownerName);
        HttpCloudContainer *participant = as(friendName);
        int exitCode = -1;
        if (step == QLatin1String("replace a token")) {
            const QString token = m_cloud.service.command({QStringLiteral("--replace-token"), ownerName}, &exitCode);
            QCOMPARE(exitCode, 0);
            QVERIFY(!token.isEmpty() && token != m_tokens.value(ownerName));
            QCOMPARE(codeOf(await<QString>([&](auto done) { owner->whoAmI(done); })), int(CloudNotAuthenticated));
            HttpCloudContainer renewed(m_cloud.service.url(), token);
            auto me = await<QString>([&](auto done) { renewed.whoAmI(done); });
            QCOMPARE(codeOf(me), 0);
            QCOMPARE(std::get<QString>(me), ownerName);
            m_cloud.service.command({QStringLiteral("--replace-token"), QStringLiteral("nobody-at-all")}, &exitCode);
            QCOMPARE(exitCode, 1);
        } else if (step == QLatin1String("remove a user")) {
            const int files = sql(QStringLiteral("SELECT count(*) FROM assets")).toInt();
            CloudRecord item = makeRecord(QStringLiteral("item"));
            item.assets.insert(QStringLiteral("original"), CloudAsset{fileOf(unique(QStringLiteral("gone")).toLatin1()), {}, 0});
            QVERIFY(!sharedZone(*owner, *participant, friendName, QStringLiteral("collection-u"), {item}).isEmpty());
            QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM assets")).toInt(), files + 1);
            m_cloud.service.command({QStringLiteral("--remove-user"), ownerName}, &exitCode);
            QCOMPARE(exitCode, 0);
            QCOMPARE(codeOf(await<QString>([&](auto done) { owner->whoAmI(done); })), int(CloudNotAuthenticated));
            auto changes = await<CloudZoneChanges>([&](auto done) {
                participant->sharedDatabase().fetchZoneChanges(CloudZoneID{QStringLiteral("collection-u"), ownerName}, {}, done);
            });
            QCOMPARE(codeOf(changes), int(CloudZoneNotFound));
            QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM assets")).toInt(), files);
            // The name is free again.
            QVERIFY(!m_cloud.service.command({QStringLiteral("--add-user"), ownerName}, &exitCode).isEmpty());
            QCOMPARE(exitCode, 0);
        } else if (step == QLatin1String("start once more")) {
            // A second start on a database already set up says nothing.
            CloudServiceProcess again;
            QString error;
            QVERIFY2(again.start(m_cloud.cluster, QStringLiteral("vellora"), &error), qPrintable(error));
            QCOMPARE(codeOf(await<QString>([&](auto done) {
                         HttpCloudContainer *client = new HttpCloudContainer(again.url(), m_tokens.value(ownerName));
                         m_made.append(client);
                         client->whoAmI(done);
                     })),
                     0);
            QCOMPARE(again.errors(), QByteArray());
        }
    }

    // Bodies the service cannot take: 400 with the reason, and nothing stored.
    void malformedBodies_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("reason");
        const QByteArray head = R"({"zone":"collection-m","owner":"__defaultOwner__","policy":"allKeys","save":[)";
        QTest::newRow("missing parent") << "/v1/private/records/modify"
                                        << head + R"({"type":"Item","name":"x","fields":{},"assets":{}}]})" << "parent";
        QTest::newRow("numeric parent") << "/v1/private/records/modify"
                                        << head + R"({"type":"Item","name":"x","parent":7,"fields":{},"assets":{}}]})"
                                        << "parent";
        QTest::newRow("NUL in a field") << "/v1/private/records/modify"
                                        << head + R"({"type":"Item","name":"x","parent":"","fields":{"title":"a\u0000b"},"assets":{}}]})"
                                        << "NUL";
        QTest::newRow("lone surrogate") << "/v1/private/records/modify"
                                        << head + R"({"type":"Item","name":"x","parent":"","fields":{"title":"\ud800"},"assets":{}}]})"
                                        << "surrogate";
        QTest::newRow("NUL in a field name") << "/v1/private/records/modify"
                                             << head + R"({"type":"Item","name":"x","parent":"","fields":{"a\u0000":1},"assets":{}}]})"
                                             << "NUL";
        QTest::newRow("fields not an object") << "/v1/private/records/modify"
                                              << head + R"({"type":"Item","name":"x","parent":"","fields":[1],"assets":{}}]})"
                                              << "fields";
        QTest::newRow("asset without a size") << "/v1/private/records/modify"
                                              << head + R"({"type":"Item","name":"x","parent":"","fields":{},"assets":{"original":{"hash":"ab"}}}]})"
                                              << "assets";
        QTest::newRow("save not a list") << "/v1/private/records/modify"
                                         << QByteArray(R"({"zone":"collection-m","save":{"type":"Item"}})") << "save";
        QTest::newRow("numeric zone") << "/v1/private/changes" << QByteArray(R"({"zone":5})") << "zone";
        QTest::newRow("NUL in a zone name") << "/v1/private/zones/save" << QByteArray(R"({"zone":"collection-\u0000"})")
                                            << "NUL";
        QTest::newRow("not JSON") << "/v1/private/records/lookup" << QByteArray("{\"zone\":") << "JSON";
        QTest::newRow("a JSON list") << "/v1/shares/metadata" << QByteArray("[1,2]") << "object";
        QTest::newRow("numeric share token") << "/v1/shares/accept" << QByteArray(R"({"token":12})") << "token";
    }
    void malformedBodies()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QString, reason);
        const QString user = newUser(QStringLiteral("sender"));
        QCOMPARE(makeZone(as(user)->privateDatabase(), QStringLiteral("collection-m")), 0);
        const Answer answer = post(path, body, user);
        QCOMPARE(answer.status, 400);
        QCOMPARE(answer.body.value(QStringLiteral("error")).toInt(), int(CloudInvalidArguments));
        QVERIFY2(answer.body.value(QStringLiteral("message")).toString().contains(reason, Qt::CaseInsensitive),
                 qPrintable(answer.body.value(QStringLiteral("message")).toString()));
        auto stored = await<CloudZoneChanges>([&](auto done) {
            as(user)->privateDatabase().fetchZoneChanges(own(QStringLiteral("collection-m")), {}, done);
        });
        QCOMPARE(codeOf(stored), 0);
        QCOMPARE(std::get<CloudZoneChanges>(stored).changed.size(), 0);
    }
};

QTEST_GUILESS_MAIN(CloudAttacksTest)
#include "tst_cloudattacks.moc"
