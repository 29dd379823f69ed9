// The real main window as a person uses it, offscreen, over a real store on
// a temporary library: clicks and keys on the grid and the sidebar, drops on
// collection rows, inline rename, the plus menu, the settings window, and
// what the page says when it has nothing to show.
#include "app/AppState.h"
#include "app/MainWindow.h"

#include "enrichment/FeaturePrintStore.h"
#include "enrichment/Search.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "platform/Defaults.h"
#include "platform/LanguageModel.h"
#include "views/CollectionContents.h"
#include "views/GridScreen.h"
#include "views/PageTitle.h"
#include "views/PlusMenu.h"
#include "views/Sidebar.h"
#include "views/SmartFolderEditor.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QGraphicsOpacityEffect>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <QtTest/qtestspontaneevent.h>

using namespace vellora;

namespace {

// A picture file of its own colour (so its content hash is its own).
QString writePicture(const QString &folder, const QString &name, int hue, QSize size = QSize(400, 300))
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(hue % 360, 170, 210));
    // A mark in one corner keeps two pictures of one hue apart.
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8 + hue % 17; ++x)
            image.setPixelColor(x, y, Qt::white);
    const QString path = folder + "/" + name;
    image.save(path, "PNG");
    return path;
}

// A library of real imported pictures (A, B, C, D; A and B in "Inbox", C and
// D in "Posters"), a smart folder, and the window over it.
struct Fixture {
    QTemporaryDir dir;
    QTemporaryDir pictures;
    std::unique_ptr<Defaults> settings;
    std::unique_ptr<LibraryStore> store;
    zezevaveri::ScatterGridController grid;
    std::unique_ptr<AppState> state;
    std::unique_ptr<MainWindow> window;
    QHash<QString, QString> idOf; // picture name -> item id
    QHash<QString, QString> fileOf;

    explicit Fixture(int collections = 0, bool withPictures = true)
    {
        settings = std::make_unique<Defaults>(dir.filePath("settings.conf"));
        store = std::make_unique<LibraryStore>(dir.filePath("library"), false, *settings);
        QList<Board> boards{{"B1", "Inbox", 1.0, {}, {}, {}}, {"B2", "Posters", 2.0, {}, {}, {}}};
        for (int i = 0; i < collections; ++i)
            boards.append({QString("X%1").arg(i), QString("Board %1").arg(i), 3.0 + i, {}, {}, {}});
        store->replaceCollections(boards);
        store->replaceSmartFolders({SmartFolder{"S1", "Warm tones", "all", {}},
                                    SmartFolder{"S2", "Last folder", "any", {}}});
        if (withPictures) {
            // Screenshots take real pictures from a folder, when one is named.
            QStringList real;
            if (const QString folder = qEnvironmentVariable("VELLORA_SHOT_PICTURES"); !folder.isEmpty())
                for (const QFileInfo &file : QDir(folder).entryInfoList({"*.jpg", "*.png"}, QDir::Files, QDir::Name))
                    real << file.filePath();
            int hue = 10;
            int index = 0;
            for (const QString &name : {"A", "B", "C", "D"}) {
                QString path;
                if (real.size() >= 4) {
                    const QString source = real.at(index++);
                    path = pictures.filePath(name + "." + QFileInfo(source).suffix());
                    QFile::copy(source, path);
                } else {
                    path = writePicture(pictures.path(), name + ".png", hue += 70);
                }
                addFiles(*store, {path}, name < QString("C") ? "B1" : "B2");
                idOf.insert(name, store->items().last().id);
                fileOf.insert(name, path);
            }
        }
        state = std::make_unique<AppState>(*store, *settings, grid);
        state->setHooks(windowHooks(nullptr));
        state->setSort("az");
        window = std::make_unique<MainWindow>(*state);
    }

    void show(QSize size = QSize(1100, 760))
    {
        window->setContentSize(size);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QApplication::setActiveWindow(window.get());
    }

    zezevaveri::ScatterGridView *gridView() const { return window->grid(); }

    // The centre of a tile in the grid's viewport, once it is laid out.
    QPoint tileCentre(const QString &id) const
    {
        const zezevaveri::LayerPtr layer = gridView()->engine().layer(id);
        if (!layer)
            return {};
        const QPointF centre = layer->frame().center();
        return QPoint(int(centre.x()), int(centre.y()) - gridView()->verticalScrollBar()->value());
    }

    bool waitForTiles(int count)
    {
        return QTest::qWaitFor([&] {
            return gridView()->engine().frames().size() == size_t(count) && !tileCentre(idOf.value("A", "A")).isNull();
        }, 5000);
    }

    void clickTile(const QString &id, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::mouseClick(gridView()->viewport(), Qt::LeftButton, modifiers, tileCentre(id));
    }

    QPoint inWindow(QWidget *widget, QPoint at) const { return widget->mapTo(window.get(), at); }
};

void shoot(QWidget *widget, const QString &name)
{
    const QString folder = qEnvironmentVariable("VELLORA_SHOTS");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    widget->grab().save(folder + "/" + name + ".png");
}

// Items that share one thumbnail and have no original: enough of them to
// make the page scroll.
QList<Item> fillerItems(const QString &root, int count)
{
    QList<Item> items;
    QDir().mkpath(root + "/thumbnails");
    QImage thumb(400, 300, QImage::Format_RGB32);
    thumb.fill(QColor(90, 120, 160));
    thumb.save(root + "/thumbnails/filler.jpg", "JPEG", 85);
    for (int i = 0; i < count; ++i) {
        Item item;
        item.id = QString("F%1").arg(i, 4, 10, QChar('0'));
        item.kind = "image";
        item.originalFilename = item.id + ".png";
        item.storedFilename = item.id + ".png";
        item.thumbnailFilename = "filler.jpg";
        item.pixelWidth = 400;
        item.pixelHeight = 300;
        item.contentHash = item.id;
        item.dateAdded = item.dateCreated = 10 + i;
        items << item;
    }
    return items;
}

