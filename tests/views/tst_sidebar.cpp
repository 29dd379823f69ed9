#include "PanelFixtures.h"

#include "views/Sidebar.h"
#include "views/WindowBackground.h"

#include <QBuffer>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>

using namespace vellora;

namespace {
SmartFolder folder(const QString &id, const QString &name, const QString &match, const QList<Rule> &rules)
{
    return SmartFolder{id, name, match, rules};
}

LibraryFile sampleLibrary()
{
    Item chair = paneltest::image(QStringLiteral("i1"), {"default"});
    chair.tags = QStringList{"chair", "oak"};
    chair.palette = QStringList{"#C8A070", "#202020"};
    Item lamp = paneltest::image(QStringLiteral("i2"), {"furniture"});
    lamp.tags = QStringList{"lamp"};
    Item poster = paneltest::image(QStringLiteral("i3"), {"posters"});
    Item gone = paneltest::image(QStringLiteral("i4"), {});
    gone.trashedAt = now();
    gone.trashedFrom = QStringList{"default"};
    Item site = paneltest::link(QStringLiteral("l1"), QStringLiteral("https://example.com/a"), {"default"});
    Item store = paneltest::link(QStringLiteral("l2"), QStringLiteral("https://shop.example.org/b"), {"furniture"});
    Item trashedLink = paneltest::link(QStringLiteral("l3"), QStringLiteral("https://example.net"), {});
    trashedLink.trashedAt = now();
    Board lighting = paneltest::board("lighting", "Lighting");
    lighting.zone = QStringLiteral("zone-1");
    lighting.zoneOwner = QStringLiteral("me");
    return paneltest::document(
        {paneltest::board("default", "Inbox"), paneltest::board("furniture", "Furniture"), lighting,
         paneltest::board("posters", "Posters")},
        {chair, lamp, poster, gone, site, store, trashedLink},
        {folder("sf-links", "All links", "all", {Rule::kind("link")}),
         folder("sf-tagged", "Tagged", "any", {Rule::tagsAny({"oak"}), Rule::tagsAny({"lamp"})}),
         folder("sf-empty", "Nothing yet", "all", {})});
}

QStringList collectionIds(const LibraryStore &store)
{
    QStringList ids;
    for (const Board &b : store.collections())
        ids << b.id;
    return ids;
}

void sendDrop(QWidget &target, QMimeData *mime, const QPoint &at)
{
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &enter);
    QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &move);
    QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &drop);
}
} // namespace

class TestSidebar : public QObject {
    Q_OBJECT
private slots:
    void countsOfFixedRowsAndSmartFolders();
    void screenshotWithCollectionsAndSmartFolders();
    void clickSelects();
    void dragWidth_data();
    void dragWidth();
    void narrowFormBelow120();
    void deleteKeepsSelectionSound_data();
    void deleteKeepsSelectionSound();
    void defaultCollectionCannotBeDeleted();
    void renameThroughContextMenu_data();
    void renameThroughContextMenu();
    void reorderByDrop_data();
    void reorderByDrop();
    void dropFilesOntoCollection();
    void plusButtonsCallTheirClosures();
};

void TestSidebar::countsOfFixedRowsAndSmartFolders()
{
    paneltest::Library library(sampleLibrary());
    Sidebar sidebar(*library.store);
    // Two active links (the trashed one does not count).
    QCOMPARE(sidebar.trailingText("links"), QStringLiteral("2"));
    // The other fixed rows show no count: their position is a key hint.
    QCOMPARE(sidebar.trailingText("all"), QString());
    QCOMPARE(sidebar.trailingText("inbox"), QString());
    QCOMPARE(sidebar.trailingText("trash"), QString());
    QCOMPARE(sidebar.shortcutHint("all"), QStringLiteral("Ctrl+Alt+1"));
    QCOMPARE(sidebar.shortcutHint("inbox"), QStringLiteral("Ctrl+Alt+2"));
    QCOMPARE(sidebar.shortcutHint("links"), QStringLiteral("Ctrl+Alt+3"));
    QCOMPARE(sidebar.shortcutHint("trash"), QStringLiteral("Ctrl+Alt+4"));
    QCOMPARE(sidebar.shortcutHint("sf-links"), QString());
    QCOMPARE(sidebar.trailingText("sf-links"), QStringLiteral("2"));
    QCOMPARE(sidebar.trailingText("sf-tagged"), QStringLiteral("2"));
    QCOMPARE(sidebar.trailingText("sf-empty"), QStringLiteral("0"));

    // Counts follow the store.
    library.store->trash({QStringLiteral("l1")});
    QCOMPARE(sidebar.trailingText("links"), QStringLiteral("1"));
    QCOMPARE(sidebar.trailingText("sf-links"), QStringLiteral("1"));
}

