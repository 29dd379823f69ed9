#include "SeamGuard.h"
#include "VirtualTime.h"

#include "library/LibraryStore.h"
#include "library/Services.h"

#include "platform/Clock.h"
#include "platform/Scheduler.h"

#include "StoreFixtures.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace vellora;
using namespace storetest;

class TestLibraryStoreEdits : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<VirtualTime> m_time;
    std::optional<SeamGuard> m_seams;
    std::unique_ptr<LibraryStore> m_store;
    QStringList m_unindexed;

    QString root() const { return m_dir->path() + "/Library"; }

    // Three collections (DEF first) and items in every state the edits meet.
    void openLibrary()
    {
        QList<Item> items{item("ONLY_B", {"B"}), item("B_AND_C", {"B", "C"}), item("DEF_ITEM", {"DEF"}),
                          item("TRASHED", {})};
        items[3].trashedAt = 800000000.0;
        items[3].trashedFrom = QStringList{"B"};
        QVERIFY(writeFile(root() + "/library.json",
                          document({board("DEF", "Inbox"), board("B", "Boards"), board("C", "Colours")}, items)));
        m_store = std::make_unique<LibraryStore>(root(), false);
        QVERIFY(m_store->loaded());
        QVERIFY(!m_store->savePending());
    }

    Item get(const QString &id) const
    {
        const auto found = m_store->item(id);
        if (!found)
            qFatal("no item %s", qPrintable(id));
        return *found;
    }

    QStringList collectionIds() const
    {
        QStringList ids;
        for (const Board &b : m_store->collections())
            ids << b.id;
        return ids;
    }