// A loopback port that nothing listens on.
quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

} // namespace

class WindowUseTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The language model setting lives in the standard settings; keep
        // them apart from the user's.
        static QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    }

    // Ctrl-click and Shift-click on tiles: the bar shows the count and every
    // control of the section, however many clicks it took.
    void selectionBarShowsItsControls_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QStringList>("clicks"); // "ctrl:A", "shift:D"
        QTest::addColumn<QStringList>("texts");
        const QStringList actions{"Move to…", "Share", "Delete"};
        const QStringList trash{"Put Back", "Delete Permanently…"};
        QTest::newRow("one") << "all" << QStringList{"ctrl:A"} << (QStringList{"1 selected"} + actions);
        QTest::newRow("two") << "all" << QStringList{"ctrl:A", "ctrl:C"} << (QStringList{"2 selected"} + actions);
        QTest::newRow("three by shift") << "all" << QStringList{"ctrl:A", "shift:C"}
                                        << (QStringList{"3 selected"} + actions);
        QTest::newRow("trash, one") << "trash" << QStringList{"ctrl:B"} << (QStringList{"1 selected"} + trash);
        QTest::newRow("trash, two") << "trash" << QStringList{"ctrl:B", "ctrl:D"}
                                    << (QStringList{"2 selected"} + trash);
        QTest::newRow("trash, three") << "trash" << QStringList{"ctrl:A", "ctrl:B", "ctrl:D"}
                                      << (QStringList{"3 selected"} + trash);
    }

    void selectionBarShowsItsControls()
    {
        QFETCH(QString, section);
        QFETCH(QStringList, clicks);
        QFETCH(QStringList, texts);
        Fixture f;
        if (section == "trash")
            f.store->trash({f.idOf["A"], f.idOf["B"], f.idOf["D"]});
        f.state->setSelection(section);
        f.show();
        QVERIFY(f.waitForTiles(section == "trash" ? 3 : 4));
        for (const QString &click : clicks) {
            const QString name = click.section(':', 1);
            f.clickTile(f.idOf[name], click.startsWith("shift") ? Qt::ShiftModifier : Qt::ControlModifier);
            QTest::qWait(20);
        }
        SelectionBar *bar = f.window->selectionBar();
        QTRY_VERIFY(bar->isVisible());
        QCOMPARE(bar->shownTexts(), texts);
        // Each control is on screen inside the bar, not only told to be.
        int widths = 0;
        for (const QString &text : texts.mid(1)) {
            QPushButton *button = bar->button(text);
            QVERIFY2(button, qPrintable(text));
            QVERIFY2(button->isVisible(), qPrintable(text));
            QVERIFY2(bar->rect().contains(button->geometry()), qPrintable(text));
            QVERIFY(button->width() >= button->fontMetrics().horizontalAdvance(text));
            widths += button->width();
        }
        QVERIFY(bar->countLabel()->isVisible());
        QVERIFY(bar->width() >= widths + bar->countLabel()->width());
        shoot(f.window.get(), QString("selection-%1").arg(QTest::currentDataTag()).replace(' ', '-').replace(',', ""));
    }

    // A plain click on the plus button: press and release on the button.
    void plainClickLeavesThePlusMenuOpen()
    {
        Fixture f;
        f.show();
        Sidebar *sidebar = f.window->sidebar();
        const QPoint at = f.inWindow(sidebar, sidebar->plusButtonRect().center());
        QTest::mousePress(f.window->windowHandle(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(f.window->windowHandle(), Qt::LeftButton, {}, at);
        QTest::qWait(100);
        QVERIFY(sidebar->showingPlus());
        PlusMenu *menu = sidebar->plusMenu();
        QVERIFY(menu && menu->isVisible());
        shoot(f.window.get(), "plus-menu-window");
        shoot(menu, "plus-menu");
        // A click on an entry then runs it and closes the menu.
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->rowRect(2).center());
        QTRY_VERIFY(!sidebar->showingPlus());
        QCOMPARE(f.store->collections().size(), 3);
    }

    // The plus menu repeats the File menu's keys, in the same words, and
    // gives each title room beside its shortcut.
    void plusMenuReadsAsTheFileMenu()
    {
        Fixture f;
        f.show();
        Sidebar *sidebar = f.window->sidebar();
        sidebar->setShowingPlus(true);
        PlusMenu *menu = sidebar->plusMenu();
        QVERIFY(menu);
        const QHash<QString, QString> commands{{"Add Files…", "import"},
                                               {"Add Link…", "addLink"},
                                               {"New Collection", "newCollection"},
                                               {"New Smart Folder…", "newSmartFolder"}};
        const QFontMetrics metrics(menu->font());
        for (int i = 0; i < menu->entries().size(); ++i) {
            const PlusMenu::Entry &entry = menu->entries().at(i);
            QAction *command = f.window->action(commands.value(entry.title));
            QVERIFY2(command, qPrintable(entry.title));
            QCOMPARE(entry.shortcut, command->shortcut().toString(QKeySequence::NativeText));
            const int needed = metrics.horizontalAdvance(entry.title) + metrics.horizontalAdvance(entry.shortcut) + 16;
            QVERIFY2(menu->rowRect(i).width() - 42 >= needed, qPrintable(entry.title));
        }
        QCOMPARE(menu->entries().last().shortcut, QString("Ctrl+Shift+N"));
    }

    // Forty collections at the smallest window: every row, down to the last
    // smart folder, comes into view with the wheel and takes a click; the
    // build mark stays below the rows.
    void lastSmartFolderIsReachableByScrolling()
    {
        Fixture f(40, false);
        f.show(QSize(700, 450));
        QScrollArea *scroll = f.window->sidebarScroll();
        Sidebar *sidebar = f.window->sidebar();
        QTRY_VERIFY(scroll->verticalScrollBar()->maximum() > 0);
        auto inView = [&](const QString &id) {
            const QRect row = sidebar->rowRect(id);
            const QRect shown(sidebar->mapFrom(scroll->viewport(), QPoint(0, 0)), scroll->viewport()->size());
            return shown.contains(row);
        };
        QVERIFY(!inView("S2"));
        for (int i = 0; i < 200 && !inView("S2"); ++i) {
            const QPoint at = sidebar->rowRect("inbox").center();
            QWheelEvent wheel(at, sidebar->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            // As the window system delivers it: over the rows, passed up.
            QSpontaneKeyEvent::setSpontaneous(&wheel);
            qApp->notify(sidebar, &wheel);
        }
        QVERIFY(inView("S2"));
        QTest::mouseClick(sidebar, Qt::LeftButton, {}, sidebar->rowRect("S2").center());
        QCOMPARE(f.state->selection(), QString("S2"));
        // The mark below the rows covers none of them.
        auto *mark = f.window->findChild<BetaHeader *>();
        QVERIFY(mark && mark->isVisible());
        const QRect markRect(mark->mapTo(f.window.get(), QPoint(0, 0)), mark->size());
        const QRect rowsRect(scroll->viewport()->mapTo(f.window.get(), QPoint(0, 0)), scroll->viewport()->size());
        QVERIFY(!markRect.intersects(rowsRect));
        shoot(f.window.get(), "sidebar-scrolled-700x450");
    }

    // A new library at the smallest size: the mark does not cover "Warm tones".
    void buildMarkLeavesTheRowsAlone()
    {
        Fixture f(0, false);
        f.show(QSize(700, 450));
        Sidebar *sidebar = f.window->sidebar();
        auto *mark = f.window->findChild<BetaHeader *>();
        QVERIFY(mark);
        QScrollArea *scroll = f.window->sidebarScroll();
        const int rowBottom = sidebar->mapTo(f.window.get(), sidebar->rowRect("S1").bottomLeft()).y();
        const int markTop = mark->mapTo(f.window.get(), QPoint(0, 0)).y();
        QVERIFY(rowBottom < markTop || scroll->verticalScrollBar()->maximum() > 0);
        shoot(f.window.get(), "new-library-700x450");
    }

    // A narrow sidebar: the grid starts where the sidebar ends.
    void narrowSidebarLeavesNoBand_data()
    {
        QTest::addColumn<double>("width");
        QTest::newRow("narrowest") << 88.0;
        QTest::newRow("narrow form") << 110.0;
        QTest::newRow("just wide") << 150.0;
        QTest::newRow("default") << 244.0;
    }

    void narrowSidebarLeavesNoBand()
    {
        QFETCH(double, width);
        Fixture f;
        f.state->setSidebarWidth(width);
        f.window.reset();
        f.window = std::make_unique<MainWindow>(*f.state);
        f.show(QSize(900, 600));
        QTRY_COMPARE(f.window->sidebar()->width(), int(std::ceil(width)));
        QScrollBar *bar = f.window->sidebarScroll()->verticalScrollBar();
        const int scrollBar = bar->maximum() > 0 ? bar->sizeHint().width() : 0;
        QTRY_COMPARE(f.window->sidebarColumn()->width(), int(std::ceil(width)) + scrollBar);
        const int gridLeft = f.window->gridScreen()->mapTo(f.window.get(), QPoint(0, 0)).x();
        const int columnRight = f.window->sidebarColumn()->mapTo(f.window.get(), QPoint(f.window->sidebarColumn()->width(), 0)).x();
        // The grid keeps its 4-point lead, nothing more.
        QVERIFY2(gridLeft - columnRight <= 4, qPrintable(QString("band of %1").arg(gridLeft - columnRight)));
        shoot(f.window.get(), QString("sidebar-width-%1").arg(int(width)));
    }

    // Drops on the collection row "Posters".
    void dropOnACollectionRow_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QStringList>("joining"); // pictures that end up in Posters as well
        QTest::addColumn<int>("itemsAfter");
        QTest::newRow("a tile of the grid") << "tile" << QStringList{"A"} << 4;
        QTest::newRow("two selected tiles") << "selection" << QStringList{"A", "B"} << 4;
        QTest::newRow("a tile in the trash") << "trashed tile" << QStringList{"A"} << 4;
        QTest::newRow("a copy of a library picture") << "copy" << QStringList{"B"} << 4;
        QTest::newRow("a new picture from outside") << "new" << QStringList{} << 5;
    }

    void dropOnACollectionRow()
    {
        QFETCH(QString, what);
        QFETCH(QStringList, joining);
        QFETCH(int, itemsAfter);
        Fixture f;
        f.state->setSelection(what == "trashed tile" ? "trash" : "all");
        if (what == "trashed tile")
            f.store->trash({f.idOf["A"]});
        f.show();
        QVERIFY(f.waitForTiles(what == "trashed tile" ? 1 : 4));

        std::unique_ptr<QMimeData> data;
        if (what == "copy" || what == "new") {
            const QString file = what == "copy"
                                     ? f.pictures.filePath("copy of B.png")
                                     : writePicture(f.pictures.path(), "E.png", 333);
            if (what == "copy")
                QVERIFY(QFile::copy(f.fileOf["B"], file));
            data = std::make_unique<QMimeData>();
            data->setUrls({QUrl::fromLocalFile(file)});
        } else {
            if (what == "selection") {
                f.clickTile(f.idOf["A"], Qt::ControlModifier);
                f.clickTile(f.idOf["B"], Qt::ControlModifier);
                QTRY_COMPARE(f.state->selectedIds().size(), 2);
            }
            data.reset(f.window->gridScreen()->dragData(f.idOf["A"]));
            QVERIFY(data);
        }
        Sidebar *sidebar = f.window->sidebar();
        const QPoint at = sidebar->rowRect("B2").center();
        QDragEnterEvent enter(at, Qt::CopyAction, data.get(), Qt::LeftButton, {});
        QApplication::sendEvent(sidebar, &enter);
        QDragMoveEvent move(at, Qt::CopyAction, data.get(), Qt::LeftButton, {});
        QApplication::sendEvent(sidebar, &move);
        QVERIFY(move.isAccepted());
        QDropEvent drop(at, Qt::CopyAction, data.get(), Qt::LeftButton, {});
        QApplication::sendEvent(sidebar, &drop);
        QVERIFY(drop.isAccepted());

        for (const QString &name : joining) {
            const QString id = f.idOf[name];
            QTRY_VERIFY2(f.store->item(id)->collectionIds.contains("B2"), qPrintable(name));
            QVERIFY(!f.store->item(id)->trashedAt);
            // It keeps the collection it was in.
            QVERIFY(f.store->item(id)->collectionIds.contains("B1"));
        }
        QTRY_COMPARE(f.store->items().size(), qsizetype(itemsAfter));
        QTRY_COMPARE(f.store->importing(), 0);
        if (what == "new")
            QTRY_COMPARE(f.store->items().last().collectionIds, QStringList{"B2"});
        // And the collection shows it.
        f.state->setSelection("B2");
        QTRY_COMPARE(f.window->pageTitle()->count(), std::optional<int>(2 + int(joining.size()) + (what == "new")));
    }

    // Pasting a picture that the library holds, with a collection shown.
    void pastingAKnownPictureAddsItToTheCollection()
    {
        Fixture f;
        f.state->setSelection("B2");
        f.show();
        QTRY_COMPARE(f.window->pageTitle()->count(), std::optional<int>(2));
        QFile original(f.fileOf["A"]);
        QVERIFY(original.open(QIODevice::ReadOnly));
        QMimeData data;
        data.setData("image/png", original.readAll());
        QSignalSpy finished(f.window->gridScreen(), &GridScreen::pasteFinished);
        f.window->gridScreen()->paste(data);
        QVERIFY(finished.wait(5000));
        QCOMPARE(f.store->items().size(), 4);
        QTRY_VERIFY(f.store->item(f.idOf["A"])->collectionIds.contains("B2"));
        QTRY_COMPARE(f.window->pageTitle()->count(), std::optional<int>(3));
    }

    // Inline rename by keys.
    void renameByKeys_data()
    {
        QTest::addColumn<QString>("start"); // "new": Ctrl+N; else the collection renamed from its menu
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("endKey");
        QTest::addColumn<QString>("name");
        QTest::newRow("new board, typed name replaces") << "new" << "Moodboard" << int(Qt::Key_Return) << "Moodboard";
        QTest::newRow("new board, Escape keeps") << "new" << "Mood" << int(Qt::Key_Escape) << "Untitled board";
        QTest::newRow("rename, typed name replaces") << "B2" << "Prints" << int(Qt::Key_Return) << "Prints";
        QTest::newRow("rename, Escape keeps") << "B2" << "Prints" << int(Qt::Key_Escape) << "Posters";
        QTest::newRow("rename, focus elsewhere commits") << "B2" << "Prints" << 0 << "Prints";
    }

    void renameByKeys()
    {
        QFETCH(QString, start);
        QFETCH(QString, typed);
        QFETCH(int, endKey);
        QFETCH(QString, name);
        Fixture f;
        f.show();
        QString id = start;
        if (start == "new") {
            QTest::keyClick(f.window.get(), Qt::Key_N, Qt::ControlModifier);
            id = f.store->collections().last().id;
        } else {
            std::unique_ptr<QMenu> menu(f.window->sidebar()->buildContextMenu(id));
            menu->actions().first()->trigger();
        }
        QLineEdit *field = f.window->sidebar()->renameField();
        QTRY_VERIFY(field->isVisible() && field->hasFocus());
        QCOMPARE(field->selectedText(), field->text());
        shoot(f.window.get(), QString("rename-%1").arg(QTest::currentDataTag()).replace(' ', '-').replace(',', ""));
        QTest::keyClicks(field, typed);
        QCOMPARE(field->text(), typed);
        if (endKey)
            QTest::keyClick(field, Qt::Key(endKey));
        else
            f.gridView()->setFocus();
        QTRY_VERIFY(!f.state->renaming());
        QTRY_VERIFY(!field->isVisible());
        QCOMPARE(f.store->collection(id)->name, name);
        QCOMPARE(f.window->sidebar()->renaming(), std::nullopt);
    }

    // An opened tile fades the page heading out; closing brings it back.
    void headingFadesWhileATileIsOpen()
    {
        Fixture f;
        f.state->setSelection("all");
        f.show();
        QVERIFY(f.waitForTiles(4));
        QWidget *heading = f.gridView()->headerView();
        QVERIFY(heading);
        QVERIFY(heading->isAncestorOf(f.window->pageTitle()));
        auto opacity = [&] {
            for (QWidget *w = f.window->pageTitle(); w && w != f.gridView(); w = w->parentWidget())
                if (auto *effect = qobject_cast<QGraphicsOpacityEffect *>(w->graphicsEffect()))
                    return effect->opacity();
            return 1.0;
        };
        QCOMPARE(opacity(), 1.0);
        f.clickTile(f.idOf["A"]);
        QTRY_COMPARE(f.state->openedId(), std::optional<QString>(f.idOf["A"]));
        QTRY_COMPARE(opacity(), 0.0);
        QTest::qWait(400);
        shoot(f.window.get(), "tile-open");
        // Where the heading was, the grid's own background shows: neither
        // the heading nor a stale picture of the stage.
        QLabel *titleLabel = f.window->pageTitle()->findChild<QLabel *>();
        const QRect band(titleLabel->mapTo(f.window.get(), QPoint(0, 0)), titleLabel->size());
        const QImage shot = f.window->grab().toImage();
        const QColor background = f.gridView()->config().background;
        int off = 0;
        for (int x = band.left(); x < band.right(); x += 7)
            for (int y = band.top(); y < band.bottom(); y += 5) {
                const QColor c = shot.pixelColor(x, y);
                off += qAbs(c.red() - background.red()) + qAbs(c.green() - background.green()) > 24 ? 1 : 0;
            }
        QCOMPARE(off, 0);
        QTest::keyClick(f.gridView(), Qt::Key_Escape);
        QTRY_VERIFY(!f.state->openedId());
        QTRY_COMPARE(opacity(), 1.0);
    }

    // After a relayout under a resting pointer the hover follows the tile
    // that is under it now, with one info button on that tile.
    void hoverFollowsTheTileAfterARelayout_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("window resize") << "resize";
        QTest::newRow("sidebar toggle") << "sidebar";
        QTest::newRow("inspector toggle") << "inspector";
        QTest::newRow("put back") << "putBack";
        QTest::newRow("find similar re-sorts") << "similar";
        QTest::newRow("wheel scroll") << "wheel";
        // Past the number of tiles made at once: those far off are made
        // only as they come into view.
        QTest::newRow("scroll bar to the end of a long page") << "end";
    }

    void hoverFollowsTheTileAfterARelayout()
    {
        QFETCH(QString, change);
        Fixture f;
        if (change == "putBack")
            f.store->trash({f.idOf["A"]});
        const bool scrolls = change == "wheel" || change == "end";
        // A page long enough to scroll well past what was in view.
        const int filler = change == "end" ? 2400 : change == "wheel" ? 160 : 0;
        if (filler)
            f.store->appendItems(fillerItems(f.store->root(), filler));
        if (change == "similar") {
            // D is nearest to itself, then C, B and A: it comes first.
            FeaturePrints prints;
            for (const auto &[name, x] : {std::pair{"A", 9.f}, {"B", 6.f}, {"C", 3.f}, {"D", 0.f}})
                prints.insert(f.idOf[name], FeaturePrint("test.print", 1, {x, 1.f}));
            auto set = std::make_shared<FeaturePrintSet>(prints);
            AppState::Hooks hooks = f.state->hooks();
            hooks.distances = [set](const QString &id) { return set->distances(id); };
            f.state->setHooks(hooks);
        }
        f.state->setSelection(change == "putBack" ? "trash" : "all");
        f.show();
        // Put Back empties the trash under the pointer.
        if (change == "putBack")
            QTRY_VERIFY(!f.tileCentre(f.idOf["A"]).isNull());
        else
            QVERIFY(f.waitForTiles(4 + filler));
        const QString first = f.idOf["A"];
        const QPoint at = f.tileCentre(first);
        // Somewhere else first: a move to where the pointer already is
        // reaches no one.
        QTest::mouseMove(f.gridView()->viewport(), at + QPoint(3 + QTest::currentDataTag()[0], 2));
        QTest::mouseMove(f.gridView()->viewport(), at);
        QTRY_VERIFY(f.gridView()->engine().hovered());
        QCOMPARE(f.gridView()->engine().hovered()->name, first);

        const zezevaveri::GridEngine &engine = f.gridView()->engine();
        // The tile under the pointer by the layout, whether or not it was
        // in view before.
        const auto underPointer = [&] {
            const QPointF pointer(at.x(), at.y() + f.gridView()->verticalScrollBar()->value());
            for (size_t i = 0; i < engine.frames().size() && i < engine.items().size(); ++i)
                if (engine.frames()[i].contains(pointer))
                    return engine.items()[i].id;
            return QString();
        };
        const auto hovered = [&] { return engine.hovered() ? engine.hovered()->name : QString(); };

        if (change == "resize") {
            f.window->setContentSize(QSize(760, 520));
        } else if (change == "sidebar") {
            f.state->toggleSidebar();
        } else if (change == "inspector") {
            f.state->toggleInspector();
        } else if (change == "similar") {
            f.state->findSimilar(f.idOf["D"]);
        } else if (change == "wheel") {
            for (int i = 0; i < 3; ++i) {
                QWheelEvent wheel(at, f.gridView()->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120),
                                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
                QSpontaneKeyEvent::setSpontaneous(&wheel);
                qApp->notify(f.gridView()->viewport(), &wheel);
            }
        } else if (change == "end") {
            // As dragging its thumb to the bottom does.
            QScrollBar *bar = f.gridView()->verticalScrollBar();
            bar->setValue(bar->maximum());
        } else {
            f.store->restore({f.idOf["A"]});
        }
        if (scrolls) {
            // The scroll itself hands the hover on, not some later event.
            QVERIFY(f.gridView()->verticalScrollBar()->value() > 0);
            QVERIFY(!underPointer().isEmpty());
            QCOMPARE(hovered(), underPointer());
        }
        QTest::qWait(300);

        const QPointF pointer(at.x(), at.y() + f.gridView()->verticalScrollBar()->value());
        QCOMPARE(hovered(), underPointer());
        if (change == "similar")
            QCOMPARE(hovered(), f.idOf["D"]);
        const zezevaveri::LayerPtr under = engine.tileAt(pointer);
        QCOMPARE(engine.hovered(), under);
        zezevaveri::PassthroughHost *host = f.gridView()->hoverHost();
        if (!under) {
            QVERIFY(!host->isVisible());
            return;
        }
        QVERIFY(host->isVisible());
        // The overlay sits on that tile, and holds one button.
        const QRectF frame = under->frame().translated(0, -f.gridView()->verticalScrollBar()->value());
        QCOMPARE(host->geometry(), frame.toRect());
        int shown = 0;
        for (QWidget *child : host->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            shown += child->isVisible() ? 1 : 0;
        QCOMPARE(shown, 1);
    }

    void settingsCloseFromTheKeyboard_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Escape") << int(Qt::Key_Escape) << int(Qt::NoModifier);
        QTest::newRow("Ctrl+W") << int(Qt::Key_W) << int(Qt::ControlModifier);
    }

    void settingsCloseFromTheKeyboard()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        Fixture f;
        f.show();
        QTest::keyClick(f.window.get(), Qt::Key_Comma, Qt::ControlModifier);
        QPointer<QWidget> settings = f.window->settingsWindow();
        QTRY_VERIFY(settings->isVisible());
        QApplication::setActiveWindow(settings);
        QTest::keyClick(settings, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QTRY_VERIFY(!settings || !settings->isVisible());
    }

    // What the heading says when the page shows nothing.
    void emptyPagesSayWhatIsNotThere_data()
    {
        QTest::addColumn<bool>("pictures");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("says");
        QTest::newRow("empty library") << false << "all" << ""
                                       << "No pictures yet. Drop pictures here, paste one with Ctrl+V, or choose Add "
                                          "Files… (Ctrl+O).";
        QTest::newRow("empty search") << true << "all" << "zebra" << "Nothing here matches “zebra”.";
        QTest::newRow("markup in the search is text") << true << "all" << "<b>x</b>"
                                                       << "Nothing here matches “<b>x</b>”.";
        QTest::newRow("empty smart folder") << true << "S1" << "" << "No items match this smart folder's rules.";
        QTest::newRow("empty trash") << true << "trash" << "" << "The Trash is empty.";
        QTest::newRow("empty trash, empty library") << false << "trash" << "" << "The Trash is empty.";
        QTest::newRow("empty links") << true << "links" << "" << "No links yet. Add one with Add Link… (Ctrl+L).";
    }

    void emptyPagesSayWhatIsNotThere()
    {
        QFETCH(bool, pictures);
        QFETCH(QString, section);
        QFETCH(QString, query);
        QFETCH(QString, says);
        Fixture f(0, pictures);
        f.state->setSelection(section);
        f.state->search().setQuery(query);
        f.show();
        QTRY_COMPARE(f.window->pageTitle()->count(), std::optional<int>(0));
        QTRY_COMPARE(f.window->pageTitle()->shownCountText(), says);
        const QLabel *line = nullptr;
        for (QLabel *label : f.window->pageTitle()->findChildren<QLabel *>())
            if (label->text() == says)
                line = label;
        QVERIFY(line && line->isVisible());
        QCOMPARE(line->textFormat(), Qt::PlainText);
        shoot(f.window.get(), QString("empty-%1").arg(QTest::currentDataTag()).replace(' ', '-').replace(',', ""));
        // A page with something on it counts again.
        if (pictures && section == "all") {
            f.state->search().setQuery(QString());
            QTRY_COMPARE(f.window->pageTitle()->shownCountText(), QString("4 items"));
        }
    }

    // The fixed rows show their key as a hint under the pointer, and no
    // number where the counts go.
    void fixedRowsShowTheirKeyAsAHint()
    {
        Fixture f;
        f.store->trash({f.idOf["A"], f.idOf["B"]});
        f.show();
        Sidebar *sidebar = f.window->sidebar();
        QCOMPARE(sidebar->trailingText("trash"), QString());
        QCOMPARE(sidebar->trailingText("all"), QString());
        QVERIFY(!sidebar->hintShown("trash"));
        QTest::mouseMove(sidebar, sidebar->rowRect("trash").center());
        QTRY_VERIFY(sidebar->hintShown("trash"));
        QCOMPARE(sidebar->shortcutHint("trash"), f.window->menu("Go")->actions().at(3)->shortcut().toString(QKeySequence::NativeText));
        shoot(sidebar, "sidebar-hint");
    }

    // Assistive technology sees the painted rows as buttons with names and
    // the selected state, the plus button as "Add", a shared collection's mark as "Shared".
    void sidebarRowsHaveAccessibleInterfaces()
    {
        Fixture f;
        f.store->updateCollection("B2", [](Board &board) {
            board.zone = QStringLiteral("zone-B2");
            board.zoneOwner = QStringLiteral("me");
        });
        f.state->setSelection("B2");
        f.show();
        QAccessibleInterface *sidebar = QAccessible::queryAccessibleInterface(f.window->sidebar());
        QVERIFY(sidebar);
        QStringList names;
        QAccessibleInterface *posters = nullptr;
        QAccessibleInterface *inbox = nullptr;
        for (int i = 0; i < sidebar->childCount(); ++i) {
            QAccessibleInterface *child = sidebar->child(i);
            QVERIFY(child && child->isValid());
            QCOMPARE(child->role(), QAccessible::Button);
            QCOMPARE(child->parent(), sidebar);
            QCOMPARE(sidebar->indexOfChild(child), i);
            names << child->text(QAccessible::Name);
            if (child->text(QAccessible::Name) == "Posters")
                posters = child;
            if (child->text(QAccessible::Name) == "Inbox" && !inbox)
                inbox = child;
        }
        QCOMPARE(names, (QStringList{"Add", "All Items", "Inbox", "Links", "Trash", "Add to Collections", "Inbox", "Posters",
                                     "Add to Smart Folders", "Warm tones", "Last folder"}));
        QVERIFY(posters && inbox);
        QVERIFY(posters->state().selected);
        QVERIFY(!inbox->state().selected);
        QCOMPARE(posters->childCount(), 1);
        QCOMPARE(posters->child(0)->text(QAccessible::Name), QString("Shared"));
        QCOMPARE(posters->child(0)->parent(), posters);
        // The press action selects the row, as a click does.
        QAccessibleActionInterface *press = inbox->actionInterface();
        QVERIFY(press);
        press->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(f.state->selection(), QString("inbox"));
        QVERIFY(inbox->state().selected);
        // The rectangle is the row on screen.
        const QRect row = f.window->sidebar()->rowRect("inbox");
        QVERIFY(qAbs(inbox->rect().height() - row.height()) <= 1);
        QVERIFY(inbox->rect().contains(f.window->sidebar()->mapToGlobal(row.center())));
        QCOMPARE(sidebar->childAt(inbox->rect().center().x(), inbox->rect().center().y()), inbox);
    }

    // Assistive technology sees the tiles laid out on screen as list items
    // of the grid's viewport: named by their titles as they stand, with the
    // selection the clicks make, and rectangles where the tiles are.
    void gridTilesHaveAccessibleInterfaces()
    {
        Fixture f;
        const QString marked = "<b>Bold</b> &amp; co";
        f.store->updateItem(f.idOf["B"], [&](Item &item) { item.title = marked; });
        f.state->setSelection("all");
        f.show();
        QVERIFY(f.waitForTiles(4));
        zezevaveri::ScatterGridView *view = f.gridView();
        QAccessibleInterface *list = QAccessible::queryAccessibleInterface(view->viewport());
        QVERIFY(list);
        QCOMPARE(list->role(), QAccessible::List);
        QVERIFY(list->state().multiSelectable);
        // The bridge walks down from the window and reaches it.
        QAccessibleInterface *area = QAccessible::queryAccessibleInterface(view);
        QVERIFY(area && area->indexOfChild(list) >= 0);
        QCOMPARE(list->parent(), area);

        QHash<QString, QAccessibleInterface *> byName;
        for (int i = 0; i < list->childCount(); ++i) {
            QAccessibleInterface *child = list->child(i);
            QVERIFY(child && child->isValid());
            QCOMPARE(list->indexOfChild(child), i);
            if (child->role() != QAccessible::ListItem)
                continue;
            QCOMPARE(child->parent(), list);
            QVERIFY(!child->state().selected);
            QVERIFY(child->state().selectable);
            byName.insert(child->text(QAccessible::Name), child);
        }
        QStringList names = byName.keys();
        names.sort();
        QCOMPARE(names, (QStringList{marked, "A", "C", "D"}));
        // The header stays a child too, before the tiles.
        QVERIFY(list->indexOfChild(QAccessible::queryAccessibleInterface(view->headerView())) >= 0);

        QAccessibleInterface *a = byName["A"];
        QAccessibleInterface *b = byName[marked];
        const QPoint centreA = view->viewport()->mapToGlobal(f.tileCentre(f.idOf["A"]));
        QVERIFY(a->rect().contains(centreA));
        QCOMPARE(list->childAt(centreA.x(), centreA.y()), a);

        // A Ctrl-click selects, and the tile says so; a second one adds.
        f.clickTile(f.idOf["A"], Qt::ControlModifier);
        QTRY_VERIFY(a->state().selected);
        QVERIFY(!b->state().selected);
        QVERIFY(a->state().focused);
        f.clickTile(f.idOf["B"], Qt::ControlModifier);
        QTRY_VERIFY(b->state().selected);
        QVERIFY(a->state().selected);
        QVERIFY(b->state().focused && !a->state().focused);
        // Still the same interfaces, once asked again.
        QCOMPARE(list->child(list->indexOfChild(a)), a);

        // The toggle action is a Ctrl-click, the press action a plain one.
        QAccessibleActionInterface *actions = a->actionInterface();
        QVERIFY(actions);
        actions->doAction(QAccessibleActionInterface::toggleAction());
        QTRY_COMPARE(f.state->selectedIds(), QStringList{f.idOf["B"]});
        QVERIFY(!a->state().selected);
        byName["C"]->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(f.state->openedId(), std::optional<QString>(f.idOf["C"]));
    }

    // Only the tiles on screen are children, where they are after a scroll.
    void scrolledGridListsTheTilesOnScreen()
    {
        Fixture f;
        for (int i = 0; i < 30; ++i)
            addFiles(*f.store, {writePicture(f.pictures.path(), QString("more%1.png").arg(i, 2, 10, QChar('0')), 1 + i * 7)},
                     "B1");
        f.state->setSelection("all");
        f.show(QSize(700, 450));
        QVERIFY2(f.waitForTiles(34), qPrintable(QString::number(f.gridView()->engine().frames().size())));
        zezevaveri::ScatterGridView *view = f.gridView();
        QScrollBar *bar = view->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        bar->setValue(bar->maximum());
        QAccessibleInterface *list = QAccessible::queryAccessibleInterface(view->viewport());
        const QRect screen(view->viewport()->mapToGlobal(QPoint(0, 0)), view->viewport()->size());
        QStringList names;
        for (int i = 0; i < list->childCount(); ++i) {
            QAccessibleInterface *child = list->child(i);
            if (child->role() != QAccessible::ListItem)
                continue;
            names << child->text(QAccessible::Name);
            QVERIFY2(child->rect().intersects(screen), qPrintable(child->text(QAccessible::Name)));
            QVERIFY(!child->state().invisible);
        }
        QVERIFY(!names.isEmpty());
        QVERIFY(names.size() < 34);
        QVERIFY(!names.contains("A"));
        const QString last = f.gridView()->engine().items().back().title;
        QVERIFY(names.contains(last));
        const zezevaveri::LayerPtr lastLayer = view->engine().layer(view->engine().items().back().id);
        const QPoint centre = view->viewport()->mapToGlobal(
            QPoint(int(lastLayer->frame().center().x()), int(lastLayer->frame().center().y()) - bar->value()));
        QAccessibleInterface *hit = list->childAt(centre.x(), centre.y());
        QVERIFY(hit);
        QCOMPARE(hit->text(QAccessible::Name), last);
    }

    // The empty library's line is whole at every width: on one line where
    // there is room, wrapped at the window's smallest size, never cut off.
    void emptyLibraryLineIsWholeAtEveryWidth_data()
    {
        QTest::addColumn<QSize>("from"); // shown at this size first, when valid
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("wraps");
        QTest::newRow("smallest window") << QSize() << QSize(700, 450) << true;
        QTest::newRow("wide window") << QSize() << QSize(1200, 700) << false;
        QTest::newRow("narrowed to the smallest") << QSize(1200, 700) << QSize(700, 450) << true;
        QTest::newRow("widened from the smallest") << QSize(700, 450) << QSize(1200, 700) << false;
    }

    void emptyLibraryLineIsWholeAtEveryWidth()
    {
        QFETCH(QSize, from);
        QFETCH(QSize, size);
        QFETCH(bool, wraps);
        Fixture f(0, false);
        f.state->setSelection("all");
        if (from.isValid()) {
            f.show(from);
            QTRY_COMPARE(f.window->pageTitle()->count(), std::optional<int>(0));
            QTest::qWait(100);
            f.window->setContentSize(size);
        } else {
            f.show(size);
        }
        PageTitle *title = f.window->pageTitle();
        QTRY_COMPARE(title->count(), std::optional<int>(0));
        QLabel *line = nullptr;
        for (QLabel *label : title->findChildren<QLabel *>())
            if (label->text() == title->shownCountText())
                line = label;
        QVERIFY(line && line->isVisible());
        QVERIFY(line->text().startsWith("No pictures yet."));
        QWidget *viewport = f.gridView()->viewport();
        // Laid out for the page's width, as tall as its wrapped text, and
        // inside the page.
        QTRY_COMPARE(f.gridView()->headerView()->width(), viewport->width());
        QTRY_VERIFY(line->height() >= line->heightForWidth(line->width()));
        const QRect onPage(line->mapTo(viewport, QPoint(0, 0)), line->size());
        QVERIFY2(viewport->rect().contains(onPage), qPrintable(QString("%1,%2 %3x%4 in %5 wide")
                                                                    .arg(onPage.x()).arg(onPage.y())
                                                                    .arg(onPage.width()).arg(onPage.height())
                                                                    .arg(viewport->width())));
        QVERIFY(line->fontMetrics().horizontalAdvance(line->text()) > line->width() == wraps);
        QCOMPARE(line->height() > 3 * line->fontMetrics().height() / 2, wraps);
        // The heading is as tall as its lines: neither squeezed nor
        // stretched with gaps between them.
        QTRY_COMPARE(title->height(), title->heightForWidth(title->width()));
        shoot(f.window.get(), QString("empty-library-%1").arg(QTest::currentDataTag()).replace(' ', '-'));
    }

    // "Describe it…" with a model that does not answer says so.
    void describeWithAnUnreachableModelSaysSo()
    {
        Defaults::standard().set(kLanguageModelURLKey, QString("http://127.0.0.1:%1/v1").arg(closedPort()));
        LanguageModel::endAllRests();
        Fixture f;
        f.show();
        f.window->action("newSmartFolder")->trigger();
        QTRY_VERIFY(f.window->smartFolderSheet());
        auto *editor = qobject_cast<SmartFolderEditor *>(f.window->smartFolderSheet());
        QVERIFY(editor);
        QVERIFY(editor->describeField()->isVisible());
        QVERIFY(!editor->describeStatus()->isVisible());
        QTest::keyClicks(editor->describeField(), "warm photos");
        QTest::keyClick(editor->describeField(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!editor->thinking(), 20000);
        QTRY_VERIFY(editor->describeStatus()->isVisible());
        QVERIFY(!editor->describeStatus()->text().isEmpty());
        shoot(editor, "smart-folder-model-unreachable");
        editor->close();
        Defaults::standard().remove(kLanguageModelURLKey);
    }

    // Saving a new smart folder shows it; editing one leaves the selection.
    void savedNewSmartFolderIsSelected()
    {
        Fixture f;
        f.state->setSelection("all");
        f.show();
        f.window->action("newSmartFolder")->trigger();
        QTRY_VERIFY(f.window->smartFolderSheet());
        auto *editor = qobject_cast<SmartFolderEditor *>(f.window->smartFolderSheet());
        QTest::keyClicks(editor->nameField(), "Blue ones");
        const QString id = editor->editedFolder().id;
        QTest::mouseClick(editor->saveButton(), Qt::LeftButton);
        QTRY_COMPARE(f.state->selection(), id);
        QTRY_COMPARE(f.window->pageTitle()->title(), QString("Blue ones"));
        QTRY_COMPARE(f.window->sidebar()->selection(), id);

        f.state->setSelection("B1");
        SmartFolder existing = f.store->smartFolders().first();
        f.state->editSmartFolder(existing);
        QTRY_VERIFY(f.window->smartFolderSheet());
        editor = qobject_cast<SmartFolderEditor *>(f.window->smartFolderSheet());
        QTest::mouseClick(editor->saveButton(), Qt::LeftButton);
        QTRY_VERIFY(!f.window->smartFolderSheet());
        QCOMPARE(f.state->selection(), QString("B1"));
    }
};

QTEST_MAIN(WindowUseTest)
#include "tst_windowuse.moc"
