// The real main window, offscreen: its menus and keys, the views it composes
// and what it hands them.
#include "SeamGuard.h"

#include "app/AppState.h"
#include "app/MainWindow.h"
#include "app/Version.h"

#include "enrichment/Search.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "platform/Defaults.h"
#include "views/CollectionContents.h"
#include "views/GridScreen.h"
#include "views/HeaderBar.h"
#include "views/Inspector.h"
#include "views/PageTitle.h"
#include "views/Sidebar.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

#include "WindowFixture.h"

using namespace vellora;
using namespace vellora::apptest;

namespace {

// Gives back every text it is asked for in marks, as a translation would
// give other words.
class MarkingTranslator : public QTranslator {
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *, const char *source, const char *, int) const override
    {
        return QStringLiteral("«") + QString::fromUtf8(source) + QStringLiteral("»");
    }
};

QStringList ids(const QList<Item> &items)
{
    QStringList out;
    for (const Item &i : items)
        out << i.id;
    return out;
}

QString writePng(const QString &folder, const QString &name, const QColor &colour)
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(colour);
    const QString path = folder + "/" + name;
    image.save(path, "PNG");
    return path;
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT
    std::optional<SeamGuard> m_seams;

private slots:
    void init() { m_seams.emplace(); }
    void cleanup() { m_seams.reset(); }

    void composesTheViewsAndLooksRight()
    {
        WindowFixture f;
        f.state->setSelection("all");
        f.state->setInspectorVisible(true);
        f.show();
        QTRY_COMPARE(ids(f.window->gridScreen()->visibleItems()), (QStringList{"D", "C", "B", "A"}));
        QCOMPARE(f.window->pageTitle()->title(), QString("All"));
        QCOMPARE(f.window->pageTitle()->count(), std::optional<int>(4));
        QVERIFY(f.window->inspector()->isVisible());
        QCOMPARE(f.window->inspector()->width(), 302);
        QCOMPARE(f.window->inspector()->title(), QString("All"));
        QVERIFY(f.window->sidebar()->isVisible());
        QVERIFY(f.window->headerBar()->isVisible());
        QCOMPARE(f.window->grid(), f.grid.grid());
        QTest::qWait(200);
        const QImage shot = f.window->grab().toImage();
        QVERIFY(shot.save(QCoreApplication::applicationDirPath() + "/window.png"));

        // A section switch reaches every view.
        f.state->setSelection("B2");
        QTRY_COMPARE(ids(f.window->gridScreen()->visibleItems()), (QStringList{"C", "B"}));
        QCOMPARE(f.window->pageTitle()->title(), QString("Posters"));
        QCOMPARE(f.window->inspector()->created(), std::optional<double>(2.0));
        QCOMPARE(f.window->sidebar()->selection(), QString("B2"));
        QCOMPARE(f.window->gridScreen()->collectionId(), QString("B2"));
        // And the sidebar's choice reaches the state.
        emit f.window->sidebar()->selectionChanged("links");
        QCOMPARE(f.state->selection(), QString("links"));
        QTRY_VERIFY(f.window->headerBar()->linksView());
    }

    // The count under the title follows a trash made in the grid, in every
    // kind of section.
    void trashedCountFollows_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<int>("before");
        QTest::newRow("all") << "all" << 4;
        QTest::newRow("inbox") << "inbox" << 2;
        QTest::newRow("collection") << "B1" << 2;
    }

    void trashedCountFollows()
    {
        QFETCH(QString, section);
        QFETCH(int, before);
        WindowFixture f;
        f.state->setSelection(section);
        f.show();
        QTRY_COMPARE(f.window->pageTitle()->count(), std::optional<int>(before));
        f.window->gridScreen()->deleteItems({"D"});
        QTRY_COMPARE(f.window->visible().size(), qsizetype(before - 1));
        QTRY_COMPARE(f.window->pageTitle()->count(), std::optional<int>(before - 1));
    }

    void editsReachTheGridByIdOnly()
    {
        WindowFixture f;
        f.state->setSelection("all");
        f.show();
        zezevaveri::GridEngine &engine = f.window->grid()->engine();
        QTRY_COMPARE(f.window->grid()->items().size(), 4);
        QTRY_VERIFY(!engine.frames().empty());
        const zezevaveri::LayerPtr c = engine.layer("C");
        const zezevaveri::LayerPtr a = engine.layer("A");
        QVERIFY(c && a);
        // A second state over the same store shows what the window is told.
        zezevaveri::ScatterGridController otherGrid;
        AppState other(*f.store, *f.settings, otherGrid);
        other.setHooks(windowHooks(nullptr));
        QVERIFY(other.updateVisible().reset);

        f.store->appendItems({picture("E", "B1", 5, f.store->root())});
        const AppState::VisibleUpdate added = other.updateVisible();
        QVERIFY(!added.reset);
        QVERIFY(added.diff.removed.isEmpty());
        QCOMPARE(added.diff.inserted.size(), 1);
        QCOMPARE(added.diff.inserted.first().first, 0);
        QCOMPARE(added.diff.inserted.first().second.id, QString("E"));
        // The new tile leads the grid; the others are the same tiles as before.
        QTRY_COMPARE(engine.indexOf("E"), 0);
        QTRY_COMPARE(engine.frames().size(), size_t(5));
        QCOMPARE(engine.layer("C"), c);
        QCOMPARE(engine.layer("A"), a);
        QCOMPARE(f.window->pageTitle()->count(), std::optional<int>(5));
        QTest::qWait(150);
        QVERIFY(f.window->grab().toImage().save(QCoreApplication::applicationDirPath() + "/window-added.png"));

        // Moved to the trash: its tile leaves, the rest stay.
        f.store->trash({"B"});
        const AppState::VisibleUpdate trashed = other.updateVisible();
        QVERIFY(!trashed.reset);
        QCOMPARE(trashed.diff.removed, QStringList{"B"});
        QVERIFY(trashed.diff.inserted.isEmpty());
        QTRY_VERIFY(!engine.layer("B"));
        QTRY_COMPARE(ids(f.window->visible()), (QStringList{"E", "D", "C", "A"}));
        QCOMPARE(engine.layer("C"), c);
        QCOMPARE(engine.layer("A"), a);
        QCOMPARE(f.window->pageTitle()->count(), std::optional<int>(4));

        // A changed record keeps its tile and shows its new description.
        f.store->updateItem("C", [](Item &item) { item.title = QStringLiteral("Renamed"); });
        QTRY_COMPARE(f.window->grid()->items().at(engine.indexOf("C")).title, QString("Renamed"));
        QCOMPARE(engine.layer("C"), c);
        QCOMPARE(ids(f.window->gridScreen()->visibleItems()), (QStringList{"E", "D", "C", "A"}));

        // Anything else starts over, and still ends with the same tiles.
        f.store->replaceItems(f.store->items());
        QVERIFY(other.updateVisible().reset);
        QTRY_COMPARE(ids(f.window->visible()), (QStringList{"E", "D", "C", "A"}));
        QCOMPARE(engine.layer("C"), c);
    }

    void goMenuHasFourRowsWhateverTheLibraryHolds()
    {
        WindowFixture f;
        f.store->createCollection("Extra");
        f.show();
        QMenu *go = f.window->menu("Go");
        QVERIFY(go);
        QStringList titles, keys, names;
        for (QAction *a : go->actions()) {
            titles << a->text();
            keys << a->shortcut().toString(QKeySequence::PortableText);
            names << a->objectName();
            QCOMPARE(f.window->action(a->objectName()), a);
        }
        QCOMPARE(titles, (QStringList{"All", "Inbox", "Links", "Trash"}));
        QCOMPARE(names, (QStringList{"goAll", "goInbox", "goLinks", "goTrash"}));
        QCOMPARE(keys, (QStringList{"Ctrl+Alt+1", "Ctrl+Alt+2", "Ctrl+Alt+3", "Ctrl+Alt+4"}));
        QTest::keyClick(f.window.get(), Qt::Key_4, Qt::ControlModifier | Qt::AltModifier);
        QCOMPARE(f.state->selection(), QString("trash"));
        go->actions()[2]->trigger();
        QCOMPARE(f.state->selection(), QString("links"));
        QCOMPARE(f.settings->string("lastBoard"), QString("links"));
    }

    // Each command by its name: the words it shows and its key.
    void keysOfTheOtherCommands()
    {
        WindowFixture f;
        QStringList table;
        for (const QString &name : {"newCollection", "import", "addLink", "newSmartFolder", "settings", "quit", "find",
                                    "toggleSidebar", "toggleInspector", "nextItem", "previousItem", "about",
                                    "checkForUpdates"}) {
            QAction *a = f.window->action(name);
            QVERIFY2(a, qPrintable(name));
            table << name + ": " + a->text() + "=" + a->shortcut().toString(QKeySequence::PortableText);
        }
        QCOMPARE(table, (QStringList{"newCollection: New Collection=Ctrl+N", "import: Import…=Ctrl+O",
                                     "addLink: Add Link…=Ctrl+L", "newSmartFolder: New Smart Folder…=Ctrl+Shift+N",
                                     "settings: Settings…=Ctrl+,", "quit: Quit=Ctrl+Q", "find: Find=Ctrl+F",
                                     "toggleSidebar: Hide Sidebar=Ctrl+Alt+S",
                                     "toggleInspector: Show Inspector=Ctrl+I", "nextItem: Next Item=Ctrl+]",
                                     "previousItem: Previous Item=Ctrl+[", "about: About Vellora=",
                                     "checkForUpdates: Check for Updates…="}));
        // A wording is no way in.
        QVERIFY(!f.window->action("Import…"));
        QVERIFY(!f.window->action("Quit"));
        QCOMPARE(f.window->menu("File")->actions().at(5), f.window->action("sharing"));
        QCOMPARE(f.window->action("sharing")->text(), QString("Sharing"));
        // With no tile opened, paging does nothing.
        f.window->action("nextItem")->trigger();
        f.window->action("previousItem")->trigger();
        QVERIFY(!f.state->openedId());
    }

    void newCollectionTwice()
    {
        WindowFixture f;
        f.show();
        QTest::keyClick(f.window.get(), Qt::Key_N, Qt::ControlModifier);
        f.window->action("newCollection")->trigger();
        const QList<Board> boards = f.store->collections();
        QCOMPARE(boards.size(), 4);
        QCOMPARE(boards[2].name, QString("Untitled board"));
        QCOMPARE(boards[3].name, QString("Untitled board"));
        QCOMPARE(f.state->selection(), boards[3].id);
        QCOMPARE(f.state->renaming(), std::optional<QString>(boards[3].id));
        QTRY_COMPARE(f.window->sidebar()->renaming(), std::optional<QString>(boards[3].id));
        QCOMPARE(f.window->sidebar()->draft(), QString("Untitled board"));
    }

    void importGoesIntoTheShownCollectionOrTheFirst()
    {
        WindowFixture f;
        QTemporaryDir pictures;
        int round = 0;
        QStringList chosen;
        f.window->chooseFiles = [&](QWidget *) { return chosen; };
        const QList<QPair<QString, QString>> cases{{"B2", "B2"}, {"S1", "B1"}, {"all", "B1"}, {"inbox", "B1"},
                                                    {"links", "B1"}, {"trash", "B1"}};
        for (const auto &[section, board] : cases) {
            f.state->setSelection(section);
            chosen = {writePng(pictures.path(), QString("p%1.png").arg(round), QColor::fromHsv(round * 50, 200, 200))};
            ++round;
            const qsizetype before = f.store->items().size();
            f.window->action("import")->trigger();
            QTRY_COMPARE(f.store->items().size(), before + 1);
            QCOMPARE(f.store->items().last().collectionIds, QStringList{board});
        }
        // Cancelling the panel imports nothing.
        chosen.clear();
        const qsizetype before = f.store->items().size();
        f.window->action("import")->trigger();
        QTest::qWait(100);
        QCOMPARE(f.store->items().size(), before);
        QCOMPARE(f.store->importing(), 0);
    }

    void viewMenuTitlesFollowTheState()
    {
        QTemporaryDir keep;
        const QString settingsFile = keep.filePath("settings.conf");
        {
            WindowFixture f(settingsFile);
            f.show();
            QAction *sidebar = f.window->action("toggleSidebar");
            QVERIFY(sidebar);
            QCOMPARE(sidebar->text(), QString("Hide Sidebar"));
            QTest::keyClick(f.window.get(), Qt::Key_S, Qt::ControlModifier | Qt::AltModifier);
            QCOMPARE(sidebar->text(), QString("Show Sidebar"));
            QVERIFY(!f.window->sidebarColumn()->isVisible());
            sidebar->trigger();
            QCOMPARE(sidebar->text(), QString("Hide Sidebar"));
            QVERIFY(f.window->sidebarColumn()->isVisible());

            QAction *inspector = f.window->action("toggleInspector");
            QVERIFY(inspector);
            QCOMPARE(inspector->text(), QString("Show Inspector"));
            QVERIFY(!f.window->inspector()->isVisible());
            QTest::keyClick(f.window.get(), Qt::Key_I, Qt::ControlModifier);
            QCOMPARE(inspector->text(), QString("Hide Inspector"));
            QVERIFY(f.window->inspector()->isVisible());
            QVERIFY(f.window->headerBar()->inspectorVisible());
            f.settings->sync();
        }
        // A new start reads the stored choice.
        WindowFixture again(settingsFile);
        again.show();
        QCOMPARE(again.window->action("toggleInspector")->text(), QString("Hide Inspector"));
        QVERIFY(again.window->inspector()->isVisible());
    }

    void findTogglesAndClearsTheSearch()
    {
        WindowFixture f;
        f.state->setSelection("all");
        f.show();
        QTest::keyClick(f.window.get(), Qt::Key_F, Qt::ControlModifier);
        QVERIFY(f.state->searching());
        QVERIFY(f.window->headerBar()->searching());
        f.state->search().setQuery("C.png");
        QTRY_COMPARE(ids(f.window->gridScreen()->visibleItems()), QStringList{"C"});
        f.window->action("find")->trigger();
        QVERIFY(!f.state->searching());
        QVERIFY(!f.window->headerBar()->searching());
        QVERIFY(f.state->search().query().isEmpty());
        QTRY_COMPARE(f.window->gridScreen()->visibleItems().size(), 4);
    }

    void selectionBarActs()
    {
        WindowFixture f;
        f.state->setSelection("all");
        f.show();
        QTRY_COMPARE(f.window->gridScreen()->visibleItems().size(), 4);
        f.grid.select({"A", "B"});
        QTRY_VERIFY(f.window->selectionBar()->isVisible());
        QCOMPARE(f.window->selectionBar()->countLabel()->text(), QString("2 selected"));
        QVERIFY(f.window->selectionBar()->button("Move to…"));
        QVERIFY(f.window->selectionBar()->button("Share"));
        f.window->selectionBar()->button("Delete")->click();
        QTRY_COMPARE(f.store->activeItems().size(), 2);
        QTRY_VERIFY(!f.window->selectionBar()->isVisible());
        QVERIFY(f.state->selectedIds().isEmpty());

        f.state->setSelection("trash");
        QTRY_COMPARE(f.window->gridScreen()->visibleItems().size(), 2);
        QTRY_VERIFY(f.window->headerBar()->emptyTrash);
        f.grid.select({"A"});
        QTRY_VERIFY(f.window->selectionBar()->isVisible());
        QVERIFY(f.window->selectionBar()->button("Delete Permanently…"));
        f.window->selectionBar()->button("Put Back")->click();
        QTRY_COMPARE(f.store->activeItems().size(), 3);
        QCOMPARE(f.store->item("A")->collectionIds, QStringList{"B1"});
    }

    void emptyTrashTakesEveryTrashedItem()
    {
        WindowFixture f;
        QStringList asked;
        setDestructiveAlert([&](QWidget *, const QString &message, const QString &, const QString &) {
            asked << message;
            return true;
        });
        f.store->trash({"A", "B", "C"});
        f.state->setSelection("trash");
        // A search hides two of them; Empty Trash still takes all three.
        f.state->search().setQuery("A.png");
        f.show();
        QTRY_COMPARE(ids(f.window->gridScreen()->visibleItems()), QStringList{"A"});
        QTRY_VERIFY(f.window->headerBar()->emptyTrash);
        f.window->headerBar()->emptyTrash();
        QCOMPARE(asked, QStringList{"Delete 3 items permanently?"});
        QCOMPARE(f.store->items().size(), 1);
        QTRY_VERIFY(!f.window->headerBar()->emptyTrash);
        // Outside the trash it is never offered.
        f.state->setSelection("all");
        QTest::qWait(50);
        QVERIFY(!f.window->headerBar()->emptyTrash);
    }

    void moveLeavesEachItemInOneCollection()
    {
        WindowFixture f;
        f.store->setCollections({"B1", "B2"}, "A");
        f.state->setSelection("all");
        f.show();
        QTRY_COMPARE(f.window->gridScreen()->visibleItems().size(), 4);
        f.grid.select({"A", "D"});
        QTRY_VERIFY(f.window->selectionBar()->isVisible());
        QMenu *menu = f.window->selectionBar()->button("Move to…")->menu();
        QStringList titles;
        for (QAction *a : menu->actions())
            titles << a->text();
        QCOMPARE(titles, (QStringList{"Inbox", "Posters"}));
        menu->actions()[1]->trigger();
        QCOMPARE(f.store->item("A")->collectionIds, QStringList{"B2"});
        QCOMPARE(f.store->item("D")->collectionIds, QStringList{"B2"});
        QTRY_VERIFY(f.state->selectedIds().isEmpty());
    }

    void settingsAboutAndTheBetaMark()
    {
        WindowFixture f;
        f.show();
        QTest::keyClick(f.window.get(), Qt::Key_Comma, Qt::ControlModifier);
        QWidget *settings = f.window->settingsWindow();
        QTRY_VERIFY(settings->isVisible());
        // A window of its own, not a part of the main window.
        QVERIFY(settings->isWindow());
        QCOMPARE(settings->windowTitle(), QString("Settings"));
        settings->close();

        auto *mark = f.window->findChild<BetaHeader *>();
        QVERIFY(mark);
        QCOMPARE(mark->label()->text(), betaLabel());
        QVERIFY(mark->label()->textInteractionFlags() & Qt::TextSelectableByMouse);
        QVERIFY(mark->accessibleName().contains(betaLabel()));
    }

    void sheetsOpenFromTheState()
    {
        WindowFixture f;
        f.show();
        f.window->action("addLink")->trigger();
        QTRY_VERIFY(f.window->addLinkSheet());
        QVERIFY(f.window->addLinkSheet()->isVisible());
        f.window->addLinkSheet()->close();
        QTRY_VERIFY(!f.state->addingLink());

        f.window->action("newSmartFolder")->trigger();
        QTRY_VERIFY(f.window->smartFolderSheet());
        f.window->smartFolderSheet()->close();
        QTRY_VERIFY(!f.state->editingSmart());
    }

    // Other words, as a translation gives them, change nothing in the
    // wiring: the commands are found and work by their names. Last, as the
    // header bar's tables keep the words they were first made with.
    void commandsStayWiredInOtherWords()
    {
        MarkingTranslator marking;
        QCoreApplication::installTranslator(&marking);
        const auto uninstall = qScopeGuard([&] { QCoreApplication::removeTranslator(&marking); });
        WindowFixture f;
        f.show();
        auto marked = [](const QString &text) { return text.startsWith(u'«') && text.endsWith(u'»'); };
        // Every menu and command reads in the translation's words; the Go
        // menu's rows are the sections' own names.
        for (QAction *top : f.window->menuBar()->actions()) {
            QVERIFY2(marked(top->text()), qPrintable(top->text()));
            if (top->menu() == f.window->menu("Go"))
                continue;
            for (QAction *command : top->menu()->actions())
                QVERIFY2(command->isSeparator() || marked(command->text()), qPrintable(command->text()));
        }
        QCOMPARE(f.window->menu("Go")->actions().first()->text(), QString("All"));
        QCOMPARE(f.window->action("import")->text(), QString("«Import…»"));
        QCOMPARE(f.window->action("sharing")->text(), QString("«Sharing»"));

        int asked = 0;
        f.window->chooseFiles = [&](QWidget *) {
            ++asked;
            return QStringList();
        };
        f.window->action("import")->trigger();
        QCOMPARE(asked, 1);
        f.window->action("toggleSidebar")->trigger();
        QVERIFY(!f.window->sidebarColumn()->isVisible());
        QCOMPARE(f.window->action("toggleSidebar")->text(), QString("«Show Sidebar»"));
        f.window->action("goTrash")->trigger();
        QCOMPARE(f.state->selection(), QString("trash"));
        QCOMPARE(f.window->emptyPageText(), QString("«The Trash is empty.»"));
        // The window's other words come from the translation as well.
        for (const Sidebar::AccessibleElement &element : f.window->sidebar()->accessibleElements())
            if (element.key == "plus" || element.key.startsWith("section:"))
                QVERIFY2(marked(element.name), qPrintable(element.name));
        f.state->selectSection("all");
        QTRY_VERIFY(!f.window->visible().isEmpty());
        std::unique_ptr<QMenu> tile(f.window->gridScreen()->tileMenu(f.window->visible().first().id, f.window.get()));
        for (QAction *entry : tile->actions())
            QVERIFY2(entry->isSeparator() || marked(entry->text()), qPrintable(entry->text()));
        QVERIFY(tile->findChild<QAction *>("quickLook", Qt::FindDirectChildrenOnly));
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
