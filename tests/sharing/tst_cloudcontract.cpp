// One contract for both cloud-database clients: every row runs on the
// in-memory service and on a real vellora-cloud over a PostgreSQL cluster
// that this test starts. Includes the authorisation table.

#include "CloudServiceFixture.h"
#include "CloudTestSupport.h"
#include "SharingFixtures.h"

#include "sharing/HttpCloud.h"
#include "MemoryCloud.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QtTest>

using namespace vellora;
using namespace sharingtest;

namespace {


} // namespace

class CloudContractTest : public QObject {
    Q_OBJECT

    CloudFixture m_cloud;
    bool m_cloudUp = false;
    MemoryCloudService m_memory;
    QHash<QString, QString> m_tokens;
    QList<QObject *> m_made;
    QTemporaryDir m_files;

    // A container acting as `user` on the backend of the current row.
    CloudContainer *as(const QString &backend, const QString &user)
    {
        CloudContainer *made = nullptr;
        if (backend == QLatin1String("memory"))
            made = m_memory.container(user);
        else
            made = new HttpCloudContainer(m_cloud.service.url(), m_tokens.value(user, QStringLiteral("no-such-token")));
        if (backend != QLatin1String("memory"))
            m_made.append(made);
        return made;
    }
    QString newUser(const QString &backend, const QString &stem)
    {
        const QString name = unique(stem);
        if (backend == QLatin1String("memory"))
            m_memory.addUser(name);
        else
            m_tokens.insert(name, m_cloud.service.addUser(name));
        return name;
    }
    void backends()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("memory") << QStringLiteral("memory");
        QTest::newRow("http") << QStringLiteral("http");
    }
    bool skipWithoutService(const QString &backend)
    {
        return backend == QLatin1String("http") && !m_cloudUp;
    }

    CloudResult<CloudModifyResult> save(CloudDatabase &db, const CloudZoneID &zone, const QList<CloudRecord> &records,
                                        CloudSavePolicy policy = CloudSavePolicy::IfServerRecordUnchanged,
                                        bool atomic = true, const QStringList &deletions = {})
    {
        return await<CloudModifyResult>([&](auto done) { db.modify(zone, records, deletions, policy, atomic, done); });
    }
    CloudResult<CloudNothing> makeZone(CloudDatabase &db, const QString &name)
    {
        return await<CloudNothing>([&](auto done) { db.saveZone(CloudZoneID{name, kCurrentUserDefaultName}, done); });
    }
    CloudResult<CloudZoneChanges> changes(CloudDatabase &db, const CloudZoneID &zone, const QByteArray &token = {})
    {
        return await<CloudZoneChanges>([&](auto done) { db.fetchZoneChanges(zone, token, done); });
    }
    // A shared zone of `owner` with one item, `participant` invited with `permission`
    // and (when `accepted`) accepted. Returns the share URL.
    QString sharedZone(CloudContainer &owner, CloudContainer *participant, const QString &participantName,
                       const QString &zone, const QString &permission, bool accepted)
    {
        CloudDatabase &db = owner.privateDatabase();
        const CloudZoneID id{zone, kCurrentUserDefaultName};
        if (codeOf(makeZone(db, zone)))
            return {};
        CloudRecord root = makeRecord(QStringLiteral("root"), QStringLiteral("Collection"));
        CloudRecord share = makeRecord(QStringLiteral("share"), kShareRecordType);
        share.fields.insert(QStringLiteral("rootRecord"), QStringLiteral("root"));
        share.fields.insert(QStringLiteral("publicPermission"), QStringLiteral("none"));
        share.fields.insert(QStringLiteral("title"), zone);
        if (!participantName.isEmpty())
            share.setParticipants({CloudParticipant{participantName, permission, false}});
        auto saved = save(db, id, {root, share, makeRecord(QStringLiteral("item"))});
        if (isError(saved))
            return {};
        QString url;
        for (const CloudRecord &r : std::get<CloudModifyResult>(saved).saved)
            if (r.type == kShareRecordType)
                url = r.shareURL();
        if (accepted && participant) {
            auto metadata = await<CloudShareMetadata>([&](auto done) { participant->shareMetadata(QUrl(url), done); });
            if (isError(metadata))
                return {};
            if (codeOf(await<CloudNothing>([&](auto done) {
                    participant->accept(std::get<CloudShareMetadata>(metadata), done);
                })))
                return {};
        }
        return url;
    }

