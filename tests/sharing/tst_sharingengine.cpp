// The sharing engine between two libraries on the in-memory service: share,
// accept, fetch, push, rename, stop and leave, and the faults it must not make.

#include "ManualScheduler.h"
#include "ScopedScheduler.h"

#include "SharingFixtures.h"

#include "MemoryCloud.h"

#include "platform/Bundle.h"
#include "platform/Scheduler.h"
#include "sharing/HttpCloud.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace vellora;
using namespace sharingtest;

class SharingEngineTest : public QObject {
    Q_OBJECT

    std::unique_ptr<MemoryCloudService> m_service;
    std::unique_ptr<Library> m_owner;
    std::unique_ptr<Library> m_friend;

    // The owner's collection with `count` items, shared; its URL.
    QString sharedCollection(int count, QString *collectionId, QStringList *ids = nullptr)
    {
        *collectionId = m_owner->store->createCollection(QStringLiteral("Moodboard"));
        const QStringList made = m_owner->addImages(count, {*collectionId});
        if (ids)
            *ids = made;
        const QString url = m_owner->share(*collectionId);
        if (!m_owner->invite(*collectionId, QStringLiteral("friend")))
            return QString();
        return url;
    }
    QStringList serverItems(const QString &collectionId) const
    {
        return m_service->recordNames(QStringLiteral("owner"), zoneNameFor(collectionId), kItemRecordType);
    }

private slots:
    void initTestCase() { setBundleIdentifier(QString::fromLatin1(kVelloraBundleIdentifier)); }

    void init()
    {
        m_service = std::make_unique<MemoryCloudService>();
        m_service->addUser(QStringLiteral("owner"));
        m_service->addUser(QStringLiteral("friend"));
        m_owner = std::make_unique<Library>(memoryContainer(m_service.get(), QStringLiteral("owner")));
        m_friend = std::make_unique<Library>(memoryContainer(m_service.get(), QStringLiteral("friend")));
    }
    void cleanup()
    {
        m_owner.reset();
        m_friend.reset();
        m_service.reset();
    }

