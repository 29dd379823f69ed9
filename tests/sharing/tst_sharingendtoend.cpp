// Two libraries on one machine sharing a collection through a real
// vellora-cloud on a PostgreSQL cluster of the test's own, and the program's
// "--share" mode against the same service.

#include "../app/CommandLineFixture.h"
#include "LoopbackHttpServer.h"
#include "CloudServiceFixture.h"
#include "SharingFixtures.h"

#include "sharing/HttpCloud.h"

#include "enrichment/LinkPipeline.h"
#include "library/LibraryFile.h"
#include "platform/Bundle.h"

#include <QtTest>

using namespace vellora;
using namespace sharingtest;

class SharingEndToEndTest : public QObject {
    Q_OBJECT

    CloudFixture m_cloud;
    int m_users = 0;

    // A user of the service and a library that acts as them.
    std::unique_ptr<Library> libraryOf(const QString &user, QString *token = nullptr)
    {
        const QString made = m_cloud.service.addUser(user);
        if (token)
            *token = made;
        const QUrl url = m_cloud.service.url();
        return std::make_unique<Library>([url, made](QObject *parent) -> CloudContainer * {
            return new HttpCloudContainer(url, made, parent);
        });
    }
    QString uniqueUser(const char *stem) { return QString::fromLatin1(stem) + QString::number(++m_users); }


private slots:
    void initTestCase()
    {
        setBundleIdentifier(QString::fromLatin1(kVelloraBundleIdentifier));
        QString error;
        QVERIFY2(m_cloud.start(&error), qPrintable(error));
    }
    void cleanupTestCase() { m_cloud.stop(); }

    void twoLibrariesShareACollection()
    {
        const QString ownerName = uniqueUser("owner");
        const QString friendName = uniqueUser("friend");
        auto owner = libraryOf(ownerName);
        auto other = libraryOf(friendName);

        const QString id = owner->store->createCollection(QStringLiteral("Moodboard"));
        QStringList ids = owner->addImages(41, {id});
        const QString url = owner->share(id);
        QVERIFY2(url.startsWith(m_cloud.service.url().toString() + QStringLiteral("/share/")), qPrintable(url));
        QVERIFY(owner->invite(id, friendName));

        // The participant receives every item with its thumbnail and original.
        QVERIFY(other->acceptURL(url));
        ids.sort();
        QCOMPARE(other->memberIds(id), ids);
        for (const QString &itemId : ids) {
            const Item theirs = *other->store->item(itemId);
            const Item mine = *owner->store->item(itemId);
            QCOMPARE(theirs.contentHash, mine.contentHash);
            QCOMPARE(readFile(other->root() + QStringLiteral("/originals/") + theirs.storedFilename),
                     readFile(owner->root() + QStringLiteral("/originals/") + mine.storedFilename));
            QCOMPARE(readFile(other->root() + QStringLiteral("/thumbnails/") + theirs.thumbnailFilename),
                     readFile(owner->root() + QStringLiteral("/thumbnails/") + mine.thumbnailFilename));
        }
        QCOMPARE(other->store->collection(id)->zoneOwner, ownerName);

        // Each side adds, removes and renames; after a sync both agree.
        owner->addImages(2, {id});
        owner->store->setCollections({owner->store->defaultBoardId()}, ids.at(0));
        owner->store->save();
        const QString own = other->store->createCollection(QStringLiteral("Mine"));
        other->addImages(1, {id});
        other->store->setCollections({own}, ids.at(1));
        other->store->renameCollection(id, QStringLiteral("Moodboard, together"));
        other->store->save();
        owner->pushAll();
        other->pushAll();
        owner->sync();
        other->sync();
        owner->sync();
        QCOMPARE(owner->memberIds(id), other->memberIds(id));
        QCOMPARE(owner->memberIds(id).size(), 41 + 2 + 1 - 2);
        QCOMPARE(owner->store->collection(id)->name, QStringLiteral("Moodboard, together"));
        // What the owner took out went to the participant's trash, not away.
        QVERIFY(other->store->item(ids.at(0))->trashedAt);
        QCOMPARE(other->store->collection(id)->name, QStringLiteral("Moodboard, together"));

        // The owner stops sharing: the participant keeps a local collection with everything.
        const QList<Item> before = other->store->items();
        const QStringList members = other->memberIds(id);
        QVERIFY(owner->stop(id));
        other->sync();
        const Board board = *other->store->collection(id);
        QVERIFY(!board.zone);
        QVERIFY(!board.zoneOwner);
        QCOMPARE(other->memberIds(id), members);
        QCOMPARE(other->store->items().size(), before.size());
        for (const Item &item : before) {
            const auto now = other->store->item(item.id);
            QVERIFY(now);
            QCOMPARE(now->trashedAt, item.trashedAt);
            QCOMPARE(now->collectionIds, item.collectionIds);
        }
    }