void TestSidebar::screenshotWithCollectionsAndSmartFolders()
{
    paneltest::Library library(sampleLibrary());
    Sidebar sidebar(*library.store);
    sidebar.setReduceMotion(true);
    sidebar.setSelection(QStringLiteral("furniture"));
    sidebar.resize(int(sidebar.sidebarWidth()), 560);
    sidebar.show();
    const QImage shot = paneltest::shoot(sidebar, QStringLiteral("sidebar"));
    QCOMPARE(shot.width(), 244);

    const QRect selected = sidebar.rowRect("furniture");
    const QRect other = sidebar.rowRect("posters");
    QCOMPARE(selected.height(), 31);
    // The selected row is lit; an idle row shows the column's own grey.
    QVERIFY(paneltest::brightness(shot, QRect(selected.center().x() + 30, selected.top() + 3, 10, 3))
            > paneltest::brightness(shot, QRect(other.center().x() + 30, other.top() + 3, 10, 3)) + 8);
    // Every row has its title; smart folders and Links their numbers at the end.
    for (const QString id : {"inbox", "links", "furniture", "lighting", "posters", "sf-links", "sf-tagged", "sf-empty"})
        QVERIFY2(paneltest::brightPixels(sidebar.rowRect(id).isEmpty() ? QImage() : shot,
                                         sidebar.rowRect(id).adjusted(30, 6, -40, -6), 120) > 10,
                 qPrintable(id));
    for (const QString id : {"links", "sf-links", "sf-empty"}) {
        const QRect row = sidebar.rowRect(id);
        QVERIFY2(paneltest::brightPixels(shot, QRect(row.right() - 20, row.top() + 6, 18, row.height() - 12), 80) > 3,
                 qPrintable(id));
    }
    // Section headers sit between the groups.
    QVERIFY(sidebar.rowRect("furniture").top() > sidebar.rowRect("trash").bottom() + 28);
    QVERIFY(sidebar.rowRect("sf-links").top() > sidebar.rowRect("posters").bottom() + 28 + 21);
    // The shared collection carries its badge after the title.
    const QRect shared = sidebar.rowRect("lighting");
    QVERIFY(paneltest::brightPixels(shot, QRect(shared.left() + 90, shared.top() + 8, 30, 15), 100) > 3);
}

void TestSidebar::clickSelects()
{
    paneltest::Library library(sampleLibrary());
    Sidebar sidebar(*library.store);
    sidebar.resize(244, 600);
    sidebar.show();
    QSignalSpy spy(&sidebar, &Sidebar::selectionChanged);
    QTest::mouseClick(&sidebar, Qt::LeftButton, {}, sidebar.rowRect("sf-tagged").center());
    QCOMPARE(sidebar.selection(), QStringLiteral("sf-tagged"));
    QCOMPARE(spy.size(), 1);
    QTest::mouseClick(&sidebar, Qt::LeftButton, {}, sidebar.rowRect("links").center());
    QCOMPARE(sidebar.selection(), QStringLiteral("links"));
    QCOMPARE(spy.size(), 2);
}