private slots:
    void init()
    {
        m_seams.emplace();
        m_dir = std::make_unique<QTemporaryDir>();
        m_time = std::make_unique<VirtualTime>(810000000.0);
        m_unindexed.clear();
        LibraryServices::installed() = LibraryServices{};
        LibraryServices::installed().removeFromSpotlight = [this](LibraryStore &, const QStringList &ids) {
            m_unindexed << ids;
        };
        openLibrary();
    }

    void cleanup()
    {
        m_store.reset();
        m_time.reset();
        m_seams.reset();
    }

    void createAndRename()
    {
        const QString first = m_store->createCollection("Boards");
        const QString second = m_store->createCollection(" Boards ");
        QVERIFY(first != second);
        QCOMPARE(collectionIds(), QStringList({"DEF", "B", "C", first, second}));
        const Board made = *m_store->collection(second);
        QCOMPARE(made.name, QStringLiteral(" Boards "));
        QCOMPARE(made.dateCreated, 810000000.0);
        QVERIFY(made.groups.isEmpty());
        QVERIFY(!made.zone && !made.zoneOwner);
        QVERIFY(m_store->savePending());

        m_time->scheduler.advance(1);
        m_store->renameCollection("NOPE", "x");
        QVERIFY(!m_store->savePending());
        m_store->renameCollection("C", "Colour");
        QCOMPARE(m_store->collection("C")->name, QStringLiteral("Colour"));
        QVERIFY(m_store->savePending());
    }

    void deleteCollection()
    {
        m_store->deleteCollection("DEF");
        QCOMPARE(collectionIds(), QStringList({"DEF", "B", "C"}));
        QVERIFY(!m_store->savePending());

        m_store->deleteCollection("B");
        QCOMPARE(collectionIds(), QStringList({"DEF", "C"}));
        QCOMPARE(get("ONLY_B").collectionIds, QStringList{"DEF"});
        QCOMPARE(get("B_AND_C").collectionIds, QStringList{"C"});
        QCOMPARE(get("DEF_ITEM").collectionIds, QStringList{"DEF"});
        QCOMPARE(get("TRASHED").trashedFrom, std::optional<QStringList>(QStringList{"B"}));
        QVERIFY(get("TRASHED").collectionIds.isEmpty());
        QVERIFY(m_store->savePending());

        m_time->scheduler.advance(1);
        m_store->deleteCollection("NOPE");
        QVERIFY(m_store->savePending());
    }

    // A drop between two rows names the place in the list as it is before
    // the move; the default collection stays first whatever is dropped.
    void moveCollection_data()
    {
        QTest::addColumn<QString>("moved");
        QTest::addColumn<int>("index");
        QTest::addColumn<QStringList>("order");
        const QStringList unchanged{"DEF", "B", "C", "D"};
        QTest::newRow("down to a middle place: the list shrinks first") << "B" << 3 << QStringList{"DEF", "C", "B", "D"};
        QTest::newRow("down to the end") << "B" << 4 << QStringList{"DEF", "C", "D", "B"};
        QTest::newRow("beyond the end") << "C" << 99 << QStringList{"DEF", "B", "D", "C"};
        QTest::newRow("up") << "D" << 1 << QStringList{"DEF", "D", "B", "C"};
        QTest::newRow("in front of the default stays after it") << "D" << 0 << QStringList{"DEF", "D", "B", "C"};
        QTest::newRow("a negative place is the first after the default") << "C" << -3
                                                                         << QStringList{"DEF", "C", "B", "D"};
        QTest::newRow("onto its own place") << "C" << 2 << unchanged;
        QTest::newRow("just below itself") << "C" << 3 << unchanged;
        QTest::newRow("the default does not move") << "DEF" << 3 << unchanged;
        QTest::newRow("unknown id") << "NOPE" << 1 << unchanged;
    }

    void moveCollection()
    {
        QFETCH(QString, moved);
        QFETCH(int, index);
        QFETCH(QStringList, order);
        m_store->replaceCollections({board("DEF", "Inbox"), board("B", "Boards"), board("C", "Colours"),
                                     board("D", "Desks")});
        QVERIFY(!m_store->savePending());
        QSignalSpy published(m_store.get(), &LibraryStore::collectionsChanged);
        const bool moves = order != QStringList{"DEF", "B", "C", "D"};

        QCOMPARE(m_store->moveCollection(moved, index), moves);
        QCOMPARE(collectionIds(), order);
        QCOMPARE(m_store->defaultBoardId(), QStringLiteral("DEF"));
        QCOMPARE(published.size(), moves ? 1 : 0);
        QCOMPARE(m_store->savePending(), moves);
        // The records travel whole, names and all.
        const QHash<QString, QString> names{{"DEF", "Inbox"}, {"B", "Boards"}, {"C", "Colours"}, {"D", "Desks"}};
        for (const Board &b : m_store->collections())
            QCOMPARE(b.name, names.value(b.id));
    }

    void setCollections()
    {
        m_store->setCollections({}, "ONLY_B");
        QCOMPARE(get("ONLY_B").collectionIds, QStringList{"DEF"});
        m_store->setCollections({"C", "C", "GONE"}, "ONLY_B");
        QCOMPARE(get("ONLY_B").collectionIds, QStringList({"C", "C", "GONE"}));
        m_time->scheduler.advance(1);
        m_store->setCollections({"C"}, "NOPE");
        QVERIFY(!m_store->savePending());
    }

    void trashAndRestore()
    {
        m_store->trash({"B_AND_C", "NOPE"});
        const Item trashed = get("B_AND_C");
        QCOMPARE(trashed.trashedAt, std::optional<double>(810000000.0));
        QCOMPARE(trashed.trashedFrom, std::optional<QStringList>(QStringList({"B", "C"})));
        QVERIFY(trashed.collectionIds.isEmpty());
        QCOMPARE(m_unindexed, QStringList({"B_AND_C", "NOPE"}));
        QVERIFY(!m_store->activeItems().isEmpty());
        for (const Item &active : m_store->activeItems())
            QVERIFY(active.id != "B_AND_C" && active.id != "TRASHED");

        // A second trash keeps the first time and memberships.
        m_time->clock.advance(60);
        m_store->trash({"B_AND_C"});
        QCOMPARE(get("B_AND_C").trashedAt, std::optional<double>(810000000.0));
        QCOMPARE(get("B_AND_C").trashedFrom, std::optional<QStringList>(QStringList({"B", "C"})));

        m_store->deleteCollection("C");
        m_store->restore({"B_AND_C", "DEF_ITEM", "NOPE"});
        QCOMPARE(get("B_AND_C").collectionIds, QStringList{"B"});
        QVERIFY(!get("B_AND_C").trashedAt && !get("B_AND_C").trashedFrom);
        // Restoring an item that is not in the trash leaves it alone.
        QCOMPARE(get("DEF_ITEM").collectionIds, QStringList{"DEF"});

        m_store->deleteCollection("B");
        m_store->restore({"TRASHED"});
        QCOMPARE(get("TRASHED").collectionIds, QStringList{"DEF"});
        QVERIFY(m_store->savePending());
    }

    // Files of the item go, nothing outside the library folder is touched.
    void deletePermanently_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("favicon");
        QTest::addColumn<bool>("insideRemoved");
        QTest::newRow("own files") << "ONLY_B.png" << "ONLY_B.ico" << true;
        QTest::newRow("parent folder") << "../../outside.png" << "../../outside.png" << false;
        QTest::newRow("absolute") << (QDir::tempPath() + "/outside.png") << "/outside.png" << false;
        QTest::newRow("sub folder") << "a/b.png" << "a/b.png" << false;
        QTest::newRow("dot dot") << ".." << ".." << false;
    }

    void deletePermanently()
    {
        QFETCH(QString, stored);
        QFETCH(QString, favicon);
        QFETCH(bool, insideRemoved);
        const QString outside = m_dir->path() + "/outside.png";
        QVERIFY(writeFile(outside, "keep"));
        QVERIFY(writeFile(root() + "/originals/a/b.png", "keep"));
        for (const char *folder : {"originals", "thumbnails", "covers", "favicons"})
            QVERIFY(writeFile(root() + "/" + folder + "/ONLY_B." + (QString(folder) == "favicons" ? "ico" : QString(folder) == "originals" ? "png" : "jpg"), "x"));
        m_store->updateItem("ONLY_B", [&](Item &i) {
            i.storedFilename = stored;
            i.faviconFilename = favicon;
            if (!insideRemoved)
                i.thumbnailFilename = stored;
        });
        m_time->scheduler.advance(1);
        m_store->deletePermanently("ONLY_B");
        QVERIFY(!m_store->item("ONLY_B"));
        QCOMPARE(m_unindexed, QStringList{"ONLY_B"});
        QVERIFY(m_store->savePending());
        QCOMPARE(readFile(outside), QByteArray("keep"));
        QCOMPARE(readFile(root() + "/originals/a/b.png"), QByteArray("keep"));
        QCOMPARE(QFileInfo::exists(root() + "/originals/ONLY_B.png"), !insideRemoved);
        QCOMPARE(QFileInfo::exists(root() + "/favicons/ONLY_B.ico"), !insideRemoved);
        if (insideRemoved) {
            QVERIFY(!QFileInfo::exists(root() + "/thumbnails/ONLY_B.jpg"));
            QVERIFY(!QFileInfo::exists(root() + "/covers/ONLY_B.jpg"));
        }
    }

    void deletionThroughLinkedFolderStaysInside()
    {
        const QString elsewhere = m_dir->path() + "/elsewhere";
        QVERIFY(writeFile(elsewhere + "/DEF_ITEM.jpg", "keep"));
        QDir(root() + "/covers").removeRecursively();
        QVERIFY(QFile::link(elsewhere, root() + "/covers"));
        m_store->deletePermanently("DEF_ITEM");
        QVERIFY(!m_store->item("DEF_ITEM"));
        QCOMPARE(readFile(elsewhere + "/DEF_ITEM.jpg"), QByteArray("keep"));

        m_time->scheduler.advance(1);
        m_store->deletePermanently("NOPE");
        QVERIFY(!m_store->savePending());
    }

    void purgeTrash()
    {
        QList<Item> items = m_store->items();
        Item old = item("OLD", {});
        old.trashedAt = 810000000.0 - 30 * 86400.0 - 1;
        Item recent = item("RECENT", {});
        recent.trashedAt = 810000000.0 - 29 * 86400.0;
        Item exactly = item("EXACTLY", {});
        exactly.trashedAt = 810000000.0 - 30 * 86400.0;
        m_store->appendItems({old, recent, exactly});
        m_store->purgeTrash(30);
        QVERIFY(!m_store->item("OLD"));
        QVERIFY(!m_store->item("EXACTLY"));
        QVERIFY(!m_store->item("TRASHED"));
        QVERIFY(m_store->item("RECENT"));
        QVERIFY(m_store->item("ONLY_B"));
        QCOMPARE(m_unindexed, QStringList({"TRASHED", "OLD", "EXACTLY"}));
    }

    void markOpened()
    {
        m_store->markOpened("ONLY_B");
        QCOMPARE(get("ONLY_B").openCount, std::optional<qint64>(1));
        QCOMPARE(get("ONLY_B").lastOpenedAt, std::optional<double>(810000000.0));
        m_time->clock.advance(5);
        m_store->markOpened("ONLY_B");
        QCOMPARE(get("ONLY_B").openCount, std::optional<qint64>(2));
        QCOMPARE(get("ONLY_B").lastOpenedAt, std::optional<double>(810000005.0));
        m_time->scheduler.advance(1);
        m_store->markOpened("NOPE");
        QVERIFY(!m_store->savePending());
    }

    void smartFolders()
    {
        QList<SmartFolder> folders = m_store->smartFolders();
        QCOMPARE(folders.size(), 2);
        SmartFolder changed = folders.first();
        changed.name = "Renamed";
        m_store->saveSmartFolder(changed);
        QCOMPARE(m_store->smartFolders().first().name, QStringLiteral("Renamed"));
        QCOMPARE(m_store->smartFolders().size(), 2);
        SmartFolder added{"NEW", "Fresh", "any", {Rule::noTags()}};
        m_store->saveSmartFolder(added);
        QCOMPARE(m_store->smartFolders().size(), 3);
        QCOMPARE(m_store->smartFolders().last(), added);

        m_time->scheduler.advance(1);
        m_store->deleteSmartFolder(folders.first().id);
        QCOMPARE(m_store->smartFolders().size(), 2);
        QCOMPARE(m_store->smartFolders().first().id, folders.at(1).id);
        QVERIFY(m_store->savePending());
        m_time->scheduler.advance(1);
        m_store->deleteSmartFolder("NOPE");
        QVERIFY(m_store->savePending());

        // Everything edited reaches the file.
        m_time->scheduler.advance(1);
        m_store->waitForWrites();
        const LibraryFile written = LibraryFile::decode(readFile(root() + "/library.json"));
        QCOMPARE(written.smartFolders, std::optional<QList<SmartFolder>>(m_store->smartFolders()));
    }
};

QTEST_GUILESS_MAIN(TestLibraryStoreEdits)
#include "tst_librarystoreedits.moc"
