// The grid screen driven as a person would: clicks, keys, the tile menu,
// drops and pastes, against a real library on a temporary folder.
#include "GridFixtures.h"
#include "SeamGuard.h"

#include "views/CollectionContents.h"
#include "views/GridScreen.h"
#include "views/LiveText.h"
#include "views/QuickLook.h"
#include "views/ShareMenu.h"
#include "views/StageOverlay.h"

#include "enrichment/LinkPipeline.h"
#include "library/Media.h"

#include "ZezevavEri/ScatterGridView.h"

#include "views/WindowBackground.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QContextMenuEvent>
#include <QDir>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <optional>

using namespace vellora;

namespace {

struct Screen {
    gridtest::Library lib;
    GridScreen screen{*lib.store};
    QStringList pictures;
    QStringList links;

    explicit Screen(int pictureCount = 4, int linkCount = 1)
    {
        QList<QColor> colours;
        for (int i = 0; i < pictureCount; ++i)
            colours << QColor::fromHsv((i * 67) % 360, 160, 220);
        pictures = lib.addPictures(colours);
        QList<Item> made;
        for (int i = 0; i < linkCount; ++i) {
            const QString id = QStringLiteral("LINK-%1").arg(i);
            made << gridtest::link(id, QStringLiteral("http://127.0.0.1:1/page-%1").arg(i), {lib.inbox()});
            links << id;
        }
        lib.store->appendItems(made);
        screen.resize(900, 600);
        screen.show();
        show(QStringLiteral("all"));
    }

    // What the main window does when the section or the library changes.
    void show(const QString &section)
    {
        screen.setCollectionId(section);
        screen.setVisibleItems(itemsInCollection(*lib.store, section));
        grid()->layout();
    }
    void refresh() { show(screen.collectionId()); }

    zezevaveri::ScatterGridView *grid() const { return screen.gridView(); }
    QWidget *viewport() const { return grid()->viewport(); }
    QPoint centreOf(const QString &id) const
    {
        const int index = grid()->engine().indexOf(id);
        if (index < 0)
            return {};
        const QRectF frame = grid()->engine().frames().at(size_t(index));
        return frame.center().toPoint() - QPoint(0, grid()->verticalScrollBar()->value());
    }
    void click(const QString &id, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::mouseClick(viewport(), Qt::LeftButton, modifiers, centreOf(id));
    }
    void select(const QStringList &ids)
    {
        for (const QString &id : ids)
            click(id, Qt::ControlModifier);
        QTRY_COMPARE(screen.selectedIds(), ids);
    }
    void clearSelection()
    {
        screen.controller()->select({});
        QTRY_COMPARE(screen.selectedIds(), QStringList{});
    }
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(grid(), Qt::Key(key), modifiers);
    }
    // Right-clicks the tile; `act` runs on the open menu, which is closed after.
    void withMenuOf(const QString &id, const std::function<void(QMenu *)> &act)
    {
        bool ran = false;
        QTimer::singleShot(0, [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (menu) {
                act(menu);
                ran = true;
                menu->close();
            }
        });
        const QPoint at = centreOf(id);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport()->mapToGlobal(at));
        QApplication::sendEvent(viewport(), &event);
        QVERIFY(ran);
    }
    QStringList menuEntries(const QString &id)
    {
        QStringList entries;
        withMenuOf(id, [&](QMenu *menu) {
            for (QAction *action : menu->actions())
                entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
        });
        return entries;
    }
    void chooseFromMenu(const QString &id, const QString &entry)
    {
        // The entry runs after the menu closed, as a real choice does.
        QAction *chosen = nullptr;
        QPointer<QMenu> open;
        QTimer::singleShot(0, [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            QVERIFY(menu);
            for (QAction *action : menu->actions())
                if (action->text() == entry)
                    chosen = action;
            QVERIFY2(chosen, qPrintable(entry));
            menu->setActiveAction(chosen);
            QTest::keyClick(menu, Qt::Key_Return);
        });
        const QPoint at = centreOf(id);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport()->mapToGlobal(at));
        QApplication::sendEvent(viewport(), &event);
        QVERIFY(chosen);
    }
    void openTile(const QString &id)
    {
        click(id);
        QTRY_COMPARE(screen.openedId(), std::optional<QString>(id));
    }
    int count(const QString &section) const { return int(itemsInCollection(*lib.store, section).size()); }
};