void TestSidebar::dragWidth_data()
{
    QTest::addColumn<int>("x");
    QTest::addColumn<double>("stored");
    QTest::newRow("below the minimum") << 40 << 88.0;
    QTest::newRow("inside the range") << 200 << 200.0;
    QTest::newRow("beyond the maximum") << 500 << 320.0;
}

void TestSidebar::dragWidth()
{
    QFETCH(int, x);
    QFETCH(double, stored);
    paneltest::Library library(sampleLibrary());
    QWidget window;
    window.resize(700, 600);
    Sidebar sidebar(*library.store, &window);
    window.show();
    QSignalSpy spy(&sidebar, &Sidebar::sidebarWidthChanged);
    const QPoint handle(sidebar.width() - 2, 300);
    QTest::mousePress(&sidebar, Qt::LeftButton, {}, handle);
    QTest::mouseMove(&sidebar, QPoint(x, 300));
    QTest::mouseRelease(&sidebar, Qt::LeftButton, {}, QPoint(x, 300));
    QCOMPARE(sidebar.sidebarWidth(), stored);
    QCOMPARE(spy.last().at(0).toDouble(), stored);
    QCOMPARE(sidebar.width(), int(stored));
}

void TestSidebar::narrowFormBelow120()
{
    paneltest::Library library(sampleLibrary());
    Sidebar sidebar(*library.store);
    sidebar.setSidebarWidth(60); // stored below the minimum: drawn 88 wide
    QCOMPARE(sidebar.width(), 88);
    QCOMPARE(sidebar.rowRect("inbox").left(), 6);
    sidebar.setSidebarWidth(119);
    QCOMPARE(sidebar.rowRect("inbox").left(), 6);
    sidebar.setSidebarWidth(120);
    QCOMPARE(sidebar.rowRect("inbox").left(), 10);
    QCOMPARE(sidebar.rowRect("inbox").right(), 120 - 6 - 1);
}

void TestSidebar::deleteKeepsSelectionSound_data()
{
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QString>("deleted");
    QTest::addColumn<QString>("selectionAfter");
    QTest::newRow("selected collection") << "furniture" << "furniture" << "inbox";
    QTest::newRow("other collection") << "posters" << "furniture" << "posters";
    QTest::newRow("selected smart folder") << "sf-links" << "sf-links" << "inbox";
    QTest::newRow("other smart folder") << "links" << "sf-empty" << "links";
}

void TestSidebar::deleteKeepsSelectionSound()
{
    QFETCH(QString, selected);
    QFETCH(QString, deleted);
    QFETCH(QString, selectionAfter);
    paneltest::Library library(sampleLibrary());
    Sidebar sidebar(*library.store);
    sidebar.setSelection(selected);
    std::unique_ptr<QMenu> menu(sidebar.buildContextMenu(deleted));
    QAction *remove = menu->findChild<QAction *>("delete", Qt::FindDirectChildrenOnly);
    QVERIFY(remove);
    QCOMPARE(remove->text(), QStringLiteral("Delete"));
    remove->trigger();
    QCOMPARE(sidebar.selection(), selectionAfter);
    QVERIFY(sidebar.rowRect(deleted).isEmpty());
    QVERIFY(!library.store->collection(deleted));
    for (const SmartFolder &f : library.store->smartFolders())
        QVERIFY(f.id != deleted);
}

void TestSidebar::defaultCollectionCannotBeDeleted()
{
    paneltest::Library library(sampleLibrary());
    Sidebar sidebar(*library.store);
    std::unique_ptr<QMenu> menu(sidebar.buildContextMenu("default"));
    QCOMPARE(menu->actions().size(), 2);
    QCOMPARE(menu->actions().at(1)->text(), QStringLiteral("Delete"));
    QVERIFY(!menu->actions().at(1)->isEnabled());
    QVERIFY(!sidebar.buildContextMenu("links")); // fixed rows have no menu
    std::unique_ptr<QMenu> folder(sidebar.buildContextMenu("sf-links"));
    QCOMPARE(folder->actions().size(), 1);
    QCOMPARE(Sidebar::sectionPlusLabel("smartFolders"), QStringLiteral("Add to Smart Folders"));
}

