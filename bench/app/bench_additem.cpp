// One edit of a 100 000-item library with the main window open, offscreen:
// the time from the store call (adding one item, changing one, moving one to
// the trash) to the end of the next painted frame of the grid that shows the
// change. Everything in between runs on the main thread: the store's signals,
// the visible items, the grid's tiles and layout, the sidebar and inspector,
// and the paint. Target: under 16 ms (one frame).
#include "app/AppState.h"
#include "app/MainWindow.h"

#include "library/LibraryStore.h"
#include "library/LibraryWriter.h"
#include "platform/Defaults.h"
#include "views/GridScreen.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <ctime>
#include <functional>
#include <memory>

using namespace vellora;

namespace {

constexpr int kLibrarySize = 100000;

const QStringList kWords{"sunset", "harbour", "poster", "typography", "grid", "bold", "serif", "moss", "neon",
                         "café", "brutal", "swiss", "kinetic", "paper", "collage", "gradient", "chrome", "retro"};

Item makeItem(int i, const QString &board)
{
    Item it;
    it.id = QStringLiteral("ID-%1").arg(i, 8, 10, QLatin1Char('0'));
    const bool link = i % 5 == 0;
    it.kind = link ? QStringLiteral("link") : QStringLiteral("image");
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
    it.labels = QStringList{kWords[i % kWords.size()]};
    it.tags = QStringList{kWords[(i / 3) % kWords.size()]};
    it.ocrText = kWords[(i / 7) % kWords.size()] + u' ' + kWords[(i / 11) % kWords.size()];
    if (link) {
        it.sourceURL = QStringLiteral("https://example.com/page/%1").arg(i);
        it.title = QStringLiteral("Page %1").arg(i);
        it.snapshotDate = it.dateAdded;
    }
    return it;
}

double threadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Runs the event loop until the grid's viewport has painted a frame in which
// `shown` holds; false after a minute.
bool untilPainted(zezevaveri::ScatterGridView *view, const std::function<bool()> &shown)
{
    struct Watch : QObject {
        std::function<bool()> shown;
        QEventLoop loop;
        bool painted = false;
        bool eventFilter(QObject *, QEvent *event) override
        {
            // The loop ends once the paint that started here has finished.
            if (event->type() == QEvent::Paint && !painted && shown()) {
                painted = true;
                loop.quit();
            }
            return false;
        }
    } watch;
    watch.shown = shown;
    view->viewport()->installEventFilter(&watch);
    QTimer::singleShot(60000, &watch.loop, &QEventLoop::quit);
    watch.loop.exec();
    view->viewport()->removeEventFilter(&watch);
    return watch.painted;
}

// Lets the fading and gliding of the last edit end and the save it asked for
// run, outside the timed part.
void settle(LibraryStore &store, zezevaveri::ScatterGridView *view)
{
    QElapsedTimer waited;
    waited.start();
    while (view->isTicking() && waited.elapsed() < 2000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (store.savePending())
        store.save();
    store.waitForWrites();
    QApplication::processEvents();
}

struct Fixture {
    QTemporaryDir dir;
    std::unique_ptr<Defaults> settings;
    std::unique_ptr<LibraryStore> store;
    std::unique_ptr<zezevaveri::ScatterGridController> grid;
    std::unique_ptr<AppState> app;
    std::unique_ptr<MainWindow> window;
    int next = kLibrarySize;

    Fixture()
    {
        settings = std::make_unique<Defaults>(dir.filePath("settings.conf"));
        settings->set(QStringLiteral("lastBoard"), QStringLiteral("all"));
        store = std::make_unique<LibraryStore>(dir.filePath("library"), false, *settings);
        const QString board = store->defaultBoardId();
        QList<Item> items;
        items.reserve(kLibrarySize);
        for (int i = 0; i < kLibrarySize; ++i)
            items.append(makeItem(i, board));
        store->appendItems(items);
        grid = std::make_unique<zezevaveri::ScatterGridController>();
        app = std::make_unique<AppState>(*store, *settings, *grid);
        app->setHooks(windowHooks(nullptr));
        window = std::make_unique<MainWindow>(*app);
        window->resize(1300, 850);
        window->show();
        zezevaveri::ScatterGridView *v = view();
        untilPainted(v, [v] { return v->engine().frames().size() == size_t(kLibrarySize); });
        settle(*store, v);
    }
    zezevaveri::ScatterGridView *view() const { return window->grid(); }
    // The id of the tile first in the grid (the newest item).
    QString firstShown() const { return view()->engine().items().front().id; }
};

// Made on first use and ended by main() while the QApplication still
// exists: the window, the store's threads and the grid all need it to close.
std::unique_ptr<Fixture> &fixtureSlot()
{
    static std::unique_ptr<Fixture> made;
    return made;
}

Fixture &fixture()
{
    std::unique_ptr<Fixture> &made = fixtureSlot();
    if (!made)
        made = std::make_unique<Fixture>();
    return *made;
}

// Times `edit` to the painted frame that `shown` recognises; the store's own
// part (the call itself) is counted apart.
void timeEdit(benchmark::State &state, const std::function<std::function<bool()>(Fixture &)> &edit,
              const std::function<void(Fixture &)> &before = {})
{
    Fixture &f = fixture();
    double cpu = 0, storeCall = 0;
    qsizetype tiles = 0;
    for (auto _ : state) {
        if (before)
            before(f);
        QElapsedTimer wall;
        const double cpuStart = threadSeconds();
        wall.start();
        const std::function<bool()> shown = edit(f);
        storeCall += double(wall.nsecsElapsed()) * 1e-6;
        if (!untilPainted(f.view(), shown)) {
            state.SkipWithError("the change never reached a painted frame");
            break;
        }
        state.SetIterationTime(double(wall.nsecsElapsed()) * 1e-9);
        cpu += threadSeconds() - cpuStart;
        tiles = qsizetype(f.view()->engine().items().size());
        settle(*f.store, f.view());
    }
    state.counters["main_thread_cpu_ms"] = benchmark::Counter(cpu * 1e3 / double(state.iterations()));
    state.counters["store_call_ms"] = benchmark::Counter(storeCall / double(state.iterations()));
    state.counters["tiles"] = double(tiles);
}

void addOneItem(benchmark::State &state)
{
    timeEdit(state, [](Fixture &f) -> std::function<bool()> {
        const Item item = makeItem(f.next++, f.store->defaultBoardId());
        f.store->appendItems({item});
        zezevaveri::GridEngine &engine = f.view()->engine();
        const QString id = item.id;
        return [&engine, id] { return engine.layer(id) && engine.frames().size() == engine.tiles().size(); };
    });
}

// The same after the library was saved since the last edit, as it is when
// the user adds something to a library at rest: the store's list is then
// shared with what was saved, and the edit copies it first.
void addOneItemAfterASave(benchmark::State &state)
{
    timeEdit(state, [](Fixture &f) -> std::function<bool()> {
        const Item item = makeItem(f.next++, f.store->defaultBoardId());
        f.store->appendItems({item});
        f.store->scheduleSave();
        zezevaveri::GridEngine &engine = f.view()->engine();
        const QString id = item.id;
        return [&engine, id] { return engine.layer(id) && engine.frames().size() == engine.tiles().size(); };
    });
    // VELLORA_BENCH_SHOT=<file.png>: the window after the last edit.
    if (const QString shot = qEnvironmentVariable("VELLORA_BENCH_SHOT"); !shot.isEmpty())
        fixture().window->grab().save(shot);
}

// The same while a save of the whole library is being encoded and written:
// the writer works on lists of its own, so the edit pays nothing for it.
void addOneItemDuringASave(benchmark::State &state)
{
    timeEdit(
        state,
        [](Fixture &f) -> std::function<bool()> {
            const Item item = makeItem(f.next++, f.store->defaultBoardId());
            f.store->appendItems({item});
            zezevaveri::GridEngine &engine = f.view()->engine();
            const QString id = item.id;
            return [&engine, id] { return engine.layer(id) && engine.frames().size() == engine.tiles().size(); };
        },
        [](Fixture &f) {
            f.store->updateItem(f.firstShown(), [](Item &item) { item.openCount = item.openCount.value_or(0) + 1; });
            f.store->saveSoon();
            // That change's own updates are not the measured edit's.
            QApplication::processEvents();
            QApplication::processEvents();
            // Past the writer's own copy of the lists (tens of ms), into the
            // encode on every other core; the write comes back hundreds of
            // ms later, after the measured frame.
            QElapsedTimer started;
            started.start();
            while (f.store->writer().inFlight() == 0 && started.elapsed() < 5000)
                QThread::msleep(1);
            QThread::msleep(120);
        });
}

void changeOneItem(benchmark::State &state)
{
    int round = 0;
    timeEdit(state, [&round](Fixture &f) -> std::function<bool()> {
        const QString id = f.firstShown();
        const QString title = QStringLiteral("Renamed %1").arg(++round);
        f.store->updateItem(id, [&](Item &item) { item.title = title; });
        zezevaveri::GridEngine &engine = f.view()->engine();
        return [&engine, id, title] {
            const int at = engine.indexOf(id);
            return at >= 0 && engine.items()[size_t(at)].title == title;
        };
    });
}

void trashOneItem(benchmark::State &state)
{
    timeEdit(state, [](Fixture &f) -> std::function<bool()> {
        const QString id = f.firstShown();
        f.store->trash({id});
        zezevaveri::GridEngine &engine = f.view()->engine();
        return [&engine, id] { return !engine.layer(id) && engine.frames().size() == engine.tiles().size(); };
    });
}

BENCHMARK(addOneItem)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(changeOneItem)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(trashOneItem)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(addOneItemAfterASave)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(addOneItemDuringASave)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fixtureSlot().reset();
    return 0;
}