    // What a stranger can try with a share, each on its own row: the
    // invitation's collection standing in for a section or for a collection
    // of the invitee's, and a link whose address points into the invitee's
    // own machine or network.
    void hostileShares_data()
    {
        QTest::addColumn<QString>("attack");
        QTest::addColumn<QString>("address");
        QTest::newRow("root named after the Inbox section") << "root" << "inbox";
        QTest::newRow("root named after a collection of the invitee") << "root" << "";
        QTest::newRow("link address from a share: loopback") << "link" << "";
        QTest::newRow("link address from a share: link-local") << "link" << "http://169.254.169.254/latest/meta-data/";
        QTest::newRow("link address from a share: private range") << "link" << "http://192.168.1.1/admin";
        QTest::newRow("link address from a share: a name under localhost") << "link" << "http://router.localhost:8080/";
    }
    void hostileShares()
    {
        QFETCH(QString, attack);
        QFETCH(QString, address);
        const QString strangerName = uniqueUser("stranger");
        const QString victimName = uniqueUser("victim");
        auto stranger = libraryOf(strangerName);
        auto victim = libraryOf(victimName);
        const QString mine = victim->store->createCollection(QStringLiteral("Mine"));
        const QString picture = victim->addImage({mine});

        if (attack == QLatin1String("root")) {
            Board hostile;
            hostile.id = address.isEmpty() ? mine : address;
            hostile.name = QStringLiteral("Free pictures");
            QList<Board> boards = stranger->store->collections();
            boards.append(hostile);
            stranger->store->replaceCollections(boards);
            stranger->addImage({hostile.id});
            const QString url = stranger->share(hostile.id);
            QVERIFY(stranger->invite(hostile.id, victimName));
            QVERIFY(!victim->acceptURL(url));
            for (const Board &board : victim->store->collections())
                QVERIFY2(!board.zone, qPrintable(board.id));
            QVERIFY(!victim->store->collection(QStringLiteral("inbox")));
            // What the victim then adds stays the victim's.
            victim->addImages(1, {mine});
            victim->pushAll();
            victim->sync();
            stranger->sync();
            QCOMPARE(stranger->memberIds(hostile.id).size(), 1);
            QCOMPARE(victim->store->items().size(), 2);
            QVERIFY(victim->store->item(picture));
            return;
        }

        LoopbackHttpServer local;
        QVERIFY(local.listen());
        local.page("/", "<html><head><title>Router admin</title></head></html>");
        const QString target = address.isEmpty() ? local.url(QStringLiteral("/")) : address;
        const QString id = stranger->store->createCollection(QStringLiteral("Links"));
        Item link;
        link.id = newUUIDString();
        link.kind = QStringLiteral("link");
        link.originalFilename = QStringLiteral("link");
        link.storedFilename = link.id + QStringLiteral(".png");
        link.thumbnailFilename = link.id + QStringLiteral(".jpg");
        link.contentHash = QStringLiteral("link:") + target;
        link.sourceURL = target;
        link.title = QStringLiteral("Nice chairs");
        link.snapshotDate = 800000000.0;
        link.dateAdded = 800000000.0;
        link.collectionIds = {id};
        writeFile(stranger->root() + QStringLiteral("/thumbnails/") + link.thumbnailFilename, "thumbnail");
        stranger->store->appendItems({link});
        stranger->store->save();
        const QString url = stranger->share(id);
        QVERIFY(stranger->invite(id, victimName));
        QVERIFY(victim->acceptURL(url));
        const auto received = victim->store->item(link.id);
        QVERIFY(received);
        QCOMPARE(received->sourceURL, std::optional<QString>(target));

        // The road after a load leaves it alone; so does the user's own refresh.
        bool refreshed = false;
        refreshLinkMetadata(*victim->store, [&] { refreshed = true; });
        QTRY_VERIFY(refreshed);
        bool fetched = false;
        fetchLinkMetadata(*victim->store, link.id, [&] { fetched = true; });
        QTRY_VERIFY(fetched);
        QCOMPARE(local.hits("/"), 0);
        const Item kept = *victim->store->item(link.id);
        QCOMPARE(kept.title, std::optional<QString>(QStringLiteral("Nice chairs")));
        QCOMPARE(kept.snapshotDate, std::optional<double>(800000000.0));
        QVERIFY(!kept.pageText);
        QCOMPARE(readFile(victim->root() + QStringLiteral("/thumbnails/") + kept.thumbnailFilename),
                 QByteArray("thumbnail"));
    }

