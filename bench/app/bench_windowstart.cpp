// Start to the first painted grid of a 10 000-item library, offscreen: the
// library's load, the window with its views, the visible items, the grid's
// layout and its first frame. Target: under 500 ms.
#include "app/AppState.h"
#include "app/MainWindow.h"

#include "library/LibraryStore.h"
#include "platform/Defaults.h"
#include "views/GridScreen.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

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
    qsizetype tiles = 0;
    for (auto _ : state) {
        LibraryStore store(root, true, settings);
        QEventLoop loop;
        store.loadInBackground([&loop] { loop.quit(); });
        if (!store.loaded())
            loop.exec();
        zezevaveri::ScatterGridController grid;
        AppState app(store, settings, grid);
        app.setHooks(windowHooks(nullptr));
        MainWindow window(app);
        window.resize(1300, 850);
        window.show();
        zezevaveri::ScatterGridView *view = window.grid();
        view->layout();
        const QImage frame = view->renderFrame();
        benchmark::DoNotOptimize(frame.constBits());
        tiles = view->items().size();
        state.PauseTiming();
        window.close();
        state.ResumeTiming();
    }
    state.counters["tiles"] = double(tiles);
}
BENCHMARK(startToFirstFrame)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