private slots:
    void initTestCase()
    {
        QString error;
        m_cloudUp = m_cloud.start(&error, {QStringLiteral("--page-size"), QStringLiteral("7"),
                                           QStringLiteral("--max-asset-mb"), QStringLiteral("1")});
        QVERIFY2(m_cloudUp, qPrintable(error));
        m_memory.setPageSize(7);
        m_memory.setMaxAssetBytes(1024 * 1024);
    }
    void cleanupTestCase()
    {
        qDeleteAll(m_made);
        m_cloud.stop();
    }

    void recordsAndChangeTags_data() { backends(); }
    void recordsAndChangeTags()
    {
        QFETCH(QString, backend);
        const QString user = newUser(backend, QStringLiteral("ada"));
        CloudContainer *c = as(backend, user);
        CloudDatabase &db = c->privateDatabase();
        const CloudZoneID zone{QStringLiteral("collection-a"), kCurrentUserDefaultName};
        QCOMPARE(codeOf(makeZone(db, zone.name)), 0);

        CloudRecord record = makeRecord(QStringLiteral("r1"));
        record.fields.insert(QStringLiteral("tags"), QJsonArray{QStringLiteral("x")});
        record.fields.insert(QStringLiteral("addedAt"), 1234.5);
        auto first = save(db, zone, {record});
        QCOMPARE(codeOf(first), 0);
        const CloudRecord stored = std::get<CloudModifyResult>(first).saved.value(0);
        QVERIFY(!stored.changeTag.isEmpty());
        auto fetched = await<CloudRecord>([&](auto done) { db.fetchRecord(zone, QStringLiteral("r1"), done); });
        QCOMPARE(codeOf(fetched), 0);
        QCOMPARE(std::get<CloudRecord>(fetched).fields, record.fields);
        QCOMPARE(codeOf(await<CloudRecord>([&](auto done) { db.fetchRecord(zone, QStringLiteral("nope"), done); })),
                 int(CloudUnknownItem));

        // A save without the current tag is refused with the server's record.
        auto stale = save(db, zone, {record});
        QCOMPARE(codeOf(stale), int(CloudPartialFailure));
        const CloudError refused = std::get<CloudError>(stale);
        QCOMPARE(refused.perRecord.value(QStringLiteral("r1")), int(CloudServerRecordChanged));
        QVERIFY(refused.serverRecord);
        QCOMPARE(refused.serverRecord->changeTag, stored.changeTag);
        CloudRecord current = stored;
        current.fields.insert(QStringLiteral("label"), QStringLiteral("renamed"));
        QCOMPARE(codeOf(save(db, zone, {current})), 0);

        // Changed keys keep the others; all keys replace the record.
        CloudRecord partial = makeRecord(QStringLiteral("r1"));
        partial.fields = QJsonObject{{QStringLiteral("title"), QStringLiteral("T")}};
        QCOMPARE(codeOf(save(db, zone, {partial}, CloudSavePolicy::ChangedKeys)), 0);
        fetched = await<CloudRecord>([&](auto done) { db.fetchRecord(zone, QStringLiteral("r1"), done); });
        QCOMPARE(std::get<CloudRecord>(fetched).fields.value(QStringLiteral("label")).toString(), QStringLiteral("renamed"));
        QCOMPARE(codeOf(save(db, zone, {partial}, CloudSavePolicy::AllKeys)), 0);
        fetched = await<CloudRecord>([&](auto done) { db.fetchRecord(zone, QStringLiteral("r1"), done); });
        QCOMPARE(std::get<CloudRecord>(fetched).fields, partial.fields);

        // Atomic: one bad record and nothing is saved; otherwise the good ones are.
        CloudRecord bad = makeRecord(QStringLiteral("r1")); // no tag
        auto atomic = save(db, zone, {makeRecord(QStringLiteral("r2")), bad});
        QCOMPARE(codeOf(atomic), int(CloudPartialFailure));
        QCOMPARE(codeOf(await<CloudRecord>([&](auto done) { db.fetchRecord(zone, QStringLiteral("r2"), done); })),
                 int(CloudUnknownItem));
        auto loose = save(db, zone, {makeRecord(QStringLiteral("r2")), bad}, CloudSavePolicy::IfServerRecordUnchanged, false);
        QCOMPARE(codeOf(loose), 0);
        QCOMPARE(std::get<CloudModifyResult>(loose).saved.size(), 1);
        QCOMPARE(std::get<CloudModifyResult>(loose).failed.value(QStringLiteral("r1")), int(CloudServerRecordChanged));
    }

    void zoneChanges_data() { backends(); }
    void zoneChanges()
    {
        QFETCH(QString, backend);
        CloudContainer *c = as(backend, newUser(backend, QStringLiteral("bo")));
        CloudDatabase &db = c->privateDatabase();
        const CloudZoneID zone{QStringLiteral("collection-b"), kCurrentUserDefaultName};
        QCOMPARE(codeOf(makeZone(db, zone.name)), 0);
        QCOMPARE(codeOf(changes(db, CloudZoneID{QStringLiteral("collection-none"), kCurrentUserDefaultName})),
                 int(CloudZoneNotFound));
        QList<CloudRecord> records;
        for (int i = 0; i < 10; ++i)
            records.append(makeRecord(QStringLiteral("r%1").arg(i)));
        QCOMPARE(codeOf(save(db, zone, records, CloudSavePolicy::AllKeys, false)), 0);

        // Pages of seven: the first says more is coming.
        auto page = changes(db, zone);
        QCOMPARE(codeOf(page), 0);
        QCOMPARE(std::get<CloudZoneChanges>(page).changed.size(), 7);
        QVERIFY(std::get<CloudZoneChanges>(page).moreComing);
        page = changes(db, zone, std::get<CloudZoneChanges>(page).token);
        QCOMPARE(std::get<CloudZoneChanges>(page).changed.size(), 3);
        QVERIFY(!std::get<CloudZoneChanges>(page).moreComing);
        const QByteArray token = std::get<CloudZoneChanges>(page).token;
        QCOMPARE(std::get<CloudZoneChanges>(changes(db, zone, token)).changed.size(), 0);

        // Later changes and deletions only.
        QCOMPARE(codeOf(save(db, zone, {makeRecord(QStringLiteral("new"))}, CloudSavePolicy::AllKeys, false,
                             {QStringLiteral("r3"), QStringLiteral("never-there")})),
                 0);
        page = changes(db, zone, token);
        const CloudZoneChanges later = std::get<CloudZoneChanges>(page);
        QCOMPARE(later.changed.size(), 1);
        QCOMPARE(later.changed.first().name, QStringLiteral("new"));
        QCOMPARE(later.deleted.size(), 1);
        QCOMPARE(later.deleted.first(), std::make_pair(QStringLiteral("r3"), QStringLiteral("Item")));

        // A zone deleted and made again: old tokens are no good.
        QCOMPARE(codeOf(await<CloudNothing>([&](auto done) { db.deleteZone(zone, done); })), 0);
        QCOMPARE(codeOf(changes(db, zone, later.token)), int(CloudUserDeletedZone));
        QCOMPARE(codeOf(makeZone(db, zone.name)), 0);
        QCOMPARE(codeOf(changes(db, zone, later.token)), int(CloudChangeTokenExpired));
        QCOMPARE(std::get<CloudZoneChanges>(changes(db, zone)).changed.size(), 0);
    }

    void assets_data() { backends(); }
    void assets()
    {
        QFETCH(QString, backend);
        CloudContainer *c = as(backend, newUser(backend, QStringLiteral("cy")));
        CloudDatabase &db = c->privateDatabase();
        const CloudZoneID zone{QStringLiteral("collection-c"), kCurrentUserDefaultName};
        QCOMPARE(codeOf(makeZone(db, zone.name)), 0);
        const QByteArray bytes = QByteArray(5000, 'p') + "end";
        const QString file = m_files.filePath(unique(QStringLiteral("asset")));
        QVERIFY(writeFile(file, bytes));
        CloudRecord record = makeRecord(QStringLiteral("with-file"));
        record.assets.insert(QStringLiteral("original"), CloudAsset{file, {}, 0});
        QCOMPARE(codeOf(save(db, zone, {record})), 0);
        const CloudRecord fetched = std::get<CloudZoneChanges>(changes(db, zone)).changed.value(0);
        const CloudAsset asset = fetched.assets.value(QStringLiteral("original"));
        QCOMPARE(asset.size, qint64(bytes.size()));
        QCOMPARE(asset.hash, sha256Hex(sha256(bytes)));
        const QString target = m_files.filePath(unique(QStringLiteral("received")));
        QCOMPARE(codeOf(await<CloudNothing>([&](auto done) { db.downloadAsset(zone, asset, target, done); })), 0);
        QCOMPARE(readFile(target), bytes);

        // Only files that a record of the zone carries can be fetched.
        CloudAsset other{QString(), sha256Hex(sha256("other")), 5};
        QCOMPARE(codeOf(await<CloudNothing>([&](auto done) { db.downloadAsset(zone, other, target + "x", done); })),
                 int(CloudUnknownItem));
        // Files above the service's cap are refused.
        const QString large = m_files.filePath(unique(QStringLiteral("large")));
        QVERIFY(writeFile(large, QByteArray(1024 * 1024 + 1, 'l')));
        CloudRecord big = makeRecord(QStringLiteral("big"));
        big.assets.insert(QStringLiteral("original"), CloudAsset{large, {}, 0});
        auto refused = save(db, zone, {big}, CloudSavePolicy::AllKeys, false);
        QCOMPARE(codeOf(refused), 0);
        QCOMPARE(std::get<CloudModifyResult>(refused).failed.value(QStringLiteral("big")), int(CloudLimitExceeded));
    }

    void sharing_data() { backends(); }
    void sharing()
    {
        QFETCH(QString, backend);
        const QString ownerName = newUser(backend, QStringLiteral("owner"));
        const QString friendName = newUser(backend, QStringLiteral("friend"));
        CloudContainer *owner = as(backend, ownerName);
        CloudContainer *participant = as(backend, friendName);
        const QString url = sharedZone(*owner, participant, friendName, QStringLiteral("collection-s"),
                                       QStringLiteral("readWrite"), false);
        QVERIFY(!url.isEmpty());
        QVERIFY(participant->isShareURL(QUrl(url)));
        QVERIFY(!participant->isShareURL(QUrl(QStringLiteral("https://elsewhere.invalid/share/x"))));
        auto metadata = await<CloudShareMetadata>([&](auto done) { participant->shareMetadata(QUrl(url), done); });
        QCOMPARE(codeOf(metadata), 0);
        const CloudShareMetadata m = std::get<CloudShareMetadata>(metadata);
        QCOMPARE(m.rootRecordName, QStringLiteral("root"));
        QCOMPARE(m.zone.name, QStringLiteral("collection-s"));
        QCOMPARE(m.zone.owner, ownerName);
        QCOMPARE(m.title, QStringLiteral("collection-s"));
        QCOMPARE(m.permission, QStringLiteral("readWrite"));
        // Not visible before accepting.
        CloudDatabase &shared = participant->sharedDatabase();
        QCOMPARE(codeOf(changes(shared, m.zone)), int(CloudPermissionFailure));
        QCOMPARE(codeOf(await<CloudNothing>([&](auto done) { participant->accept(m, done); })), 0);
        auto seen = changes(shared, m.zone);
        QCOMPARE(codeOf(seen), 0);
        QStringList types;
        for (const CloudRecord &r : std::get<CloudZoneChanges>(seen).changed)
            types.append(r.type);
        types.sort();
        QCOMPARE(types, (QStringList{QStringLiteral("Collection"), QStringLiteral("Item"), kShareRecordType}));
        // The root record names its share, and the share its accepted participant.
        auto root = await<CloudRecord>([&](auto done) { shared.fetchRecord(m.zone, QStringLiteral("root"), done); });
        const QString shareName = std::get<CloudRecord>(root).fields.value(QStringLiteral("share")).toString();
        QCOMPARE(shareName, QStringLiteral("share"));
        auto share = await<CloudRecord>([&](auto done) { shared.fetchRecord(m.zone, shareName, done); });
        QCOMPARE(std::get<CloudRecord>(share).participants(),
                 (QList<CloudParticipant>{CloudParticipant{friendName, QStringLiteral("readWrite"), true}}));
        QCOMPARE(std::get<CloudRecord>(share).shareURL(), url);
        // A read-write participant writes; leaving makes the zone disappear for them only.
        QCOMPARE(codeOf(save(shared, m.zone, {makeRecord(QStringLiteral("from-friend"))}, CloudSavePolicy::AllKeys)), 0);
        QCOMPARE(codeOf(await<CloudNothing>([&](auto done) { shared.deleteZone(m.zone, done); })), 0);
        QCOMPARE(codeOf(changes(shared, m.zone)), int(CloudZoneNotFound));
        QCOMPARE(codeOf(changes(owner->privateDatabase(), CloudZoneID{m.zone.name, kCurrentUserDefaultName})), 0);
    }

    // Every refusal comes with its code and changes nothing.
    void authorisation_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("situation");
        QTest::addColumn<int>("code");
        const QList<std::pair<const char *, int>> situations = {
            {"stranger's token", CloudNotAuthenticated},
            {"participant reads another zone", CloudPermissionFailure},
            {"invited but not accepted", CloudPermissionFailure},
            {"read-only participant writes", CloudPermissionFailure},
            {"participant edits the share", CloudPermissionFailure},
            {"someone else's private zone", CloudPermissionFailure},
            {"expired share", CloudUserDeletedZone},
            {"expired share's invitation", CloudUnknownItem},
            {"uninvited user accepts", CloudPermissionFailure},
            {"removed participant", CloudZoneNotFound},
        };
        for (const char *backend : {"memory", "http"})
            for (const auto &[situation, code] : situations)
                QTest::addRow("%s: %s", backend, situation) << QString::fromLatin1(backend)
                                                              << QString::fromLatin1(situation) << code;
    }
    void authorisation()
    {
        QFETCH(QString, backend);
        QFETCH(QString, situation);
        QFETCH(int, code);
        const QString ownerName = newUser(backend, QStringLiteral("owner"));
        const QString friendName = newUser(backend, QStringLiteral("friend"));
        const QString strangerName = newUser(backend, QStringLiteral("stranger"));
        CloudContainer *owner = as(backend, ownerName);
        CloudContainer *participant = as(backend, friendName);
        CloudContainer *stranger = as(backend, strangerName);
        const bool readOnly = situation == QLatin1String("read-only participant writes");
        const bool accepted = situation != QLatin1String("invited but not accepted");
        const QString url = sharedZone(*owner, participant, friendName, QStringLiteral("collection-z"),
                                       readOnly ? QStringLiteral("readOnly") : QStringLiteral("readWrite"), accepted);
        QVERIFY(!url.isEmpty());
        QCOMPARE(codeOf(makeZone(owner->privateDatabase(), QStringLiteral("collection-private"))), 0);
        QCOMPARE(codeOf(save(owner->privateDatabase(), CloudZoneID{QStringLiteral("collection-private"), kCurrentUserDefaultName},
                             {makeRecord(QStringLiteral("secret"))})),
                 0);
        const CloudZoneID sharedZoneId{QStringLiteral("collection-z"), ownerName};
        const CloudZoneID privateZoneId{QStringLiteral("collection-private"), ownerName};
        const auto countRecords = [&] {
            auto all = changes(owner->privateDatabase(), CloudZoneID{QStringLiteral("collection-z"), kCurrentUserDefaultName});
            return isError(all) ? -1 : int(std::get<CloudZoneChanges>(all).changed.size());
        };
        const int before = countRecords();

        int got = 0;
        if (situation == QLatin1String("stranger's token")) {
            CloudContainer *nobody = nullptr;
            if (backend == QLatin1String("memory")) {
                nobody = m_memory.container(QStringLiteral("ghost"));
            } else {
                nobody = new HttpCloudContainer(m_cloud.service.url(), QStringLiteral("forged"));
                m_made.append(nobody);
            }
            got = codeOf(save(nobody->sharedDatabase(), sharedZoneId, {makeRecord(QStringLiteral("x"))}, CloudSavePolicy::AllKeys));
            QCOMPARE(codeOf(changes(nobody->sharedDatabase(), sharedZoneId)), code);
        } else if (situation == QLatin1String("participant reads another zone")) {
            got = codeOf(changes(participant->sharedDatabase(), privateZoneId));
        } else if (situation == QLatin1String("invited but not accepted")) {
            got = codeOf(changes(participant->sharedDatabase(), sharedZoneId));
        } else if (situation == QLatin1String("read-only participant writes")) {
            QCOMPARE(codeOf(changes(participant->sharedDatabase(), sharedZoneId)), 0);
            got = codeOf(save(participant->sharedDatabase(), sharedZoneId, {makeRecord(QStringLiteral("x"))},
                              CloudSavePolicy::AllKeys, false, {QStringLiteral("item")}));
            QCOMPARE(codeOf(await<CloudNothing>([&](auto done) {
                         participant->sharedDatabase().saveZone(CloudZoneID{QStringLiteral("collection-z"), ownerName}, done);
                     })),
                     code);
        } else if (situation == QLatin1String("participant edits the share")) {
            CloudRecord share = makeRecord(QStringLiteral("share"), kShareRecordType);
            share.fields.insert(QStringLiteral("publicPermission"), QStringLiteral("readWrite"));
            auto result = save(participant->sharedDatabase(), sharedZoneId, {share}, CloudSavePolicy::AllKeys, false);
            got = isError(result) ? codeOf(result)
                                  : std::get<CloudModifyResult>(result).failed.value(QStringLiteral("share"));
        } else if (situation == QLatin1String("someone else's private zone")) {
            got = codeOf(changes(stranger->privateDatabase(), privateZoneId));
            QCOMPARE(codeOf(await<CloudNothing>([&](auto done) { stranger->privateDatabase().deleteZone(privateZoneId, done); })),
                     code);
        } else if (situation == QLatin1String("expired share")) {
            QCOMPARE(codeOf(await<CloudNothing>([&](auto done) {
                         owner->privateDatabase().deleteZone(CloudZoneID{QStringLiteral("collection-z"), kCurrentUserDefaultName}, done);
                     })),
                     0);
            got = codeOf(changes(participant->sharedDatabase(), sharedZoneId));
            QCOMPARE(codeOf(save(participant->sharedDatabase(), sharedZoneId, {makeRecord(QStringLiteral("x"))},
                                 CloudSavePolicy::AllKeys)),
                     code);
            QCOMPARE(got, code);
            return;
        } else if (situation == QLatin1String("expired share's invitation")) {
            QCOMPARE(codeOf(await<CloudNothing>([&](auto done) {
                         owner->privateDatabase().deleteZone(CloudZoneID{QStringLiteral("collection-z"), kCurrentUserDefaultName}, done);
                     })),
                     0);
            got = codeOf(await<CloudShareMetadata>([&](auto done) { stranger->shareMetadata(QUrl(url), done); }));
            QCOMPARE(got, code);
            return;
        } else if (situation == QLatin1String("uninvited user accepts")) {
            got = codeOf(await<CloudShareMetadata>([&](auto done) { stranger->shareMetadata(QUrl(url), done); }));
            CloudShareMetadata forged;
            forged.url = QUrl(url);
            forged.zone = CloudZoneID{QStringLiteral("collection-z"), ownerName};
            QCOMPARE(codeOf(await<CloudNothing>([&](auto done) { stranger->accept(forged, done); })), code);
            QCOMPARE(codeOf(changes(stranger->sharedDatabase(), sharedZoneId)), int(CloudPermissionFailure));
        } else if (situation == QLatin1String("removed participant")) {
            auto share = await<CloudRecord>([&](auto done) {
                owner->privateDatabase().fetchRecord(CloudZoneID{QStringLiteral("collection-z"), kCurrentUserDefaultName},
                                                     QStringLiteral("share"), done);
            });
            CloudRecord changed = std::get<CloudRecord>(share);
            changed.setParticipants({});
            QCOMPARE(codeOf(save(owner->privateDatabase(), CloudZoneID{QStringLiteral("collection-z"), kCurrentUserDefaultName},
                                 {changed})),
                     0);
            got = codeOf(changes(participant->sharedDatabase(), sharedZoneId));
        }
        QCOMPARE(got, code);
        QCOMPARE(countRecords(), before);
    }

    void plainHttpOnlyToLoopback_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("https anywhere") << "https://share.example.org" << true;
        QTest::newRow("http to 127.0.0.1") << "http://127.0.0.1:8470" << true;
        QTest::newRow("http to localhost") << "http://localhost:8470" << true;
        QTest::newRow("http to ::1") << "http://[::1]:8470" << true;
        QTest::newRow("http elsewhere") << "http://share.example.org" << false;
        QTest::newRow("http to a LAN address") << "http://192.168.1.2:8470" << false;
        QTest::newRow("no address") << "" << false;
    }
    void plainHttpOnlyToLoopback()
    {
        QFETCH(QString, url);
        QFETCH(bool, allowed);
        HttpCloudContainer container{QUrl(url), QStringLiteral("token")};
        // A refused container refuses at once, without a request.
        const int code = codeOf(await<CloudNothing>([&](auto done) {
            container.privateDatabase().saveSubscription(QStringLiteral("s"), done);
        }));
        if (allowed)
            QVERIFY(code != CloudBadContainer);
        else
            QCOMPARE(code, int(CloudBadContainer));
    }

    // The service's event stream is the silent push.
    void eventStream()
    {
        const QString ownerName = newUser(QStringLiteral("http"), QStringLiteral("owner"));
        const QString friendName = newUser(QStringLiteral("http"), QStringLiteral("friend"));
        CloudContainer *owner = as(QStringLiteral("http"), ownerName);
        CloudContainer *participant = as(QStringLiteral("http"), friendName);
        QVERIFY(!sharedZone(*owner, participant, friendName, QStringLiteral("collection-e"), QStringLiteral("readWrite"), true)
                     .isEmpty());
        QSignalSpy pushes(participant, &CloudContainer::remoteChange);
        QCOMPARE(codeOf(await<CloudNothing>([&](auto done) {
                     participant->sharedDatabase().saveSubscription(QStringLiteral("shared-changes"), done);
                 })),
                 0);
        // The stream opens on its own time: changes go on until one is announced.
        for (int i = 0; i < 100 && pushes.isEmpty(); ++i) {
            QCOMPARE(codeOf(save(owner->privateDatabase(), CloudZoneID{QStringLiteral("collection-e"), kCurrentUserDefaultName},
                                 {makeRecord(QStringLiteral("late"))}, CloudSavePolicy::AllKeys)),
                     0);
            QTest::qWait(100);
        }
        QVERIFY(!pushes.isEmpty());
    }
};

QTEST_GUILESS_MAIN(CloudContractTest)
#include "tst_cloudcontract.moc"