// Answers every permanent-delete question and remembers it while it lives;
// then the answer it found is back, so nothing calls into it once gone.
struct AlertAnswer {
    QStringList asked;
    explicit AlertAnswer(bool accept) : m_found(destructiveAlert())
    {
        setDestructiveAlert([this, accept](QWidget *, const QString &message, const QString &, const QString &) {
            asked << message;
            return accept;
        });
    }
    ~AlertAnswer() { setDestructiveAlert(std::move(m_found)); }

private:
    DestructiveAlert m_found;
};

QStringList entriesFor(std::initializer_list<const char *> list)
{
    QStringList out;
    for (const char *entry : list)
        out << QString::fromUtf8(entry);
    return out;
}

} // namespace

class GridScreenTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void tiles_data();
    void tiles();
    void screenshot();
    void tileMenu_data();
    void tileMenu();
    void deleteRule_data();
    void deleteRule();
    void trashingOrDeletingTheOpenedItemClosesIt_data();
    void trashingOrDeletingTheOpenedItemClosesIt();
    void selectionForgetsItemsThatLeft();
    void putBack();
    void pasteImageLeavesNoFile();
    void pasteLinkAndAddresses();
    void dropFiles_data();
    void dropFiles();
    void keys();
    void content_data();
    void content();
    void hoverInfoButtonOpens();
    void unsafeIdsNeverReachThePath();
    void liveTextSelectsAndCopies();
    void liveTextKeepsOnlyTheLastPicture();
    void recognisesRealWords();

private:
    QString m_temp;
    std::optional<SeamGuard> m_seams;
};

void GridScreenTest::initTestCase()
{
    // A temporary folder of our own, so that a pasted file left behind shows.
    m_temp = QDir(qEnvironmentVariable("VELLORA_TEST_HOME", QDir::tempPath())).filePath("tmp");
    QDir(m_temp).removeRecursively();
    QVERIFY(QDir().mkpath(m_temp));
    qputenv("TMPDIR", m_temp.toUtf8());
    QCOMPARE(QDir::tempPath(), QDir(m_temp).absolutePath());
    // Links never reach a browser here.
    LinkPipelineServices::installed().openURL = [](const QUrl &) {};
}

void GridScreenTest::init() { m_seams.emplace(); }

void GridScreenTest::cleanup() { m_seams.reset(); }

void GridScreenTest::tiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("title");
    QTest::addColumn<double>("snapshot");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("waiting");
    QTest::addColumn<QString>("expectedTitle");
    QTest::addColumn<double>("aspect");
    QTest::addColumn<int>("revision");
    QTest::addColumn<bool>("loading");
    QTest::newRow("image, file name without extension") << "image" << QString() << -1.0 << 300 << false << "holiday.photo" << 2.0 << 0 << false;
    QTest::newRow("image with title") << "image" << "Sea" << -1.0 << 300 << false << "Sea" << 2.0 << 0 << false;
    QTest::newRow("image waiting for the cloud") << "image" << "Sea" << -1.0 << 300 << true << "Sea" << 2.0 << 0 << true;
    QTest::newRow("zero height counts as one") << "image" << "Flat" << -1.0 << 0 << false << "Flat" << 600.0 << 0 << false;
    QTest::newRow("link without snapshot spins") << "link" << "Page" << -1.0 << 300 << false << "Page" << 2.0 << 0 << true;
    QTest::newRow("link with snapshot") << "link" << "Page" << 812345678.9 << 300 << false << "Page" << 2.0 << 812345678 << false;
}

void GridScreenTest::tiles()
{
    QFETCH(QString, kind);
    QFETCH(QString, title);
    QFETCH(double, snapshot);
    QFETCH(int, height);
    QFETCH(bool, waiting);
    Item item;
    item.id = "X";
    item.kind = kind;
    item.originalFilename = "holiday.photo.jpeg";
    item.pixelWidth = 600;
    item.pixelHeight = height;
    if (!title.isEmpty())
        item.title = title;
    if (snapshot >= 0)
        item.snapshotDate = snapshot;
    const zezevaveri::ScatterItem tile = GridScreen::scatterItem(item, waiting);
    QCOMPARE(tile.id, QString("X"));
    QTEST(tile.title, "expectedTitle");
    QTEST(tile.aspect, "aspect");
    QTEST(tile.revision, "revision");
    QTEST(tile.loading, "loading");
    QCOMPARE(tile.subtitle, QString());
    QCOMPARE(tile.external, kind == "link");
}

