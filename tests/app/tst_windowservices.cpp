// What starts with the window: the analyzer over imported pictures, the
// reaction to a changed library, and the environment hooks of scripted runs.
#include "app/AppState.h"
#include "app/MainWindow.h"
#include "app/WindowServices.h"

#include "enrichment/Analyzer.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "platform/Defaults.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

#include <nlohmann/json.hpp>

using namespace vellora;

namespace {

struct ServicesFixture {
    QTemporaryDir dir;
    Defaults settings{dir.filePath("settings.conf")};
    LibraryStore store{dir.filePath("library"), false, settings};
    zezevaveri::ScatterGridController grid;
    AppState state{store, settings, grid};
    std::unique_ptr<Analyzer> analyzer;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<WindowServices> services;
    QHash<QString, QString> environment;
    int snapshots = 0;

    ServicesFixture()
    {
        store.replaceCollections({{"B1", "Inbox", 1.0, {}, {}, {}}, {"B2", "Links", 2.0, {}, {}, {}}});
        analyzer = std::make_unique<Analyzer>(store);
        state.setHooks(windowHooks(analyzer.get()));
        window = std::make_unique<MainWindow>(state);
        services = std::make_unique<WindowServices>(state, *window, *analyzer);
        services->environment = [this](const char *name) -> std::optional<QString> {
            const auto it = environment.constFind(QString::fromLatin1(name));
            return it == environment.cend() ? std::nullopt : std::optional<QString>(*it);
        };
        WindowServices::refreshWidgetSnapshot() = [this](LibraryStore &) { ++snapshots; };
    }
    ~ServicesFixture() { WindowServices::refreshWidgetSnapshot() = nullptr; }

    void start()
    {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QSignalSpy finished(services.get(), &WindowServices::startTaskFinished);
        services->windowShown();
        QVERIFY(finished.wait(5000));
    }
};

Item picture(const QString &id, const QString &board)
{
    Item it;
    it.id = id;
    it.kind = QStringLiteral("image");
    it.originalFilename = id + ".png";
    it.collectionIds = {board};
    return it;
}

// A picture with some structure, so the analysis has something to see.
QString writePicture(const QString &folder, const QString &name, const QColor &colour)
{
    QImage image(320, 240, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.fillRect(20, 20, 200, 120, colour);
    painter.fillRect(160, 100, 140, 120, colour.darker(180));
    painter.end();
    const QString path = folder + "/" + name;
    image.save(path, "PNG");
    return path;
}

} // namespace

class WindowServicesTest : public QObject {
    Q_OBJECT

private slots:
    void importedPicturesGetAnalysed()
    {
        ServicesFixture f;
        QTemporaryDir pictures;
        const QStringList files{writePicture(pictures.path(), "one.png", QColor(220, 40, 40)),
                                writePicture(pictures.path(), "two.png", QColor(40, 160, 60)),
                                writePicture(pictures.path(), "three.png", QColor(40, 80, 220))};
        f.window->chooseFiles = [&](QWidget *) { return files; };
        f.start();
        f.window->action("import")->trigger();
        QTRY_COMPARE(f.store.items().size(), 3);

        // The analyzer runs because the window's services run: each picture
        // gets its palette, labels and print, and they reach library.json.
        const QString libraryFile = f.store.root() + "/library.json";
        auto analysed = [&] {
            QFile file(libraryFile);
            if (!file.open(QIODevice::ReadOnly))
                return 0;
            const auto json = nlohmann::json::parse(file.readAll().toStdString(), nullptr, false);
            if (!json.is_object() || !json.contains("items"))
                return 0;
            int done = 0;
            for (const auto &item : json["items"])
                if (item.contains("palette") && !item["palette"].empty() && item.contains("labels"))
                    ++done;
            return done;
        };
        QTRY_COMPARE_WITH_TIMEOUT(analysed(), 3, 60000);
        for (const Item &item : f.store.items())
            QVERIFY2(f.analyzer->prints().contains(item.id), qPrintable(item.originalFilename));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(f.analyzer->featurePrintsPath()), 30000);
    }

