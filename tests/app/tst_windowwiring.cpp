// The parts the running window hands its work to, driven through the real
// main window: the banner of a library that could not be read, the desktop's
// reduce-motion setting, tiles that wait for their files.
#include "WindowFixture.h"

#include "enrichment/Search.h"
#include "enrichment/StoreDrops.h"
#include "library/LibraryFileAccess.h"
#include "platform/FileCoordination.h"
#include "platform/MotionPreference.h"
#include "platform/Termination.h"
#include "sharing/CloudStatus.h"
#include "views/GridScreen.h"
#include "views/HeaderBar.h"
#include "views/LoadErrorBanner.h"
#include "views/PageTitle.h"
#include "views/Sidebar.h"

#include "ZezevavEri/Layer.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>

#include <csignal>

using namespace vellora;
using namespace vellora::apptest;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// library.json as it is now; nothing while it is missing or does not decode.
LibraryFile onDisk(const QString &path)
{
    try {
        return LibraryFile::decode(readFile(path));
    } catch (const std::exception &) {
        return {};
    }
}

std::optional<zezevaveri::ScatterItem> tile(MainWindow &window, const QString &id)
{
    for (const zezevaveri::ScatterItem &item : window.grid()->engine().items())
        if (item.id == id)
            return item;
    return std::nullopt;
}

// The window over a library folder whose library.json is the given text.
struct DamagedFixture {
    QTemporaryDir dir;
    std::unique_ptr<Defaults> settings;
    std::unique_ptr<LibraryStore> store;
    zezevaveri::ScatterGridController grid;
    std::unique_ptr<AppState> state;
    std::unique_ptr<MainWindow> window;

    QString root() const { return dir.filePath("library"); }

    // The library as it was before the damage: one collection, one picture.
    LibraryFile goodLibrary() const
    {
        LibraryFile good;
        good.collections = {{"OLD", "Moodboard", 1.0, {}, {}, {}}};
        good.items = {picture("P", "OLD", 1, root())};
        return good;
    }

    QStringList collectionIds() const
    {
        QStringList ids;
        for (const Board &board : store->collections())
            ids << board.id;
        return ids;
    }

    QStringList kept() const
    {
        return QDir(root() + "/backups").entryList({"unsaved-*.json"}, QDir::Files);
    }

    // A collection made with the menu's key while the library is not loaded.
    QString makeCollection()
    {
        const qsizetype before = store->collections().size();
        QTest::keyClick(window.get(), Qt::Key_N, Qt::ControlModifier);
        if (store->collections().size() != before + 1)
            return {};
        return store->collections().last().id;
    }

    void close()
    {
        window.reset();
        state.reset();
        store.reset();
    }

    void open(const QByteArray &libraryJson)
    {
        QVERIFY(writeFile(root() + "/library.json", libraryJson));
        settings = std::make_unique<Defaults>(dir.filePath("settings.conf"));
        store = std::make_unique<LibraryStore>(root(), false, *settings);
        state = std::make_unique<AppState>(*store, *settings, grid);
        state->setHooks(windowHooks(nullptr));
        window = std::make_unique<MainWindow>(*state);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
};

} // namespace