void GridScreenTest::screenshot()
{
    Screen s(6, 1);
    s.screen.resize(1000, 620);
    s.grid()->layout();
    // Each picture shows its own colour at the rim of its tile (the middle
    // of the fixture is darker); the import keeps no order, the file name
    // tells which colour it was.
    const auto mismatches = [&](const QImage &shot) {
        QStringList wrong;
        const double dpr = shot.devicePixelRatio();
        for (const QString &id : s.pictures) {
            const int index = s.grid()->engine().indexOf(id);
            const QRectF frame = s.grid()->engine().frames().at(size_t(index));
            const QPoint probe = (frame.topLeft() + QPointF(frame.width() * 0.15, frame.height() * 0.15)).toPoint();
            const QColor seen = shot.pixelColor(s.viewport()->mapTo(&s.screen, probe) * dpr);
            const int made = s.lib.store->item(id)->originalFilename.section('-', 2, 2).section('.', 0, 0).toInt();
            const QColor want = QColor::fromHsv((made * 67) % 360, 160, 220);
            if (qAbs(seen.red() - want.red()) >= 24 || qAbs(seen.green() - want.green()) >= 24 ||
                qAbs(seen.blue() - want.blue()) >= 24)
                wrong << QStringLiteral("%1: %2 instead of %3").arg(id, seen.name(), want.name());
        }
        return wrong;
    };
    // Every visible tile gets its picture from the decode threads and fades in.
    QTRY_VERIFY_WITH_TIMEOUT(!s.grid()->isTicking() && mismatches(s.screen.grab().toImage()).isEmpty(), 20000);
    const QImage shot = s.screen.grab().toImage();
    const QString path = QDir(QCoreApplication::applicationDirPath()).filePath("gridscreen.png");
    QVERIFY(shot.save(path));
    qInfo("screenshot: %s", qPrintable(path));
    const double dpr = shot.devicePixelRatio();
    QVERIFY2(mismatches(shot).isEmpty(), qPrintable(mismatches(shot).join("; ")));
    // The corner is the window grey, the gaps too.
    QCOMPARE(shot.pixelColor(2, 2), windowBackground());
    // The link without a picture shows its rendered cover, not the grey.
    const int link = s.grid()->engine().indexOf(s.links.first());
    const QRectF frame = s.grid()->engine().frames().at(size_t(link));
    QVERIFY(shot.pixelColor(s.viewport()->mapTo(&s.screen, frame.center().toPoint()) * dpr) != windowBackground());
}

void GridScreenTest::tileMenu_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QList<int>>("selection");
    QTest::addColumn<int>("clicked"); // an index into the pictures; -1 is the link
    QTest::addColumn<QStringList>("entries");
    const QStringList one = entriesFor({"Quick Look", "Share", "Find Similar", "-", "Move to Trash"});
    QTest::newRow("picture alone") << "all" << QList<int>{} << 0 << one;
    QTest::newRow("link alone") << "all" << QList<int>{} << -1
                                << entriesFor({"Quick Look", "Open in Browser", "Refresh Snapshot", "Share",
                                               "Find Similar", "-", "Move to Trash"});
    QTest::newRow("two selected, right-click on one of them")
        << "all" << QList<int>{0, 1} << 1
        << entriesFor({"Quick Look", "Share", "Find Similar", "-", "Move 2 Items to Trash"});
    QTest::newRow("three selected") << "all" << QList<int>{0, 1, 2} << 0
                                    << entriesFor({"Quick Look", "Share", "Find Similar", "-", "Move 3 Items to Trash"});
    QTest::newRow("right-click beside the selection acts on that tile alone") << "all" << QList<int>{0, 1} << 2 << one;
    QTest::newRow("trash, one") << "trash" << QList<int>{} << 0
                                << entriesFor({"Quick Look", "Share", "Find Similar", "-", "Put Back",
                                               "Delete Permanently…"});
    QTest::newRow("trash, two selected") << "trash" << QList<int>{0, 1} << 0
                                         << entriesFor({"Quick Look", "Share", "Find Similar", "-", "Put Back",
                                                        "Delete Permanently…"});
    QTest::newRow("trash, link") << "trash" << QList<int>{} << -1
                                 << entriesFor({"Quick Look", "Open in Browser", "Refresh Snapshot", "Share",
                                                "Find Similar", "-", "Put Back", "Delete Permanently…"});
}