    void changesOfTheLibraryReachTheAnalyzerAndTheWidget()
    {
        ServicesFixture f;
        f.start();
        QSignalSpy passes(f.analyzer.get(), &Analyzer::finished);
        f.store.appendItems({picture("A", "B1"), picture("B", "B1")});
        QCOMPARE(f.snapshots, 1);
        // Trashing and restoring keep the count of items but change what
        // the widget and the analyzer see.
        f.store.trash({"A"});
        QCOMPARE(f.snapshots, 2);
        f.store.restore({"A"});
        QCOMPARE(f.snapshots, 3);
        // An edit changes neither count.
        f.store.updateItem("B", [](Item &item) { item.tags = QStringList{"x"}; });
        QCOMPARE(f.snapshots, 3);
        f.store.deletePermanently("B");
        QCOMPARE(f.snapshots, 4);
        QTRY_VERIFY(passes.size() >= 1);
    }

    void snapshotAfterTheFirstLoad()
    {
        QTemporaryDir dir;
        Defaults settings(dir.filePath("settings.conf"));
        LibraryStore store(dir.filePath("library"), true, settings);
        zezevaveri::ScatterGridController grid;
        AppState state(store, settings, grid);
        Analyzer analyzer(store);
        MainWindow window(state);
        WindowServices services(state, window, analyzer);
        int snapshots = 0;
        WindowServices::refreshWidgetSnapshot() = [&](LibraryStore &) { ++snapshots; };
        services.startUp();
        QTest::qWait(100);
        QCOMPARE(snapshots, 0);
        store.loadInBackground();
        QTRY_COMPARE(snapshots, 1);
        WindowServices::refreshWidgetSnapshot() = nullptr;
    }

    void selectHook_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("built-in") << "Trash" << "trash";
        QTest::newRow("a collection named Links wins") << "Links" << "B2";
        QTest::newRow("collection") << "Inbox" << "B1";
        QTest::newRow("no match keeps the last selection") << "Nowhere" << "inbox";
    }

    void selectHook()
    {
        QFETCH(QString, value);
        QFETCH(QString, expected);
        ServicesFixture f;
        f.environment.insert("VELLORA_SELECT", value);
        f.start();
        QCOMPARE(f.state.selection(), expected);
    }

    void windowHook_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QSize>("expected"); // empty: unchanged
        QTest::newRow("size") << "1400x900" << QSize(1400, 900);
        QTest::newRow("one number") << "1400" << QSize();
        QTest::newRow("three numbers") << "1400x900x2" << QSize();
        QTest::newRow("letters") << "axb" << QSize();
        QTest::newRow("never below 700 x 450") << "100x100" << QSize(700, 450);
        QTest::newRow("not finite") << "infx900" << QSize();
    }

    void windowHook()
    {
        QFETCH(QString, value);
        QFETCH(QSize, expected);
        ServicesFixture f;
        f.environment.insert("VELLORA_WINDOW", value);
        f.window->resize(1000, 700);
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
        const QSize before = f.window->centralWidget()->size();
        f.start();
        if (expected.isEmpty())
            QTRY_COMPARE(f.window->centralWidget()->size(), before);
        else
            QTRY_COMPARE(f.window->centralWidget()->size(), expected);
    }

    void openHookWaitsForTheLoad()
    {
        QTemporaryDir dir;
        Defaults settings(dir.filePath("settings.conf"));
        {
            LibraryStore writer(dir.filePath("library"), false, settings);
            writer.appendItems({picture("X", writer.defaultBoardId())});
            QVERIFY(writer.save());
        }
        LibraryStore store(dir.filePath("library"), true, settings);
        zezevaveri::ScatterGridController grid;
        AppState state(store, settings, grid);
        state.setHooks(windowHooks(nullptr));
        Analyzer analyzer(store);
        MainWindow window(state);
        WindowServices services(state, window, analyzer);
        services.environment = [](const char *name) -> std::optional<QString> {
            return QByteArray(name) == "VELLORA_OPEN" ? std::optional<QString>("X") : std::nullopt;
        };
        window.show();
        QSignalSpy finished(&services, &WindowServices::startTaskFinished);
        services.windowShown();
        QVERIFY(finished.wait(5000));
        // Asked to open, the grid either opens the tile or keeps it pending.
        auto opening = [&]() -> std::optional<QString> {
            if (grid.pending())
                return grid.pending();
            if (window.grid()->pendingOpen())
                return window.grid()->pendingOpen();
            return state.openedId();
        };
        QVERIFY(!opening());
        store.loadInBackground();
        QTRY_COMPARE(opening(), std::optional<QString>("X"));
        // Visible in the shown section already: only opened.
        QCOMPARE(state.selection(), QString("inbox"));
    }
};

QTEST_MAIN(WindowServicesTest)
#include "tst_windowservices.moc"