class WindowWiringTest : public QObject {
    Q_OBJECT

private slots:
    void damagedLibraryShowsTheBannerAndKeepsEditsUntilRestored()
    {
        DamagedFixture f;
        const QByteArray damaged = R"({"collections": [ {"id": "x")";
        // A backup from before the damage, as a save leaves one.
        LibraryFile good;
        good.collections = {{"OLD", "Moodboard", 1.0, {}, {}, {}}};
        good.items = {picture("P", "OLD", 1, f.root())};
        QVERIFY(writeLibraryBackup(good.encode(), f.root(), "library"));
        f.open(damaged);
        QVERIFY(!f.store->loadError().isEmpty());

        LoadErrorBanner *banner = f.window->loadErrorBanner();
        QVERIFY(banner);
        QTRY_VERIFY(banner->isVisible());
        QVERIFY(banner->message().startsWith("Vellora could not open its library: "));
        // Over the page, in a band of its own above the grid.
        const QRect grid = f.window->gridScreen()->geometry();
        QVERIFY(banner->geometry().left() < grid.right() && banner->geometry().right() > grid.left());
        QVERIFY(banner->geometry().bottom() < grid.top());
        // Not "Loading library…" for good: the count stands.
        QTRY_COMPARE(f.window->pageTitle()->count(), std::optional<int>(0));

        // A collection made now, with the menu's key.
        QTest::keyClick(f.window.get(), Qt::Key_N, Qt::ControlModifier);
        QTRY_COMPARE(f.store->collections().size(), qsizetype(1));
        const QString made = f.store->collections().first().id;
        QTest::qWait(700); // past the debounced save, which is refused
        QCOMPARE(readFile(f.root() + "/library.json"), damaged);

        // Restore Backup… and its newest entry.
        QTRY_COMPARE(banner->backups().size(), qsizetype(1));
        QTest::mouseClick(banner->restoreButton(), Qt::LeftButton);
        QTRY_VERIFY(qobject_cast<QMenu *>(QApplication::activePopupWidget()));
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QCOMPARE(menu->actions().size(), 1);
        menu->actions().first()->trigger();

        QTRY_VERIFY(f.store->loaded());
        QTRY_VERIFY(!banner->isVisible());
        // The band goes with it: the grid starts at the top again.
        QTRY_COMPARE(f.window->gridScreen()->geometry().top(), 0);
        QStringList ids;
        for (const Board &board : f.store->collections())
            ids << board.id;
        QCOMPARE(ids, (QStringList{"OLD", made}));
        QVERIFY(f.store->item("P"));
        // And both are on disk soon.
        QTRY_VERIFY_WITH_TIMEOUT(LibraryFile::decode(readFile(f.root() + "/library.json")).collections.size() == 2, 5000);
        const LibraryFile saved = LibraryFile::decode(readFile(f.root() + "/library.json"));
        QCOMPARE(saved.collections.last().id, made);
        QCOMPARE(saved.items.size(), qsizetype(1));
    }

    // The banner of a damaged library takes a band of its own: the page's
    // heading lies wholly below it, and "Restore Backup…" is inside the
    // window, at the size a first start opens at and at the smallest one.
    void damagedLibraryBannerTakesItsOwnBand_data()
    {
        QTest::addColumn<QSize>("size"); // invalid: as the window opens
        QTest::newRow("first size") << QSize();
        QTest::newRow("smallest") << QSize(700, 450);
    }

    void damagedLibraryBannerTakesItsOwnBand()
    {
        QFETCH(QSize, size);
        DamagedFixture f;
        f.open(R"({"collections": [ {"id": "x"  )");
        MainWindow *window = f.window.get();
        if (size.isValid())
            window->setContentSize(size);
        else // the first size fits the screen's free area, frame and all
            QVERIFY(window->screen()->availableGeometry().contains(window->frameGeometry()));
        LoadErrorBanner *banner = window->loadErrorBanner();
        QTRY_VERIFY(banner->isVisible());
        PageTitle *title = window->pageTitle();
        QTRY_VERIFY(title->isVisible());
        QTRY_COMPARE(title->count(), std::optional<int>(0));
        auto inWindow = [window](const QWidget *widget) {
            return QRect(widget->mapTo(window, QPoint(0, 0)), widget->size());
        };
        // Once the grid has laid out for the band, nothing of the heading
        // is under the banner.
        QTRY_VERIFY(inWindow(title).top() > inWindow(banner).bottom());
        QVERIFY(window->rect().contains(inWindow(title).topLeft()));
        for (const QLabel *label : title->findChildren<QLabel *>())
            QVERIFY(!inWindow(label).intersects(inWindow(banner)));
        QPushButton *restore = banner->restoreButton();
        QVERIFY(restore->isVisible());
        QVERIFY2(window->rect().contains(inWindow(restore)),
                 qPrintable(QString("button at x %1..%2, window %3 wide")
                                .arg(inWindow(restore).left()).arg(inWindow(restore).right()).arg(window->width())));
        QVERIFY(inWindow(banner).contains(inWindow(restore)));
    }

    // Another program, or the user in an editor, puts library.json right
    // while the window shows the banner: the window reads it, and what was
    // made meanwhile is added to it and saved.
    void damagedLibraryIsReadAgainOnceRepaired_data()
    {
        QTest::addColumn<QString>("repair");
        QTest::newRow("replaced by another program") << "rename";
        QTest::newRow("rewritten in place") << "in place";
        QTest::newRow("removed") << "remove";
    }