void GridScreenTest::tileMenu()
{
    QFETCH(QString, section);
    QFETCH(QList<int>, selection);
    QFETCH(int, clicked);
    QFETCH(QStringList, entries);
    Screen s(3, 1);
    if (section == "trash") {
        s.lib.store->trash(s.pictures + s.links);
        s.show("trash");
    }
    QStringList selected;
    for (int index : selection)
        selected << s.pictures.at(index);
    s.select(selected);
    const QString id = clicked < 0 ? s.links.first() : s.pictures.at(clicked);
    QCOMPARE(s.menuEntries(id), entries);
}

void GridScreenTest::deleteRule_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<int>("selected");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<bool>("byMenu");
    QTest::addColumn<QString>("asked");
    QTest::addColumn<int>("trashed");
    QTest::addColumn<int>("remaining");
    QTest::newRow("Delete key outside the trash trashes without asking") << "all" << 1 << true << false << QString() << 1 << 5;
    QTest::newRow("Delete key trashes the whole selection") << "all" << 2 << true << false << QString() << 2 << 5;
    QTest::newRow("menu outside the trash") << "all" << 2 << true << true << QString() << 2 << 5;
    QTest::newRow("trash, Delete key, accepted") << "trash" << 1 << true << false << "Delete this item permanently?" << 4 << 4;
    QTest::newRow("trash, Delete key, cancelled") << "trash" << 1 << false << false << "Delete this item permanently?" << 5 << 5;
    QTest::newRow("trash, menu, two, accepted") << "trash" << 2 << true << true << "Delete 2 items permanently?" << 3 << 3;
    QTest::newRow("trash, menu, two, cancelled") << "trash" << 2 << false << true << "Delete 2 items permanently?" << 5 << 5;
}

void GridScreenTest::deleteRule()
{
    QFETCH(QString, section);
    QFETCH(int, selected);
    QFETCH(bool, accept);
    QFETCH(bool, byMenu);
    QFETCH(QString, asked);
    Screen s(4, 1);
    if (section == "trash") {
        s.lib.store->trash(s.pictures + s.links);
        s.show("trash");
    }
    // The trash lists the pictures last trashed first; all went at once.
    const QStringList targets = s.pictures.mid(0, selected);
    s.select(targets);
    AlertAnswer answer(accept);
    if (byMenu)
        s.chooseFromMenu(targets.first(), section == "trash" ? "Delete Permanently…"
                                          : selected == 1     ? "Move to Trash"
                                                              : QStringLiteral("Move %1 Items to Trash").arg(selected));
    else
        s.key(Qt::Key_Delete);

    QCOMPARE(answer.asked, asked.isEmpty() ? QStringList{} : QStringList{asked});
    QTEST(s.count("trash"), "trashed");
    QTEST(int(s.lib.store->items().size()), "remaining");
    if (section != "trash") {
        // Trashing clears the selection.
        QTRY_COMPARE(s.screen.selectedIds(), QStringList{});
        for (const QString &id : targets)
            QVERIFY(s.lib.store->item(id)->trashedAt.has_value());
    } else if (accept) {
        for (const QString &id : targets) {
            QVERIFY(!s.lib.store->item(id));
            QVERIFY(!QFile::exists(thumbnailPath(s.lib.root(), id + ".jpg")));
        }
    }
}

void GridScreenTest::trashingOrDeletingTheOpenedItemClosesIt_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Delete key on the open picture") << "key";
    QTest::newRow("trashed elsewhere, the list follows") << "elsewhere";
    QTest::newRow("deleted permanently from the trash") << "trash";
}

void GridScreenTest::trashingOrDeletingTheOpenedItemClosesIt()
{
    QFETCH(QString, how);
    Screen s(3, 0);
    const QString id = s.pictures.at(1);
    if (how == "trash") {
        s.lib.store->trash(s.pictures);
        s.show("trash");
    }
    QSignalSpy opened(&s.screen, &GridScreen::openedIdChanged);
    s.openTile(id);
    AlertAnswer answer(true);
    if (how == "elsewhere") {
        s.lib.store->trash({id});
        s.refresh();
    } else {
        s.key(Qt::Key_Delete);
        s.refresh();
    }
    QCOMPARE(s.screen.openedId(), std::nullopt);
    QVERIFY(!s.grid()->engine().opened());
    QVERIFY(!s.screen.selectedIds().contains(id));
    QCOMPARE(opened.last().first().toString(), QString());
    QVERIFY(!s.screen.stageOverlay()->item());
    // The grid goes on: another tile opens and closes as before.
    s.openTile(s.pictures.at(2));
    s.key(Qt::Key_Escape);
    QTRY_COMPARE(s.screen.openedId(), std::nullopt);
}