void TestSidebar::renameThroughContextMenu_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("finish"); // key that ends the edit
    QTest::addColumn<QString>("nameAfter");
    QTest::newRow("return commits, trimmed") << "  Chairs " << int(Qt::Key_Return) << "Chairs";
    QTest::newRow("escape cancels") << "Chairs" << int(Qt::Key_Escape) << "Furniture";
    QTest::newRow("empty keeps the name") << "" << int(Qt::Key_Return) << "Furniture";
}

void TestSidebar::renameThroughContextMenu()
{
    QFETCH(QString, typed);
    QFETCH(int, finish);
    QFETCH(QString, nameAfter);
    paneltest::Library library(sampleLibrary());
    Sidebar sidebar(*library.store);
    sidebar.resize(244, 600);
    sidebar.show();
    QSignalSpy renaming(&sidebar, &Sidebar::renamingChanged);

    std::unique_ptr<QMenu> menu(sidebar.buildContextMenu("furniture"));
    QCOMPARE(menu->actions().first()->text(), QStringLiteral("Rename"));
    menu->actions().first()->trigger();
    QCOMPARE(sidebar.renaming(), std::optional<QString>("furniture"));
    QLineEdit *field = sidebar.renameField();
    QVERIFY(field->isVisible());
    QCOMPARE(field->text(), QStringLiteral("Furniture"));
    QCOMPARE(field->height(), 22);
    QVERIFY(sidebar.rowRect("furniture").contains(field->geometry().center()));

    field->clear();
    QTest::keyClicks(field, typed);
    QCOMPARE(sidebar.draft(), typed);
    QTest::keyClick(field, Qt::Key(finish));
    QCOMPARE(sidebar.renaming(), std::nullopt);
    QVERIFY(!field->isVisible());
    QCOMPARE(library.store->collection("furniture")->name, nameAfter);
    QCOMPARE(renaming.size(), 2);
}

void TestSidebar::reorderByDrop_data()
{
    QTest::addColumn<QString>("moved");
    QTest::addColumn<QString>("onto");
    QTest::addColumn<bool>("upperHalf");
    QTest::addColumn<QStringList>("order");
    const QStringList unchanged{"default", "furniture", "lighting", "posters"};
    QTest::newRow("last before second") << "posters" << "furniture" << true
                                        << QStringList{"default", "posters", "furniture", "lighting"};
    QTest::newRow("second after last") << "furniture" << "posters" << false
                                       << QStringList{"default", "lighting", "posters", "furniture"};
    // Down to a middle place: the list shrinks by the moved entry first.
    QTest::newRow("second before last") << "furniture" << "posters" << true
                                        << QStringList{"default", "lighting", "furniture", "posters"};
    QTest::newRow("before the default stays after it") << "lighting" << "default" << true
                                                       << QStringList{"default", "lighting", "furniture", "posters"};
    QTest::newRow("the default does not move") << "default" << "posters" << false << unchanged;
    QTest::newRow("onto itself") << "lighting" << "lighting" << true << unchanged;
}

void TestSidebar::reorderByDrop()
{
    QFETCH(QString, moved);
    QFETCH(QString, onto);
    QFETCH(bool, upperHalf);
    QFETCH(QStringList, order);
    paneltest::Library library(sampleLibrary());
    Sidebar sidebar(*library.store);
    sidebar.resize(244, 600);
    sidebar.show();
    const QRect row = sidebar.rowRect(onto);
    auto *mime = new QMimeData;
    mime->setData(Sidebar::kCollectionMime, moved.toUtf8());
    sendDrop(sidebar, mime, QPoint(row.center().x(), upperHalf ? row.top() + 4 : row.bottom() - 4));
    delete mime;
    QCOMPARE(collectionIds(*library.store), order);
    QCOMPARE(library.store->defaultBoardId(), QStringLiteral("default"));
    if (order != QStringList{"default", "furniture", "lighting", "posters"}) {
        QVERIFY(library.store->savePending());
        // The rows follow the new order.
        QVERIFY(sidebar.rowRect(order.at(1)).top() < sidebar.rowRect(order.at(2)).top());
    }
}