    void damagedLibraryIsReadAgainOnceRepaired()
    {
        QFETCH(QString, repair);
        DamagedFixture f;
        const QByteArray damaged = R"({"collections": [ {"id": "x")";
        f.open(damaged);
        LoadErrorBanner *banner = f.window->loadErrorBanner();
        QTRY_VERIFY(banner->isVisible());
        const QString made = f.makeCollection();
        QVERIFY(!made.isEmpty());
        QTest::qWait(700); // past the debounced save, which is refused
        QCOMPARE(readFile(f.root() + "/library.json"), damaged);

        const QString path = f.root() + "/library.json";
        const QByteArray good = f.goodLibrary().encode();
        if (repair == "rename")
            coordinatedWrite(path, good);
        else if (repair == "in place")
            QVERIFY(writeFile(path, good));
        else
            QVERIFY(QFile::remove(path));

        QTRY_VERIFY(f.store->loaded());
        QTRY_VERIFY(!banner->isVisible());
        QVERIFY(f.store->loadError().isEmpty());
        QTRY_COMPARE(f.window->gridScreen()->geometry().top(), 0);
        const QStringList ids = f.collectionIds();
        QCOMPARE(ids.size(), qsizetype(2));
        QCOMPARE(ids.last(), made);
        if (repair == "remove") {
            // A new library: its Inbox stays the first collection.
            QCOMPARE(f.store->collections().first().name, QString("Inbox"));
        } else {
            QCOMPARE(ids.first(), QString("OLD"));
            QVERIFY(f.store->item("P"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(onDisk(path).collections.size() == 2, 5000);
        QCOMPARE(onDisk(path).collections.last().id, made);
    }

    // Pictures handed to the window (Open With, a second start) while its
    // library could not be read are added once it loads, also when the
    // program quits before that: they wait in the drops folder, under their
    // own names.
    void filesHandedToADamagedLibraryWaitUntilItLoads_data()
    {
        QTest::addColumn<bool>("quitFirst");
        QTest::newRow("repaired while open") << false;
        QTest::newRow("quit, repaired, opened again") << true;
    }

    void filesHandedToADamagedLibraryWaitUntilItLoads()
    {
        QFETCH(bool, quitFirst);
        DamagedFixture f;
        QTemporaryDir pictures;
        QImage image(48, 32, QImage::Format_RGB32);
        image.fill(Qt::red);
        QVERIFY(image.save(pictures.filePath("a.png")));
        const QByteArray damaged = R"({"collections": [ {"id": "x")";
        f.open(damaged);
        QTRY_VERIFY(f.window->loadErrorBanner()->isVisible());
        f.state->openAddresses({QUrl::fromLocalFile(pictures.filePath("a.png")).toString()});
        const QString drops = dropsDirectory(*f.store);
        QTRY_COMPARE(QDir(drops).entryList(QDir::Files), QStringList{"a.png"});
        QVERIFY(f.store->items().isEmpty());
        QCOMPARE(readFile(f.root() + "/library.json"), damaged);

        if (quitFirst) {
            f.close();
            QVERIFY(QFile::remove(pictures.filePath("a.png")));
            f.open(f.goodLibrary().encode());
        } else {
            coordinatedWrite(f.root() + "/library.json", f.goodLibrary().encode());
        }
        QTRY_VERIFY(f.store->loaded());
        if (quitFirst) // the window's own trigger, as at every start
            startDropsScan(*f.store);
        auto imported = [&] {
            for (const Item &item : f.store->items())
                if (item.originalFilename == "a.png")
                    return item.collectionIds;
            return QStringList();
        };
        QTRY_COMPARE(imported(), QStringList{"OLD"});
        QTRY_VERIFY_WITH_TIMEOUT(onDisk(f.root() + "/library.json").items.size() == 2, 5000);
        QTRY_VERIFY(QDir(drops).entryList(QDir::Files).isEmpty());
    }

    // Quitting while the library could not be read, with a collection made
    // meanwhile: library.json stays as it is, the collection is kept in the
    // backups folder, and it is added and saved when the library next opens
    // (the file repaired before the next start, or a backup restored then).
    void quittingADamagedLibraryKeepsItsEdits_data()
    {
        QTest::addColumn<QString>("quit");
        QTest::addColumn<QString>("next");
        QTest::newRow("Ctrl+Q, repaired") << "ctrl+q" << "repaired";
        QTest::newRow("window closed, restored") << "close" << "restored";
        QTest::newRow("terminated, repaired") << "terminate" << "repaired";
    }

    void quittingADamagedLibraryKeepsItsEdits()
    {
        QFETCH(QString, quit);
        QFETCH(QString, next);
        DamagedFixture f;
        const QByteArray damaged = R"({"collections": [ {"id": "x")";
        QVERIFY(writeLibraryBackup(f.goodLibrary().encode(), f.root(), "library"));
        f.open(damaged);
        QTRY_VERIFY(f.window->loadErrorBanner()->isVisible());
        const QString made = f.makeCollection();
        QVERIFY(!made.isEmpty());

        if (quit == "terminate") {
            Termination::runHooksForTesting(SIGTERM);
        } else {
            MainWindow *window = f.window.get();
            QTimer::singleShot(0, window, [window, quit] {
                if (quit == "ctrl+q")
                    QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
                else
                    window->close();
            });
            // Should the quit not come, the test ends instead of waiting for good.
            QTimer::singleShot(20000, qApp, [] { QCoreApplication::exit(1); });
            QCOMPARE(QApplication::exec(), 0);
        }
        QCOMPARE(readFile(f.root() + "/library.json"), damaged);
        const QStringList kept = f.kept();
        QCOMPARE(kept.size(), qsizetype(1));
        const LibraryFile keptFile = onDisk(f.root() + "/backups/" + kept.first());
        QCOMPARE(keptFile.collections.size(), qsizetype(1));
        QCOMPARE(keptFile.collections.first().id, made);
        f.close();

        if (next == "repaired") {
            f.open(f.goodLibrary().encode());
        } else {
            f.open(damaged);
            LoadErrorBanner *banner = f.window->loadErrorBanner();
            QTRY_COMPARE(banner->backups().size(), qsizetype(1));
            banner->restoreBackup(banner->backups().first());
        }
        QTRY_VERIFY(f.store->loaded());
        QTRY_COMPARE(f.collectionIds(), (QStringList{"OLD", made}));
        QVERIFY(f.store->item("P"));
        // Nothing else of the library is undone by what was kept.
        QCOMPARE(f.store->smartFolders(), SmartFolder::defaults());
        QTRY_VERIFY_WITH_TIMEOUT(onDisk(f.root() + "/library.json").collections.size() == 2,
                                 5000);
        // Saved: the kept file goes, so a later start does not add it again.
        QTRY_VERIFY(f.kept().isEmpty());
    }

    void aRestoreThatFailsSaysWhy()
    {
        DamagedFixture f;
        QVERIFY(writeFile(f.root() + "/backups/library-2026-01-01T00-00-00.000Z.json", "not a library either"));
        f.open("{");
        LoadErrorBanner *banner = f.window->loadErrorBanner();
        QTRY_COMPARE(banner->backups().size(), qsizetype(1));
        banner->restoreBackup(banner->backups().first());
        QTRY_VERIFY(banner->message().contains("The restore failed: The backup is damaged too."));
        QVERIFY(banner->isVisible());
        QVERIFY(!f.store->loaded());
    }

    void openFollowsTheDesktopsMotionSetting_data()
    {
        QTest::addColumn<QByteArray>("settingsIni");
        QTest::addColumn<bool>("reduce");
        QTest::newRow("animations off") << QByteArray("[Settings]\ngtk-enable-animations=false\n") << true;
        QTest::newRow("animations on") << QByteArray("[Settings]\ngtk-enable-animations=true\n") << false;
    }

    void openFollowsTheDesktopsMotionSetting()
    {
        QFETCH(QByteArray, settingsIni);
        QFETCH(bool, reduce);
        QTemporaryDir config;
        QVERIFY(writeFile(config.filePath("gtk-3.0/settings.ini"), settingsIni));
        const QByteArray before = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        WindowFixture f;
        qputenv("XDG_CONFIG_HOME", before);
        f.state->setSelection("all");
        f.show();
        QCOMPARE(f.window->grid()->reduceMotion(), reduce);
        QCOMPARE(f.window->sidebar()->reduceMotion(), reduce);
        zezevaveri::GridEngine &engine = f.window->grid()->engine();
        QTRY_COMPARE(engine.frames().size(), size_t(4));

        f.grid.open("C");
        QTRY_VERIFY(engine.opened());
        const zezevaveri::LayerPtr opened = engine.opened();
        // Without motion the tile is on the stage at once; with it, a spring carries it there.
        QCOMPARE(opened->animation(zezevaveri::keys::position) == nullptr, reduce);
        QCOMPARE(opened->presentationFrame(engine.clock().now()) == engine.stageRectFor(engine.indexOf("C")), reduce);

        // The setting changed on the desktop while the window is open.
        emit f.window->motionPreference()->changed(!reduce);
        QCOMPARE(f.window->grid()->reduceMotion(), !reduce);
        QCOMPARE(f.window->sidebar()->reduceMotion(), !reduce);
    }

    void tilesWaitingForTheirFilesShowAsLoading_data()
    {
        QTest::addColumn<bool>("removeThumbnail");
        QTest::newRow("marked waiting") << false;
        QTest::newRow("thumbnail not here") << true;
    }

    void tilesWaitingForTheirFilesShowAsLoading()
    {
        QFETCH(bool, removeThumbnail);
        WindowFixture f;
        const QString id = removeThumbnail ? "B" : "A";
        if (removeThumbnail)
            QVERIFY(QFile::remove(f.store->root() + "/thumbnails/B.jpg"));
        f.state->setSelection("all");
        f.show();
        QTRY_VERIFY(tile(*f.window, id));
        if (!removeThumbnail) {
            QVERIFY(!tile(*f.window, id)->loading);
            CloudStatus::shared().markWaiting(id);
        }
        QTRY_VERIFY(CloudStatus::shared().isWaiting(id));
        QTRY_VERIFY(tile(*f.window, id)->loading);
        QVERIFY(!tile(*f.window, "D")->loading);
        // Marked for a while, then the grid asks again.
        QTRY_VERIFY_WITH_TIMEOUT(!CloudStatus::shared().isWaiting(id), 4000);
        if (!removeThumbnail)
            QTRY_VERIFY(!tile(*f.window, id)->loading);
    }

    // The desktop's search hands its words to the window's own search.
    void desktopSearchOpensTheSearchFieldWithItsWords()
    {
        WindowFixture f;
        f.state->setSelection("all");
        f.show();
        QVERIFY(!f.window->headerBar()->searching());
        f.state->openAddresses({"vellora://search?q=zephyr%20%20report"});
        QTRY_VERIFY(f.window->headerBar()->searching());
        QTRY_COMPARE(f.window->headerBar()->searchField()->text(), QString("zephyr report"));
        QTRY_VERIFY(f.window->headerBar()->searchField()->hasFocus());
        QCOMPARE(f.state->search().query(), QString("zephyr report"));
    }

    // Whatever takes the shown collection or smart folder away, the window
    // goes to the Inbox rather than show a section that is no more.
    void shownSectionThatDisappearsGivesWayToTheInbox_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("route");
        QTest::newRow("collection deleted") << "B2" << "delete";
        QTest::newRow("collection gone in a reload") << "B2" << "replace";
        QTest::newRow("smart folder deleted") << "S1" << "deleteSmart";
        QTest::newRow("another collection goes") << "B1" << "replace-other";
    }

    void shownSectionThatDisappearsGivesWayToTheInbox()
    {
        QFETCH(QString, section);
        QFETCH(QString, route);
        WindowFixture f;
        f.state->setSelection(section);
        f.show();
        QTRY_COMPARE(f.window->sidebar()->selection(), section);
        if (route == "delete") {
            f.store->deleteCollection(section);
        } else if (route == "deleteSmart") {
            f.store->deleteSmartFolder(section);
        } else {
            QList<Board> kept;
            for (const Board &board : f.store->collections())
                if (board.id != (route == "replace" ? "B2" : "NONE"))
                    kept << board;
            kept << Board{"B3", "From elsewhere", 3.0, {}, {}, {}};
            f.store->replaceCollections(kept);
        }
        const QString expected = route == "replace-other" ? section : QString("inbox");
        QTRY_COMPARE(f.state->selection(), expected);
        QTRY_COMPARE(f.window->sidebar()->selection(), expected);
        QTRY_COMPARE(f.window->gridScreen()->collectionId(), expected);
    }
};

QTEST_MAIN(WindowWiringTest)
#include "tst_windowwiring.moc"