void GridScreenTest::selectionForgetsItemsThatLeft()
{
    Screen s(3, 0);
    s.select({s.pictures.at(0), s.pictures.at(1)});
    s.lib.store->trash({s.pictures.at(0)});
    s.refresh();
    QCOMPARE(s.screen.selectedIds(), QStringList{s.pictures.at(1)});
    QCOMPARE(s.grid()->selected(), QStringList{s.pictures.at(1)});
    QCOMPARE(s.menuEntries(s.pictures.at(1)).last(), QString("Move to Trash"));
}

void GridScreenTest::putBack()
{
    Screen s(3, 0);
    s.lib.store->trash(s.pictures);
    s.show("trash");
    s.select({s.pictures.at(0), s.pictures.at(2)});
    s.chooseFromMenu(s.pictures.at(2), "Put Back");
    QCOMPARE(s.count("trash"), 1);
    QCOMPARE(s.count("inbox"), 2);
}

void GridScreenTest::pasteImageLeavesNoFile()
{
    Screen s(1, 0);
    const QString board = s.lib.store->createCollection("Moodboard");
    s.show(board);
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        gridtest::picture(64, 48, Qt::magenta).save(&buffer, "PNG");
    }
    auto *mime = new QMimeData;
    mime->setData("image/png", png);
    QApplication::clipboard()->setMimeData(mime);
    QSignalSpy finished(&s.screen, &GridScreen::pasteFinished);
    s.key(Qt::Key_V, Qt::ControlModifier);
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toInt(), 1);
    QCOMPARE(s.count(board), 1);
    const Item pasted = itemsInCollection(*s.lib.store, board).first();
    QVERIFY(pasted.originalFilename.startsWith("Pasted "));
    QVERIFY(pasted.originalFilename.endsWith(".png"));
    QCOMPARE(pasted.pixelWidth, 64);
    QCOMPARE(QDir(m_temp).entryList(QDir::Files | QDir::Hidden), QStringList{});

    // Picture data of a type without a known extension is kept as "tiff".
    auto *odd = new QMimeData;
    odd->setData("image/x-vellora-unknown", png);
    QApplication::clipboard()->setMimeData(odd);
    s.key(Qt::Key_V, Qt::ControlModifier);
    QTRY_COMPARE(finished.size(), 2);
    QCOMPARE(QDir(m_temp).entryList(QDir::Files | QDir::Hidden), QStringList{});
}

void GridScreenTest::pasteLinkAndAddresses()
{
    Screen s(1, 0);
    // A link as text comes in with "https://" put in front.
    QApplication::clipboard()->setText("  127.0.0.1:1/pasted  ");
    s.key(Qt::Key_V, Qt::ControlModifier);
    QTRY_COMPARE(s.count("links"), 1);
    QCOMPARE(itemsInCollection(*s.lib.store, "links").first().sourceURL.value_or(QString()),
             QString("https://127.0.0.1:1/pasted"));
    QCOMPARE(itemsInCollection(*s.lib.store, "links").first().collectionIds, QStringList{s.lib.inbox()});

    // Text that is no link adds nothing.
    QApplication::clipboard()->setText("just some words");
    s.key(Qt::Key_V, Qt::ControlModifier);
    QTest::qWait(50);
    QCOMPARE(s.lib.store->items().size(), 2);

    // Addresses come first: a file and a link together.
    const QString file = s.lib.dir.filePath("clip.png");
    gridtest::picture(50, 50, Qt::cyan).save(file);
    auto *mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(file), QUrl("http://127.0.0.1:1/second")});
    mime->setText("ignored text");
    QApplication::clipboard()->setMimeData(mime);
    s.key(Qt::Key_V, Qt::ControlModifier);
    QTRY_COMPARE(s.lib.store->items().size(), 4);
    QCOMPARE(s.count("links"), 2);
}

void GridScreenTest::dropFiles_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<bool>("intoSecond");
    QTest::newRow("on all: the first collection") << "all" << false;
    QTest::newRow("on a collection: that collection") << "second" << true;
    QTest::newRow("on the trash: the first collection") << "trash" << false;
}

