// Start to the first painted grid of a 10 000- and a 100 000-item library,
// offscreen: the library's load, the window with its views, the visible
// items, the grid's layout and the first frame painted on the grid's
// viewport that shows the top of the grid (the reported time), and on to the
// end of the event loop's next idle pass (counter idle_ms); loaded_ms is the
// part of it until the library has loaded. Target: under 500 ms at 100 000
// items.
#include "PaintedFrame.h"

#include "app/AppState.h"
#include "app/MainWindow.h"

#include "library/LibraryStore.h"
#include "platform/Defaults.h"
#include "views/GridScreen.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

#include <benchmark/benchmark.h>

using namespace vellora;

namespace {

// A library folder with `count` pictures in one collection.
QString makeLibrary(QTemporaryDir &dir, int count)
{
    Defaults settings(dir.filePath("bench-settings.conf"));
    LibraryStore store(dir.filePath("library"), false, settings);
    const QString board = store.defaultBoardId();
    QList<Item> items;
    items.reserve(count);
    for (int i = 0; i < count; ++i) {
        Item it;
        it.id = QStringLiteral("ID-%1").arg(i, 8, 10, QLatin1Char('0'));
        it.kind = QStringLiteral("image");
        it.originalFilename = QStringLiteral("Screenshot %1.png").arg(i);
        it.storedFilename = it.id + QStringLiteral(".png");
        it.thumbnailFilename = it.id + QStringLiteral(".jpg");
        it.pixelWidth = 800 + (i % 7) * 120;
        it.pixelHeight = 600 + (i % 5) * 90;
        it.contentHash = it.id;
        it.dateAdded = 7e8 + i;
        it.dateCreated = it.dateAdded;
        it.collectionIds = {board};
        it.palette = QStringList{"#c8a070", "#202020"};
        it.labels = QStringList{"text"};
        items.append(it);
    }
    store.appendItems(items);
    store.save();
    return store.root();
}

void startToFirstFrame(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString root = makeLibrary(dir, int(state.range(0)));
    Defaults settings(dir.filePath("settings.conf"));
    settings.set(QStringLiteral("lastBoard"), QStringLiteral("all"));
    auto &watch = *static_cast<bench::FrameWatchApplication *>(QCoreApplication::instance());
    const size_t count = size_t(state.range(0));
    qsizetype tiles = 0;
    double idle = 0, loaded = 0;
    int runs = 0;
    for (auto _ : state) {
        std::unique_ptr<LibraryStore> store;
        zezevaveri::ScatterGridController grid;
        std::unique_ptr<AppState> app;
        std::unique_ptr<MainWindow> window;
        // The first frame that shows tiles of the whole library laid out.
        watch.shows = [&](QObject *painted) {
            zezevaveri::ScatterGridView *view = window ? window->grid() : nullptr;
            return view && painted == view->viewport() && view->engine().items().size() == count &&
                   !view->layoutPending();
        };
        QElapsedTimer clock;
        double loadedMs = 0;
        const auto times = watch.measure([&] {
            clock.start();
            store = std::make_unique<LibraryStore>(root, true, settings);
            QEventLoop loop;
            store->loadInBackground([&loop] { loop.quit(); });
            if (!store->loaded())
                loop.exec();
            loadedMs = double(clock.nsecsElapsed()) / 1e6;
            app = std::make_unique<AppState>(*store, settings, grid);
            app->setHooks(windowHooks(nullptr));
            window = std::make_unique<MainWindow>(*app);
            window->resize(1300, 850);
            window->show();
        });
        watch.shows = nullptr;
        state.SetIterationTime(times.frameMs / 1e3);
        idle += times.idleMs;
        loaded += loadedMs;
        ++runs;
        tiles = window->grid()->items().size();
        window->close();
    }
    state.counters["tiles"] = double(tiles);
    state.counters["idle_ms"] = idle / runs;
    // Of the time to the frame, the library's load, and what follows it.
    state.counters["loaded_ms"] = loaded / runs;
}
BENCHMARK(startToFirstFrame)->Arg(10000)->Arg(100000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    bench::FrameWatchApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