    void shareMode()
    {
        QString token;
        const QString user = uniqueUser("cli");
        auto library = libraryOf(user, &token);
        ProgramFixture program;
        // The program's library: one collection of three pictures.
        {
            LibraryStore store(program.root(), false, *library->settings);
            const QString id = store.createCollection(QStringLiteral("Moodboard"));
            for (int i = 0; i < 3; ++i) {
                const QString itemId = newUUIDString();
                writeFile(program.root() + QStringLiteral("/originals/") + itemId + QStringLiteral(".png"), "px" + itemId.toLatin1());
                Item item;
                item.id = itemId;
                item.kind = QStringLiteral("image");
                item.originalFilename = itemId + QStringLiteral(".png");
                item.storedFilename = itemId + QStringLiteral(".png");
                item.thumbnailFilename = itemId + QStringLiteral(".jpg");
                item.contentHash = QString(64, QLatin1Char('0'));
                item.collectionIds = {id};
                store.appendItems({item});
            }
            QVERIFY(store.save());
        }
        const QStringList service = {QStringLiteral("-sharingServerURL"), m_cloud.service.url().toString(),
                                     QStringLiteral("-sharingToken"), token};

        ProgramRun run = program.run(QStringList{QStringLiteral("--share"), QStringLiteral("moodboard")} + service);
        QVERIFY2(!run.crashed, qPrintable(run.err));
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QStringLiteral("no collection named moodboard\n"));

        run = program.run(QStringList{QStringLiteral("--share"), QStringLiteral("Moodboard")} + service);
        QVERIFY2(!run.crashed, qPrintable(run.err));
        QCOMPARE(run.status, 0);
        const QString url = run.out.trimmed();
        QVERIFY2(url.startsWith(m_cloud.service.url().toString() + QStringLiteral("/share/")), qPrintable(run.out + run.err));
        const LibraryFile file = LibraryFile::decode(readFile(program.root() + QStringLiteral("/library.json")));
        std::optional<Board> shared;
        for (const Board &board : file.collections)
            if (board.name == QLatin1String("Moodboard"))
                shared = board;
        QVERIFY(shared && shared->zone);
        // The uploads ended before the program did.
        QString friendToken;
        const QString friendName = uniqueUser("reader");
        auto reader = libraryOf(friendName, &friendToken);
        bool invited = false;
        {
            LibraryStore ownerStore(program.root(), false, *library->settings);
            CollectionSharing ownerSharing(ownerStore, *library->settings, [&](QObject *parent) -> CloudContainer * {
                return new HttpCloudContainer(m_cloud.service.url(), token, parent);
            });
            ownerSharing.fetchShare(shared->id, [&](CloudResult<CloudRecord> found) {
                QVERIFY(!isError(found));
                CloudRecord share = std::get<CloudRecord>(found);
                share.setParticipants({CloudParticipant{friendName, QStringLiteral("readOnly"), false}});
                ownerSharing.saveShare(shared->id, share, [&](CloudResult<CloudRecord> saved) { invited = !isError(saved); });
            });
            QTRY_VERIFY_WITH_TIMEOUT(invited, 20000);
        }
        QVERIFY(reader->acceptURL(url));
        QCOMPARE(reader->memberIds(shared->id).size(), 3);

        // Shared already: the same URL again.
        run = program.run(QStringList{QStringLiteral("--share"), QStringLiteral("Moodboard")} + service);
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out.trimmed(), url);

        // A service that cannot be reached: the failure is the line, status 0.
        ProgramFixture fresh;
        {
            LibraryStore store(fresh.root(), false, *library->settings);
            store.createCollection(QStringLiteral("Moodboard"));
            QVERIFY(store.save());
        }
        run = fresh.run({QStringLiteral("--share"), QStringLiteral("Moodboard"), QStringLiteral("-sharingServerURL"),
                         QStringLiteral("http://127.0.0.1:1"), QStringLiteral("-sharingToken"), QStringLiteral("t")});
        QVERIFY2(!run.crashed, qPrintable(run.err));
        QCOMPARE(run.status, 0);
        QVERIFY2(run.out.startsWith(QStringLiteral("share failed: CloudError(code: 4")), qPrintable(run.out));
    }
};

QTEST_GUILESS_MAIN(SharingEndToEndTest)
#include "tst_sharingendtoend.moc"