void GridScreenTest::dropFiles()
{
    QFETCH(QString, section);
    QFETCH(bool, intoSecond);
    Screen s(1, 0);
    const QString second = s.lib.store->createCollection("Second");
    s.show(section == "second" ? second : section);
    QList<QUrl> urls;
    for (int i = 0; i < 3; ++i) {
        const QString file = s.lib.dir.filePath(QStringLiteral("drop-%1.png").arg(i));
        gridtest::picture(40 + i * 10, 40, QColor::fromHsv(i * 100, 200, 200)).save(file);
        urls << QUrl::fromLocalFile(file);
    }
    urls << QUrl("ftp://files.example.org/refused");
    QMimeData mime;
    mime.setUrls(urls);
    const QPoint at(20, s.viewport()->height() - 20);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(s.viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(s.viewport(), &drop);
    QTRY_COMPARE(s.lib.store->items().size(), 4);
    QTest::qWait(30);
    QCOMPARE(s.lib.store->items().size(), 4);
    QCOMPARE(s.count(second), intoSecond ? 3 : 0);
    QCOMPARE(s.count("inbox"), intoSecond ? 1 : 4);
}

void GridScreenTest::keys()
{
    Screen s(2, 1);
    QuickLook *look = s.screen.quickLook();
    const QString picture = s.pictures.first();

    // Space toggles Quick Look of the selected picture's original.
    s.select({picture});
    s.key(Qt::Key_Space);
    QTRY_VERIFY(look->isVisible());
    QCOMPARE(look->path(), originalPath(s.lib.root(), s.lib.store->item(picture)->storedFilename));
    QTRY_VERIFY(!look->image().isNull());
    QCOMPARE(look->image().size(), QSize(160, 120));
    const QImage preview = look->grab().toImage();
    QVERIFY(preview.save(QDir(QCoreApplication::applicationDirPath()).filePath("quicklook.png")));
    // The picture fills the preview's middle; the window grey shows at most
    // at its sides.
    const QColor middle = preview.pixelColor(preview.width() / 2, preview.height() / 8);
    QVERIFY2(middle != windowBackground(), qPrintable(middle.name()));
    s.key(Qt::Key_Space);
    QTRY_VERIFY(!look->isVisible());
    // Escape closes it too, from the grid or from the preview itself.
    s.key(Qt::Key_Space);
    QTRY_VERIFY(look->isVisible());
    s.key(Qt::Key_Escape);
    QVERIFY(!look->isVisible());
    s.key(Qt::Key_Space);
    QTRY_VERIFY(look->isVisible());
    QTest::keyClick(look, Qt::Key_Escape);
    QVERIFY(!look->isVisible());

    // Ctrl+Return on a picture opens nothing in the browser; on a link it
    // does, and the open is counted.
    QList<QUrl> opened;
    LinkPipelineServices::installed().openURL = [&](const QUrl &url) { opened << url; };
    s.key(Qt::Key_Return, Qt::ControlModifier);
    QVERIFY(opened.isEmpty());
    s.key(Qt::Key_Escape); // Return alone opens the picture on the stage
    QTRY_COMPARE(s.screen.openedId(), std::nullopt);
    s.clearSelection();
    s.select({s.links.first()});
    s.key(Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(opened, QList<QUrl>{QUrl("http://127.0.0.1:1/page-0")});
    QCOMPARE(s.lib.store->item(s.links.first())->openCount.value_or(0), 1);
    // A plain click on a link opens it as well, never on the stage.
    s.clearSelection();
    s.click(s.links.first());
    QCOMPARE(opened.size(), 2);
    QCOMPARE(s.screen.openedId(), std::nullopt);

    // Space on an id that left the library does nothing (the grid still
    // shows it until the window refreshes).
    s.select({s.pictures.at(1)});
    s.lib.store->deletePermanently(s.pictures.at(1));
    s.key(Qt::Key_Space);
    QTest::qWait(20);
    QVERIFY(!look->isVisible());
}

void GridScreenTest::content_data()
{
    QTest::addColumn<bool>("link");
    QTest::addColumn<double>("pixels");
    QTest::addColumn<bool>("full");
    QTest::addColumn<QSize>("expected");
    // The picture is 1600 x 1200; its thumbnail 1024 x 768.
    QTest::newRow("thumbnail, small tile") << false << 512.0 << false << QSize(512, 384);
    QTest::newRow("thumbnail never above its own size") << false << 4000.0 << false << QSize(1024, 768);
    QTest::newRow("full resolution from the original") << false << 4000.0 << true << QSize(1600, 1200);
    QTest::newRow("full resolution at the stage size") << false << 1400.0 << true << QSize(1400, 1050);
    QTest::newRow("link without a picture: its cover") << true << 640.0 << false << QSize(640, 400);
    QTest::newRow("link cover also when opened") << true << 2000.0 << true << QSize(1280, 800);
}

void GridScreenTest::content()
{
    QFETCH(bool, link);
    QFETCH(double, pixels);
    QFETCH(bool, full);
    Screen s(0, 1);
    const QStringList big = s.lib.addPictures({Qt::darkCyan}, {}, QSize(1600, 1200));
    s.refresh();
    const QString id = link ? s.links.first() : big.first();
    // The grid calls its source on the decode threads; so does this test.
    const zezevaveri::ContentSource content = s.grid()->engine().content;
    QImage image;
    QThread *worker = QThread::create([&] { image = content(id, pixels, full); });
    worker->start();
    QVERIFY(worker->wait(20000));
    delete worker;
    QTEST(image.size(), "expected");
    QVERIFY(content("unknown", pixels, full).isNull());
}

void GridScreenTest::hoverInfoButtonOpens()
{
    Screen s(2, 0);
    const QString id = s.pictures.at(1);
    QMouseEvent move(QEvent::MouseMove, s.centreOf(id), s.viewport()->mapToGlobal(s.centreOf(id)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(s.viewport(), &move);
    zezevaveri::PassthroughHost *host = s.grid()->hoverHost();
    QTRY_VERIFY(host->isVisible() && host->content());
    QWidget *info = host->content();
    QCOMPARE(host->geometry().size(), s.grid()->engine().frames().at(size_t(s.grid()->engine().indexOf(id))).size().toSize());
    // The round button in the tile's top right corner opens the tile.
    QTest::mouseClick(info, Qt::LeftButton, Qt::NoModifier, QPoint(info->width() - 21, 21));
    QTRY_COMPARE(s.screen.openedId(), std::optional<QString>(id));
}

void GridScreenTest::unsafeIdsNeverReachThePath()
{
    // An item whose id would climb out of the thumbnails folder, and a
    // stored name that would too: the grid gets no picture, and the file
    // outside is never read.
    gridtest::Library lib;
    const QString outside = lib.dir.filePath("secret.jpg");
    gridtest::picture(30, 30, Qt::red).save(outside);
    QDir().mkpath(lib.root() + "/thumbnails");
    Item evil = gridtest::link("../secret", "http://127.0.0.1:1/x", {lib.inbox()});
    evil.kind = "image";
    evil.storedFilename = "../../secret.jpg";
    lib.store->appendItems({evil});
    GridScreen screen(*lib.store);
    screen.setVisibleItems(itemsInCollection(*lib.store, "all"));
    // The screen's own source, as the grid calls it.
    const zezevaveri::ContentSource content = screen.gridView()->engine().content;
    QVERIFY(content);
    QVERIFY(content("../secret", 256, false).isNull());
    QVERIFY(content("../secret", 256, true).isNull());
    // Space on it: no preview of a file outside the library.
    QVERIFY(!screen.quickLookItem("../secret"));
    QVERIFY(!screen.quickLook()->isVisible());
    // Nor is it handed to other programs (the private copy's folder is named
    // by the id).
    QVERIFY(!hasExport(*lib.store->item("../secret")));
    QVERIFY(screen.gridView()->dragURL("../secret").isEmpty());
}

void GridScreenTest::liveTextSelectsAndCopies()
{
    Screen s(2, 0);
    const QString id = s.pictures.first();
    // Two lines of words at known places of the 160 x 120 picture.
    s.screen.liveText()->setRecognizer([](const QImage &image) {
        if (image.size() != QSize(160, 120))
            return QList<RecognizedWord>{};
        return QList<RecognizedWord>{{"Hello", QRect(10, 10, 40, 14), 0},
                                     {"brave", QRect(60, 10, 40, 14), 0},
                                     {"world", QRect(10, 40, 40, 14), 1}};
    });
    QSignalSpy ready(s.screen.liveText(), &LiveText::wordsReady);
    s.openTile(id);
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.first().first().toString(), id);
    StageOverlay *stage = s.screen.stageOverlay();
    QTRY_VERIFY(stage->isVisible());
    QTRY_VERIFY(stage->liveTextButton()->isVisible());

    // A drag from the first word to the third selects across the line.
    LiveText *text = s.screen.liveText();
    const QPoint from = text->wordRect(0).center().toPoint();
    const QPoint to = text->wordRect(2).center().toPoint();
    QTest::mousePress(text, Qt::LeftButton, Qt::NoModifier, from);
    QMouseEvent move(QEvent::MouseMove, to, text->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(text, &move);
    QTest::mouseRelease(text, Qt::LeftButton, Qt::NoModifier, to);
    QCOMPARE(text->selectedText(), QString("Hello brave\nworld"));
    QApplication::clipboard()->clear();
    s.key(Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QString("Hello brave\nworld"));

    // On the stage: the picture large, its words boxed, the selection blue.
    QTRY_VERIFY(!s.grid()->isTicking());
    const QImage shot = s.screen.grab().toImage();
    QVERIFY(shot.save(QDir(QCoreApplication::applicationDirPath()).filePath("gridscreen-stage.png")));
    const QPoint inWord = stage->mapTo(&s.screen, text->wordRect(1).center().toPoint()) * shot.devicePixelRatio();
    const QPoint beside = stage->mapTo(&s.screen, QPoint(stage->width() - 20, 20)) * shot.devicePixelRatio();
    const QColor selected = shot.pixelColor(inWord);
    const QColor picture = shot.pixelColor(beside);
    QVERIFY2(selected.blue() > picture.blue() + 40, qPrintable(selected.name() + " on " + picture.name()));

    // The capsule selects all; a press beside the words reaches the grid,
    // which closes the stage.
    text->clearSelection();
    QTest::mouseClick(stage->liveTextButton(), Qt::LeftButton);
    QVERIFY(text->allSelected());
    QTest::mouseClick(text, Qt::LeftButton, Qt::NoModifier, QPoint(text->width() - 5, text->height() / 2));
    QTRY_COMPARE(s.screen.openedId(), std::nullopt);
    QVERIFY(!text->hasSelection());
}

void GridScreenTest::liveTextKeepsOnlyTheLastPicture()
{
    gridtest::Library lib;
    const QStringList ids = lib.addPictures({Qt::red, Qt::green, Qt::blue});
    LiveText text;
    text.resize(160, 120);
    std::atomic<int> reads{0};
    text.setRecognizer([&](const QImage &) {
        ++reads;
        return QList<RecognizedWord>{{"word", QRect(1, 1, 20, 10), 0}};
    });
    QSignalSpy ready(&text, &LiveText::wordsReady);
    for (const QString &id : ids)
        text.analyze(id, originalPath(lib.root(), lib.store->item(id)->storedFilename));
    QTRY_COMPARE(ready.size(), 1);
    QTest::qWait(50);
    QCOMPARE(ready.size(), 1);
    QCOMPARE(ready.first().first().toString(), ids.last());
    QVERIFY(reads.load() >= 1 && reads.load() <= 3);
    QCOMPARE(text.words().size(), 1);
    // Closing the stage clears the words; a missing original gives none.
    text.analyze(std::nullopt, QString());
    QVERIFY(text.words().isEmpty());
    text.analyze(QString("gone"), lib.root() + "/originals/gone.png");
    QTRY_COMPARE(ready.size(), 2);
    QVERIFY(text.words().isEmpty());
}

void GridScreenTest::recognisesRealWords()
{
    if (!TextRecognizer::isAvailable())
        QSKIP("no text engine here");
    QImage image(900, 260, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        QFont font("DejaVu Sans");
        font.setPixelSize(64);
        p.setFont(font);
        p.setPen(Qt::black);
        p.drawText(QPoint(40, 110), "HELLO VELLORA");
        p.drawText(QPoint(40, 210), "GRID");
    }
    const QList<RecognizedWord> words = TextRecognizer::recognizeWords(image);
    QStringList texts;
    for (const RecognizedWord &word : words)
        texts << word.text;
    QCOMPARE(texts, (QStringList{"HELLO", "VELLORA", "GRID"}));
    QCOMPARE(words.at(0).line, 0);
    QCOMPARE(words.at(1).line, 0);
    QCOMPARE(words.at(2).line, 1);
    QVERIFY(words.at(0).box.left() >= 30 && words.at(0).box.left() < 60);
    QVERIFY(words.at(1).box.left() > words.at(0).box.right());
    QVERIFY(words.at(2).box.top() > words.at(0).box.bottom());
}

QTEST_MAIN(GridScreenTest)
#include "tst_gridscreen.moc"
