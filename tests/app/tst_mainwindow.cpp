#include "app/AppState.h"
#include "app/MainWindow.h"
#include "library/LibraryStore.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

using namespace vellora;

namespace {

Item pictureItem(const QString &id, const QString &root, QColor colour, int w, int h)
{
    Item item;
    item.id = id;
    item.kind = "image";
    item.originalFilename = id + ".png";
    item.storedFilename = id + ".png";
    item.thumbnailFilename = id + ".jpg";
    item.pixelWidth = w;
    item.pixelHeight = h;
    item.contentHash = id;
    item.dateAdded = now();
    item.dateCreated = now();
    QImage thumb(w, h, QImage::Format_RGB32);
    thumb.fill(colour);
    QDir().mkpath(root + "/thumbnails");
    thumb.save(root + "/thumbnails/" + item.thumbnailFilename, "JPEG", 85);
    return item;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void gridShowsTheActiveItemsWithTheirThumbnails()
    {
        QTemporaryDir dir;
        Defaults settings(dir.filePath("settings.conf"));
        LibraryStore store(dir.path(), false, settings);
        Item a = pictureItem("A", dir.path(), QColor(200, 60, 60), 300, 200);
        Item b = pictureItem("B", dir.path(), QColor(60, 160, 90), 200, 300);
        Item trashed = pictureItem("T", dir.path(), Qt::white, 100, 100);
        trashed.trashedAt = now();
        Item link = pictureItem("L", dir.path(), QColor(40, 90, 200), 400, 250);
        link.kind = "link";
        link.sourceURL = "https://www.example.com/page";
        link.title = "Example page";
        Item unsafe = pictureItem("U", dir.path(), Qt::black, 100, 100);
        unsafe.thumbnailFilename = "../U.jpg";
        store.appendItems({a, b, trashed, link, unsafe});

        zezevaveri::ScatterGridController controller;
        AppState state(store, settings, controller);
        state.setHooks(windowHooks(nullptr));
        state.setSelection("all");
        // Oldest first keeps the order in which they were added.
        state.setSort("oldest");
        MainWindow window(state);
        QCOMPARE(window.windowTitle(), QString("Vellora"));
        QCOMPARE(controller.grid(), window.grid());

        QStringList ids;
        QTRY_VERIFY(!window.grid()->items().isEmpty());
        for (const auto &tile : window.grid()->items())
            ids << tile.id;
        QCOMPARE(ids, (QStringList{"A", "B", "L", "U"}));
        const auto tiles = window.grid()->items();
        QCOMPARE(tiles[0].aspect, 1.5);
        QCOMPARE(tiles[0].title, QString("A"));
        QVERIFY(!tiles[0].external);
        QCOMPARE(tiles[2].title, QString("Example page"));
        QVERIFY(tiles[2].external);

        // Later changes of the store reach the grid.
        store.trash({"B"});
        QTRY_COMPARE(window.grid()->items().size(), 3);

        window.resize(900, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // A tile's pixels come from its thumbnail file.
        QTRY_VERIFY_WITH_TIMEOUT(hasColourNear(window.grid()->renderFrame(), QColor(200, 60, 60)), 5000);
        if (qEnvironmentVariableIsSet("VELLORA_SCREENSHOT"))
            window.grab().save(qEnvironmentVariable("VELLORA_SCREENSHOT"));
    }

private:
    static bool hasColourNear(const QImage &image, QColor colour)
    {
        for (int y = 0; y < image.height(); y += 4) {
            for (int x = 0; x < image.width(); x += 4) {
                const QColor c = image.pixelColor(x, y);
                if (qAbs(c.red() - colour.red()) < 12 && qAbs(c.green() - colour.green()) < 12
                    && qAbs(c.blue() - colour.blue()) < 12)
                    return true;
            }
        }
        return false;
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