void TestSidebar::dropFilesOntoCollection()
{
    paneltest::Library library(sampleLibrary());
    Sidebar sidebar(*library.store);
    sidebar.resize(244, 600);
    sidebar.show();

    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(QColor(200, 40, 40));
    const QString file = library.dir.path() + QStringLiteral("/red.png");
    QVERIFY(picture.save(file));

    // On the Links row a drop is refused: nothing imported.
    auto *refused = new QMimeData;
    refused->setUrls({QUrl::fromLocalFile(file)});
    sendDrop(sidebar, refused, sidebar.rowRect("links").center());
    delete refused;
    QTest::qWait(50);
    QCOMPARE(library.store->items().size(), 7);

    auto *mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(file)});
    sendDrop(sidebar, mime, sidebar.rowRect("posters").center());
    delete mime;
    QTRY_COMPARE_WITH_TIMEOUT(library.store->items().size(), 8, 10000);
    QCOMPARE(library.store->items().last().collectionIds, QStringList{"posters"});
    QCOMPARE(library.store->items().last().originalFilename, QStringLiteral("red.png"));

    // A drop on Inbox goes into the default collection.
    picture.fill(QColor(40, 40, 200));
    const QString blue = library.dir.path() + QStringLiteral("/blue.png");
    QVERIFY(picture.save(blue));
    QList<QUrl> received;
    QString into;
    sidebar.dropURLs = [&](const QList<QUrl> &urls, const QString &collection) {
        received = urls;
        into = collection;
    };
    auto *inbox = new QMimeData;
    inbox->setUrls({QUrl::fromLocalFile(blue), QUrl(QStringLiteral("https://example.com/x"))});
    sendDrop(sidebar, inbox, sidebar.rowRect("inbox").center());
    delete inbox;
    QCOMPARE(into, QStringLiteral("default"));
    QCOMPARE(received.size(), 2);
}

void TestSidebar::plusButtonsCallTheirClosures()
{
    paneltest::Library library(sampleLibrary());
    Sidebar sidebar(*library.store);
    sidebar.resize(244, 600);
    sidebar.show();
    int boards = 0, folders = 0, entry = 0;
    sidebar.newBoard = [&] { ++boards; };
    sidebar.newSmartFolder = [&] { ++folders; };
    sidebar.plusEntries = {{QStringLiteral("New Collection"), QStringLiteral("tray.2"), QStringLiteral("Ctrl+N"),
                            [&] { ++entry; }},
                           {QStringLiteral("Add Link…"), QStringLiteral("link"), QStringLiteral("Ctrl+L"), [] {}}};
    QTest::mouseClick(&sidebar, Qt::LeftButton, {}, sidebar.sectionPlusRect("collections").center());
    QTest::mouseClick(&sidebar, Qt::LeftButton, {}, sidebar.sectionPlusRect("smartFolders").center());
    QCOMPARE(boards, 1);
    QCOMPARE(folders, 1);

    QSignalSpy plus(&sidebar, &Sidebar::showingPlusChanged);
    QTest::mouseClick(&sidebar, Qt::LeftButton, {}, sidebar.plusButtonRect().center());
    QVERIFY(sidebar.showingPlus());
    PlusMenu *menu = sidebar.plusMenu();
    QVERIFY(menu);
    QCOMPARE(menu->entries().size(), 2);
    paneltest::shoot(*menu, QStringLiteral("plusmenu"));
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->rowRect(0).center());
    QCOMPARE(entry, 1);
    QTRY_VERIFY(!sidebar.showingPlus());
    QCOMPARE(plus.size(), 2);
}

QTEST_MAIN(TestSidebar)
#include "tst_sidebar.moc"