    // Root and share go in one modification, then the items in batches of 20.
    void shareSendsBatches_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("modifies");
        // One more for inviting the participant.
        QTest::newRow("empty") << 0 << 2;
        QTest::newRow("eleven in one batch") << 11 << 3;
        QTest::newRow("forty-one as 20, 20, 1") << 41 << 5;
    }
    void shareSendsBatches()
    {
        QFETCH(int, count);
        QFETCH(int, modifies);
        QString id;
        QStringList ids;
        const QString url = sharedCollection(count, &id, &ids);
        QVERIFY(url.startsWith(QStringLiteral("https://memory.invalid/share/")));
        QCOMPARE(m_service->modifyCalls(), modifies);
        ids.sort();
        QCOMPARE(serverItems(id), ids);
        QCOMPARE(m_owner->snapshotOf(id), ids);
        const Board board = *m_owner->store->collection(id);
        QCOMPARE(board.zone, zoneNameFor(id));
        QCOMPARE(board.zoneOwner, kCurrentUserDefaultName);
    }

    void shareEdgeCases()
    {
        CloudError error;
        QVERIFY(m_owner->share(QStringLiteral("no-such-collection"), &error).isEmpty());
        QCOMPARE(error.code, int(CloudUnknownItem));

        QString id;
        const QString url = sharedCollection(2, &id);
        const int calls = m_service->modifyCalls();
        // Shared already: the same share, nothing made.
        QCOMPARE(m_owner->share(id), url);
        QCOMPARE(m_service->modifyCalls(), calls);
    }

    void participantReceivesEverything()
    {
        QString id;
        QStringList ids;
        const QString url = sharedCollection(3, &id, &ids);
        QVERIFY(m_friend->acceptURL(url));
        const auto board = m_friend->store->collection(id);
        QVERIFY(board);
        QCOMPARE(board->name, QStringLiteral("Moodboard"));
        QCOMPARE(board->zoneOwner, QStringLiteral("owner"));
        ids.sort();
        QCOMPARE(m_friend->memberIds(id), ids);
        for (const QString &itemId : ids) {
            const Item mine = *m_owner->store->item(itemId);
            const Item theirs = *m_friend->store->item(itemId);
            QCOMPARE(theirs.originalFilename, mine.originalFilename);
            QCOMPARE(theirs.contentHash, mine.contentHash);
            QCOMPARE(theirs.tags, mine.tags);
            QCOMPARE(readFile(m_friend->root() + QStringLiteral("/originals/") + theirs.storedFilename),
                     readFile(m_owner->root() + QStringLiteral("/originals/") + mine.storedFilename));
            QCOMPARE(readFile(m_friend->root() + QStringLiteral("/thumbnails/") + itemId + QStringLiteral(".jpg")),
                     readFile(m_owner->root() + QStringLiteral("/thumbnails/") + mine.thumbnailFilename));
        }
        // What came from the service is not sent back.
        const int calls = m_service->modifyCalls();
        m_friend->pushAll();
        QCOMPARE(m_service->modifyCalls(), calls);
        QCOMPARE(m_friend->snapshotOf(id), ids);
    }

    // A remote record never names a path, and its claimed digest is not believed.
    void remoteRecordsAreData()
    {
        QString id;
        const QString url = sharedCollection(0, &id);
        MemoryCloudContainer *raw = m_service->container(QStringLiteral("owner"));
        const QString evilThumb = m_owner->dir.filePath(QStringLiteral("evil.jpg"));
        writeFile(evilThumb, "thumbnail");
        const QString good = newUUIDString();
        CloudRecord sneaky;
        sneaky.type = kItemRecordType;
        sneaky.name = QStringLiteral("../../escaped");
        sneaky.fields.insert(QStringLiteral("ext"), QStringLiteral("png"));
        sneaky.assets.insert(QStringLiteral("thumbnail"), CloudAsset{evilThumb, {}, 0});
        CloudRecord odd;
        odd.type = kItemRecordType;
        odd.name = good;
        odd.fields.insert(QStringLiteral("ext"), QStringLiteral("../../x"));
        odd.fields.insert(QStringLiteral("label"), QStringLiteral("../label"));
        odd.fields.insert(QStringLiteral("contentHash"), QString(64, QLatin1Char('a')));
        odd.fields.insert(QStringLiteral("sourceURL"), QStringLiteral("javascript:alert(1)"));
        odd.assets.insert(QStringLiteral("original"), CloudAsset{evilThumb, {}, 0});
        bool saved = false;
        raw->privateDatabase().modify(CloudZoneID{zoneNameFor(id), kCurrentUserDefaultName}, {sneaky, odd}, {},
                                      CloudSavePolicy::AllKeys, false,
                                      [&](CloudResult<CloudModifyResult> result) { saved = !isError(result); });
        QTRY_VERIFY(saved);

        QVERIFY(m_friend->acceptURL(url));
        QCOMPARE(m_friend->memberIds(id), QStringList{good});
        const Item item = *m_friend->store->item(good);
        QCOMPARE(item.storedFilename, good + QStringLiteral(".png"));
        QCOMPARE(item.originalFilename, good + QStringLiteral(".png"));
        QVERIFY(!item.sourceURL);
        QCOMPARE(item.contentHash, sha256Hex(sha256("thumbnail")));
        QVERIFY(!QFileInfo::exists(m_friend->dir.filePath(QStringLiteral("escaped"))));
        QVERIFY(!QFileInfo::exists(m_friend->root() + QStringLiteral("/escaped")));
    }

    // Items that leave the shared collection elsewhere: a participant never
    // loses a file through someone else's deletion.
    void remoteDeletion_data()
    {
        QTest::addColumn<bool>("alsoElsewhere");
        QTest::newRow("only in the shared collection: to the trash") << false;
        QTest::newRow("also in a collection of its own: leaves only the shared one") << true;
    }
    void remoteDeletion()
    {
        QFETCH(bool, alsoElsewhere);
        QString id;
        QStringList ids;
        const QString url = sharedCollection(2, &id, &ids);
        QVERIFY(m_friend->acceptURL(url));
        const QString gone = ids.first();
        const QString own = m_friend->store->createCollection(QStringLiteral("Mine"));
        if (alsoElsewhere)
            m_friend->store->setCollections({id, own}, gone);

        m_owner->store->setCollections({m_owner->store->defaultBoardId()}, gone);
        m_owner->store->save();
        m_owner->pushAll();
        QCOMPARE(serverItems(id).size(), 1);
        m_friend->sync();

        const auto item = m_friend->store->item(gone);
        QVERIFY(item);
        QVERIFY(QFileInfo::exists(m_friend->root() + QStringLiteral("/originals/") + item->storedFilename));
        QVERIFY(!item->collectionIds.contains(id));
        if (alsoElsewhere) {
            QVERIFY(!item->trashedAt);
            QCOMPARE(item->collectionIds, QStringList{own});
        } else {
            QVERIFY(item->trashedAt);
            QCOMPARE(item->trashedFrom, QStringList{id});
        }
        QCOMPARE(m_friend->memberIds(id), QStringList{ids.last()});
    }

    void trashedItemsStayInTheTrash()
    {
        QString id;
        QStringList ids;
        const QString url = sharedCollection(1, &id, &ids);
        QVERIFY(m_friend->acceptURL(url));
        // The server has the record again (someone saved it meanwhile).
        m_friend->store->trash(ids);
        CloudRecord record = itemRecord(*m_owner->store->item(ids.first()), CloudZoneID{zoneNameFor(id), kCurrentUserDefaultName},
                                        id, m_owner->root());
        bool saved = false;
        m_owner->sharing->container().privateDatabase().modify(
            record.zone, {record}, {}, CloudSavePolicy::AllKeys, false,
            [&](CloudResult<CloudModifyResult> result) { saved = !isError(result); });
        QTRY_VERIFY(saved);
        bool fetched = false;
        m_friend->sharing->fetch(id, [&] { fetched = true; });
        QTRY_VERIFY(fetched);
        const Item item = *m_friend->store->item(ids.first());
        QVERIFY(item.trashedAt);
        QVERIFY(item.collectionIds.isEmpty());
    }

    // A failed batch is not recorded as pushed: the next push sends it again.
    void failedUploadsAreRetried_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("failures");
        QTest::newRow("one batch fails") << 3 << 1;
        QTest::newRow("second of three batches fails") << 41 << 0;
    }
    void failedUploadsAreRetried()
    {
        QFETCH(int, count);
        QFETCH(int, failures);
        QString id = m_owner->store->createCollection(QStringLiteral("Moodboard"));
        QVERIFY(!m_owner->share(id).isEmpty());
        QStringList ids = m_owner->addImages(count, {id});
        if (failures) {
            m_service->failNextModifies(failures, CloudNetworkFailure);
            m_owner->pushAll();
            QCOMPARE(serverItems(id), QStringList());
            QCOMPARE(m_owner->snapshotOf(id), QStringList());
        } else {
            // The first batch is on its way when the second is made to fail.
            const int before = m_service->modifyCalls();
            m_owner->sharing->push(id);
            QCOMPARE(m_service->modifyCalls(), before + 1);
            m_service->failNextModifies(1, CloudNetworkFailure);
            m_owner->settle();
            QCOMPARE(serverItems(id).size(), count - 20);
            QCOMPARE(m_owner->snapshotOf(id), serverItems(id));
        }
        m_owner->pushAll();
        ids.sort();
        QCOMPARE(serverItems(id), ids);
        QCOMPARE(m_owner->snapshotOf(id), ids);
    }

    // Pushes of one collection take turns and a burst of requests runs once more.
    void pushesCoalesce()
    {
        QString id;
        sharedCollection(0, &id);
        m_owner->addImages(5, {id});
        const int before = m_service->modifyCalls();
        for (int i = 0; i < 5; ++i)
            m_owner->sharing->push(id);
        QCOMPARE(m_owner->sharing->uploads(), QStringList{id});
        m_owner->settle();
        QCOMPARE(m_service->modifyCalls() - before, 1);
        QCOMPARE(serverItems(id).size(), 5);
    }

    // Changes arrive in pages; the token moves only after each page is saved.
    void fetchContinuesAndStoresTokenLast()
    {
        m_service->setPageSize(4);
        QString id;
        QStringList ids;
        const QString url = sharedCollection(11, &id, &ids);
        QVERIFY(m_friend->acceptURL(url));
        QCOMPARE(m_friend->memberIds(id).size(), 11);
        QVERIFY(!m_friend->sharing->storedToken(zoneNameFor(id)).isEmpty());
        // The library on disk already holds what the token says was fetched.
        LibraryStore reread(m_friend->root(), false, *m_friend->settings);
        int members = 0;
        for (const Item &item : reread.items())
            members += item.collectionIds.contains(id);
        QCOMPARE(members, 11);
    }

    void expiredTokenFetchesEverythingNext()
    {
        QString id;
        const QString url = sharedCollection(2, &id);
        QVERIFY(m_friend->acceptURL(url));
        m_owner->addImages(1, {id});
        m_owner->pushAll();
        m_service->expireTokens(QStringLiteral("owner"), zoneNameFor(id));
        m_friend->sync();
        QVERIFY(m_friend->sharing->storedToken(zoneNameFor(id)).isEmpty());
        m_friend->sync();
        QCOMPARE(m_friend->memberIds(id).size(), 3);
    }

    void renamesOnlyWhenMadeHere()
    {
        QString id;
        const QString url = sharedCollection(1, &id);
        QVERIFY(m_friend->acceptURL(url));
        m_owner->store->renameCollection(id, QStringLiteral("Renamed by owner"));
        m_owner->store->save();
        m_owner->pushAll();
        m_friend->sync();
        QCOMPARE(m_friend->store->collection(id)->name, QStringLiteral("Renamed by owner"));
        // The fetched name is not pushed back.
        int before = m_service->modifyCalls();
        m_friend->pushAll();
        QCOMPARE(m_service->modifyCalls(), before);
        // One made here is.
        m_friend->store->renameCollection(id, QStringLiteral("Renamed by friend"));
        m_friend->pushAll();
        m_owner->sync();
        QCOMPARE(m_owner->store->collection(id)->name, QStringLiteral("Renamed by friend"));
    }

    void stopAndLeave_data()
    {
        QTest::addColumn<bool>("ownerStops");
        QTest::newRow("owner stops sharing") << true;
        QTest::newRow("participant leaves") << false;
    }
    void stopAndLeave()
    {
        QFETCH(bool, ownerStops);
        QString id;
        QStringList ids;
        const QString url = sharedCollection(3, &id, &ids);
        QVERIFY(m_friend->acceptURL(url));
        if (ownerStops) {
            QVERIFY(m_owner->stop(id));
            m_friend->sync();
        } else {
            QVERIFY(m_friend->stop(id));
            QVERIFY(m_owner->store->collection(id)->zone); // still shared by its owner
        }
        const Board board = *m_friend->store->collection(id);
        QVERIFY(!board.zone);
        QVERIFY(!board.zoneOwner);
        ids.sort();
        QCOMPARE(m_friend->memberIds(id), ids);
        QVERIFY(!m_friend->sharing->snapshot()->contains(id));
        if (ownerStops)
            QVERIFY(!m_owner->store->collection(id)->zone);
    }

    void acceptingAgainSharesALocalCollection()
    {
        QString id;
        const QString url = sharedCollection(1, &id);
        QVERIFY(m_friend->acceptURL(url));
        m_friend->sharing->forgetShare(id);
        QVERIFY(!m_friend->store->collection(id)->zone);
        QVERIFY(m_friend->acceptURL(url));
        const Board board = *m_friend->store->collection(id);
        QCOMPARE(board.zone, zoneNameFor(id));
        QCOMPARE(board.zoneOwner, QStringLiteral("owner"));
        QCOMPARE(m_friend->store->collections().size(), 2); // Inbox and this one, once
    }

    void wrongSnapshotPushesEverything()
    {
        QString id;
        QStringList ids;
        sharedCollection(3, &id, &ids);
        m_owner->settings->set(kSnapshotKey, QVariantMap{{id, 42}});
        QVERIFY(!m_owner->sharing->snapshot());
        const int before = m_service->modifyCalls();
        m_owner->pushAll();
        QCOMPARE(m_service->modifyCalls() - before, 1);
        ids.sort();
        QCOMPARE(m_owner->snapshotOf(id), ids);
    }

    // One item in two shared collections has a record in each zone.
    void itemInTwoSharedCollections()
    {
        const QString a = m_owner->store->createCollection(QStringLiteral("A"));
        const QString b = m_owner->store->createCollection(QStringLiteral("B"));
        const QString shared = m_owner->addImage({a, b});
        const QString urlA = m_owner->share(a);
        const QString urlB = m_owner->share(b);
        QVERIFY(m_owner->invite(a, QStringLiteral("friend")));
        QVERIFY(m_owner->invite(b, QStringLiteral("friend")));
        QCOMPARE(serverItems(a), QStringList{shared});
        QCOMPARE(serverItems(b), QStringList{shared});
        QVERIFY(m_friend->acceptURL(urlA));
        QVERIFY(m_friend->acceptURL(urlB));
        QCOMPARE(m_friend->store->item(shared)->collectionIds, (QStringList{a, b}));
        m_owner->store->setCollections({b}, shared);
        m_owner->store->save();
        m_owner->pushAll();
        m_friend->sync();
        const Item item = *m_friend->store->item(shared);
        QCOMPARE(item.collectionIds, QStringList{b});
        QVERIFY(!item.trashedAt);
    }

    // Syncs asked for while one runs (a push event, the window coming
    // forward) are folded into one more, and every caller hears the end.
    void syncsTakeTurns()
    {
        QString id;
        const QString url = sharedCollection(2, &id);
        QVERIFY(m_friend->acceptURL(url));
        m_owner->addImages(3, {id});
        m_owner->pushAll();
        int finished = 0;
        for (int i = 0; i < 3; ++i)
            m_friend->sharing->sync([&] { ++finished; });
        QTRY_COMPARE(finished, 3);
        m_friend->settle();
        QCOMPARE(m_friend->memberIds(id).size(), 5);
        QCOMPARE(m_friend->store->items().size(), 5);
    }

    // A stranger's share whose collection would take the place of a section
    // or of something the invitee has: refused, and nothing here changes.
    void sharesThatWouldStandInForSomethingElse_data()
    {
        QTest::addColumn<QString>("rootName");
        QTest::addColumn<QString>("takes");
        QTest::newRow("the Inbox section") << QStringLiteral("inbox") << QString();
        QTest::newRow("the Trash section") << QStringLiteral("trash") << QString();
        QTest::newRow("a collection of the invitee") << QString() << QStringLiteral("collection");
        QTest::newRow("a smart folder of the invitee") << QString() << QStringLiteral("smart folder");
    }
    void sharesThatWouldStandInForSomethingElse()
    {
        QFETCH(QString, rootName);
        QFETCH(QString, takes);
        QString id = rootName;
        const QString mine = m_friend->store->createCollection(QStringLiteral("Mine"));
        const QString picture = m_friend->addImage({mine});
        if (takes == QLatin1String("collection")) {
            id = mine;
        } else if (takes == QLatin1String("smart folder")) {
            id = newUUIDString();
            m_friend->store->replaceSmartFolders({SmartFolder{id, QStringLiteral("Blue"), QStringLiteral("all"), {}}});
        }
        // The stranger names a collection of theirs after it.
        Board hostile;
        hostile.id = id;
        hostile.name = QStringLiteral("Free pictures");
        QList<Board> boards = m_owner->store->collections();
        boards.append(hostile);
        m_owner->store->replaceCollections(boards);
        m_owner->addImage({id});
        const QString url = m_owner->share(id);
        QVERIFY(!url.isEmpty());
        QVERIFY(m_owner->invite(id, QStringLiteral("friend")));
        const QList<Board> before = m_friend->store->collections();

        bool done = false;
        std::optional<CloudError> failure;
        m_friend->sharing->acceptURL(QUrl(url), [&](std::optional<CloudError> error) {
            failure = error;
            done = true;
        });
        QTRY_VERIFY(done);
        QVERIFY(failure);
        QCOMPARE(failure->code, int(CloudInvalidArguments));
        m_friend->settle();
        QCOMPARE(m_friend->store->collections().size(), before.size());
        for (const Board &board : m_friend->store->collections())
            QVERIFY2(!board.zone, qPrintable(board.id));
        QCOMPARE(m_friend->memberIds(mine), QStringList{picture});
        QCOMPARE(m_friend->store->items().size(), 1);
        // Nothing of the invitee's reached the stranger.
        QCOMPARE(serverItems(id).size(), 1);
    }

    // Edits to items already shared reach the other side field by field.
    void editsOfSharedItemsTravel_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::newRow("owner retitles") << QStringLiteral("owner title");
        QTest::newRow("owner removes a tag") << QStringLiteral("owner tags");
        QTest::newRow("participant adds a tag") << QStringLiteral("friend tags");
        QTest::newRow("both retag before syncing: the tags are merged") << QStringLiteral("both tags");
    }
    void editsOfSharedItemsTravel()
    {
        QFETCH(QString, edit);
        QString id;
        QStringList ids;
        const QString url = sharedCollection(2, &id, &ids);
        QVERIFY(m_friend->acceptURL(url));
        const QString item = ids.first();
        const auto setTags = [&](Library &lib, const QStringList &tags) {
            lib.store->updateItem(item, [&](Item &it) { it.tags = tags; });
            lib.store->save();
        };
        QStringList expectedTags{QStringLiteral("blue")};
        std::optional<QString> expectedTitle;
        if (edit == QLatin1String("owner title")) {
            m_owner->store->updateItem(item, [](Item &it) { it.title = QStringLiteral("Chair, 1962"); });
            m_owner->store->save();
            expectedTitle = QStringLiteral("Chair, 1962");
        } else if (edit == QLatin1String("owner tags")) {
            setTags(*m_owner, {});
            expectedTags = {};
        } else if (edit == QLatin1String("friend tags")) {
            setTags(*m_friend, {QStringLiteral("blue"), QStringLiteral("chair")});
            expectedTags = {QStringLiteral("blue"), QStringLiteral("chair")};
        } else {
            setTags(*m_owner, {QStringLiteral("blue"), QStringLiteral("wood")});
            m_owner->pushAll();
            setTags(*m_friend, {QStringLiteral("blue"), QStringLiteral("chair")});
            expectedTags = {QStringLiteral("blue"), QStringLiteral("chair"), QStringLiteral("wood")};
        }
        for (int round = 0; round < 2; ++round) {
            m_owner->sync();
            m_friend->sync();
        }
        m_owner->sync();
        for (Library *lib : {m_owner.get(), m_friend.get()}) {
            const Item now = *lib->store->item(item);
            QCOMPARE(now.tags.value_or(QStringList()), expectedTags);
            QCOMPARE(now.title, expectedTitle);
            QCOMPARE(now.collectionIds, QStringList{id});
        }
        // In step: nothing more to send either way.
        const int calls = m_service->modifyCalls();
        m_owner->pushAll();
        m_friend->pushAll();
        QCOMPARE(m_service->modifyCalls(), calls);
    }

    // A link shared before its page was in gets its facts and picture once they are.
    void linkFactsFollowTheLink()
    {
        const QString id = m_owner->store->createCollection(QStringLiteral("Links"));
        const QString url = m_owner->share(id);
        QVERIFY(m_owner->invite(id, QStringLiteral("friend")));
        Item link;
        link.id = newUUIDString();
        link.kind = QStringLiteral("link");
        link.originalFilename = QStringLiteral("example.org");
        link.storedFilename = link.id + QStringLiteral(".png");
        link.thumbnailFilename = link.id + QStringLiteral(".jpg");
        link.contentHash = QStringLiteral("link:https://example.org/chairs");
        link.sourceURL = QStringLiteral("https://example.org/chairs");
        link.dateAdded = 800000000.0;
        link.collectionIds = {id};
        m_owner->store->appendItems({link});
        m_owner->store->save();
        m_owner->pushAll();
        QVERIFY(m_friend->acceptURL(url));
        QVERIFY(!m_friend->store->item(link.id)->title);

        // The page is in on the owner's side.
        writeFile(m_owner->root() + QStringLiteral("/originals/") + link.storedFilename, "page picture");
        writeFile(m_owner->root() + QStringLiteral("/thumbnails/") + link.thumbnailFilename, "page thumbnail");
        m_owner->store->updateItem(link.id, [](Item &it) {
            it.title = QStringLiteral("Chairs of the sixties");
            it.siteName = QStringLiteral("Example");
            it.summary = QStringLiteral("Forty chairs.");
            it.snapshotDate = 800000100.0;
            it.pixelWidth = 1200;
            it.pixelHeight = 630;
        });
        m_owner->store->save();
        m_owner->pushAll();
        m_friend->sync();
        const Item theirs = *m_friend->store->item(link.id);
        QCOMPARE(theirs.title, QStringLiteral("Chairs of the sixties"));
        QCOMPARE(theirs.siteName, QStringLiteral("Example"));
        QCOMPARE(theirs.summary, QStringLiteral("Forty chairs."));
        QCOMPARE(theirs.snapshotDate, std::optional<double>(800000100.0));
        QCOMPARE(theirs.pixelWidth, 1200);
        QCOMPARE(readFile(m_friend->root() + QStringLiteral("/thumbnails/") + theirs.thumbnailFilename),
                 QByteArray("page thumbnail"));
        QCOMPARE(readFile(m_friend->root() + QStringLiteral("/originals/") + theirs.storedFilename),
                 QByteArray("page picture"));
        QVERIFY(m_friend->sharing->cameFromOthers(link.id));
        QVERIFY(!m_owner->sharing->cameFromOthers(link.id));
    }

    // The share's title follows the collection's name, whoever renames it:
    // invitations show it.
    void renameRetitlesTheShare_data()
    {
        QTest::addColumn<bool>("byParticipant");
        QTest::newRow("owner renames") << false;
        QTest::newRow("participant renames") << true;
    }
    void renameRetitlesTheShare()
    {
        QFETCH(bool, byParticipant);
        QString id;
        const QString url = sharedCollection(1, &id);
        Library &renamer = byParticipant ? *m_friend : *m_owner;
        if (byParticipant)
            QVERIFY(m_friend->acceptURL(url));
        renamer.store->renameCollection(id, QStringLiteral("Chairs"));
        renamer.store->save();
        renamer.pushAll();
        m_owner->sync();
        QCOMPARE(m_owner->store->collection(id)->name, QStringLiteral("Chairs"));
        bool done = false;
        QString title;
        m_owner->sharing->fetchShare(id, [&](CloudResult<CloudRecord> share) {
            if (!isError(share))
                title = std::get<CloudRecord>(share).fields.value(QStringLiteral("title")).toString();
            done = true;
        });
        QTRY_VERIFY(done);
        QCOMPARE(title, QStringLiteral("Chairs"));
    }

    // After an outage the engine tries again by itself, each time later;
    // a refusal that waiting does not mend is not tried again.
    void failuresAreRetriedLater_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("retried");
        QTest::newRow("network failure") << int(CloudNetworkFailure) << true;
        QTest::newRow("service answered 5xx") << int(CloudServerRejectedRequest) << true;
        QTest::newRow("not allowed") << int(CloudPermissionFailure) << false;
    }
    void failuresAreRetriedLater()
    {
        QFETCH(int, code);
        QFETCH(bool, retried);
        ManualScheduler scheduler;
        ScopedScheduler scoped(&scheduler);
        const QString id = m_owner->store->createCollection(QStringLiteral("Moodboard"));
        QVERIFY(!m_owner->share(id).isEmpty());
        QStringList ids = m_owner->addImages(3, {id});
        m_service->failNextModifies(3, code);
        m_owner->pushAll();
        QCOMPARE(serverItems(id), QStringList());
        const auto advance = [&](double seconds) {
            scheduler.advance(seconds);
            m_owner->settle();
            QCoreApplication::processEvents();
            m_owner->settle();
        };
        // First again after 2 s, then after 4 s and 8 s more.
        int calls = m_service->modifyCalls();
        advance(1.9);
        QCOMPARE(m_service->modifyCalls(), calls);
        advance(0.2);
        if (!retried) {
            advance(600);
            QCOMPARE(m_service->modifyCalls(), calls);
            QCOMPARE(serverItems(id), QStringList());
            return;
        }
        QTRY_VERIFY(m_service->modifyCalls() > calls);
        calls = m_service->modifyCalls();
        advance(3.8);
        QCOMPARE(m_service->modifyCalls(), calls);
        advance(0.3);
        QTRY_VERIFY(m_service->modifyCalls() > calls);
        advance(8.1);
        ids.sort();
        QTRY_COMPARE(serverItems(id), ids);
        // Through: no more tries.
        calls = m_service->modifyCalls();
        advance(600);
        QCOMPARE(m_service->modifyCalls(), calls);
    }

    // The service's event stream comes back after it was lost, and what
    // changed meanwhile is fetched: its return counts as a change.
    void lostEventStreamComesBackAndSyncs()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QList<QTcpSocket *> connections;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                connections.append(socket);
                connect(socket, &QTcpSocket::readyRead, socket, [socket, &connections] {
                    socket->readAll();
                    if (connections.size() == 1) {
                        // The service is going away.
                        socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                        socket->disconnectFromHost();
                    } else {
                        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\n");
                        socket->flush();
                    }
                });
            }
        });
        HttpCloudContainer container(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort())),
                                     QStringLiteral("token"));
        QSignalSpy changes(&container, &CloudContainer::remoteChange);
        container.listenForChanges();
        QTRY_COMPARE_WITH_TIMEOUT(connections.size(), 2, 10000);
        QTRY_COMPARE(changes.count(), 1);
        connections.last()->write("event: changed\ndata: {}\n\n");
        QTRY_COMPARE(changes.count(), 2);
    }

    void syncNeedsBundleIdentifier()
    {
        QString id;
        const QString url = sharedCollection(1, &id);
        QVERIFY(m_friend->acceptURL(url));
        QVERIFY(m_friend->sharing->subscribed());
        setBundleIdentifier(QString());
        // The push announces itself to the participant, whose sync then does nothing either.
        m_owner->addImages(1, {id});
        m_owner->pushAll();
        m_friend->sync();
        QCOMPARE(m_friend->memberIds(id).size(), 1);
        setBundleIdentifier(QString::fromLatin1(kVelloraBundleIdentifier));
        m_friend->sync();
        QCOMPARE(m_friend->memberIds(id).size(), 2);
    }
};

QTEST_GUILESS_MAIN(SharingEngineTest)
#include "tst_sharingengine.moc"
