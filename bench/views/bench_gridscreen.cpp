// Frame times of the grid screen over a library of 10 000 items in a
// 1300 x 850 window, painted by the offscreen raster backend: a frame at
// rest, and frames while a tile opens onto the stage (the neighbour push,
// the stage overlay and the full-resolution decode included). Run:
//   QT_QPA_PLATFORM=offscreen build/bench/views/bench_gridscreen
#include "views/CollectionContents.h"
#include "views/GridScreen.h"

#include "library/LibraryStore.h"
#include "platform/ImageIO.h"

#include "ZezevavEri/ScatterGridView.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

using namespace vellora;

namespace {
constexpr int kItems = 10000;

// A library folder with kItems pictures: records straight into the store,
// a small JPEG thumbnail and an original for each (a few shared looks, so
// the folder is made in a second or two).
struct BigLibrary {
    QTemporaryDir dir;
    std::unique_ptr<LibraryStore> store;
    QStringList ids;

    BigLibrary()
    {
        const QString root = dir.path() + QStringLiteral("/Library");
        store = std::make_unique<LibraryStore>(root, false);
        QDir().mkpath(root + QStringLiteral("/thumbnails"));
        QDir().mkpath(root + QStringLiteral("/originals"));
        QList<QByteArray> looks;
        const QList<QSize> sizes{{320, 240}, {240, 320}, {400, 225}, {300, 300}};
        for (int i = 0; i < 16; ++i) {
            const QSize size = sizes.at(i % sizes.size());
            QImage image(size, QImage::Format_RGB32);
            QPainter p(&image);
            QLinearGradient g(0, 0, size.width(), size.height());
            g.setColorAt(0, QColor::fromHsv(i * 22, 190, 230));
            g.setColorAt(1, QColor::fromHsv((i * 22 + 70) % 360, 190, 120));
            p.fillRect(image.rect(), g);
            p.end();
            looks << encodeJPEG(image, 0.85);
        }
        QList<Item> items;
        items.reserve(kItems);
        const QString inbox = store->defaultBoardId();
        for (int i = 0; i < kItems; ++i) {
            Item item;
            item.id = QStringLiteral("%1").arg(i, 8, 10, QLatin1Char('0')) + QStringLiteral("-BENCH");
            item.kind = QStringLiteral("image");
            item.originalFilename = QStringLiteral("picture %1.jpg").arg(i);
            item.storedFilename = item.id + QStringLiteral(".jpg");
            item.thumbnailFilename = item.id + QStringLiteral(".jpg");
            const QSize size = sizes.at((i % 16) % sizes.size());
            item.pixelWidth = size.width();
            item.pixelHeight = size.height();
            item.contentHash = item.id;
            item.dateAdded = 800000000.0 + i;
            item.dateCreated = item.dateAdded;
            item.collectionIds = {inbox};
            items << item;
            ids << item.id;
            const QByteArray &bytes = looks.at(i % 16);
            for (const QString &folder : {QStringLiteral("thumbnails"), QStringLiteral("originals")}) {
                QFile file(root + QLatin1Char('/') + folder + QLatin1Char('/') + item.id + QStringLiteral(".jpg"));
                if (file.open(QIODevice::WriteOnly))
                    file.write(bytes);
            }
        }
        store->appendItems(items);
    }
};

BigLibrary &library()
{
    static BigLibrary lib;
    return lib;
}

void settle(GridScreen &screen, int atLeastMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < atLeastMs || screen.gridView()->isTicking()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (timer.elapsed() > 10000)
            break;
    }
}

struct Window {
    GridScreen screen{*library().store};
    Window()
    {
        screen.resize(1300, 850);
        screen.show();
        screen.setCollectionId(QStringLiteral("all"));
        screen.setVisibleItems(itemsInCollection(*library().store, QStringLiteral("all")));
        screen.gridView()->layout();
        // The visible tiles decode and fade in.
        settle(screen, 600);
        screen.repaint();
    }
};

// Counts the paint events that reach a widget.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

void gridScreenFrameAtRest(benchmark::State &state)
{
    Window w;
    PaintCounter counter;
    w.screen.gridView()->viewport()->installEventFilter(&counter);
    int frames = 0;
    // The screen's own repaint leaves its children's pixels as they were;
    // the frame is the viewport's, with the header and overlays over it.
    QWidget *viewport = w.screen.gridView()->viewport();
    for (auto _ : state) {
        viewport->repaint();
        ++frames;
    }
    state.counters["items"] = kItems;
    // A frame that paints the grid's viewport once counts 1.
    state.counters["viewport_paints"] = frames ? double(counter.paints) / frames : 0.0;
}
BENCHMARK(gridScreenFrameAtRest)->Unit(benchmark::kMillisecond);

void gridScreenFrameWhileOpening(benchmark::State &state)
{
    Window w;
    zezevaveri::ScatterGridView *grid = w.screen.gridView();
    // Tiles in the middle of the first screen, opened one after the other.
    const QStringList candidates = library().ids.mid(12, 16);
    int next = 0;
    int frames = 0;
    grid->open(candidates.at(next++ % candidates.size()));
    for (auto _ : state) {
        if (!grid->engine().isAnimating()) {
            state.PauseTiming();
            grid->close();
            settle(w.screen, 0);
            grid->open(candidates.at(next++ % candidates.size()));
            state.ResumeTiming();
        }
        // A frame as the view's ticker makes it: the clock moves on, the
        // finished animations are dropped, the viewport repaints.
        grid->engine().reap();
        grid->viewport()->repaint();
        ++frames;
        // Between two frames: decodes arrive, the stage overlay appears. Not
        // timed, as the ticker's own repaint would count a second frame.
        state.PauseTiming();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        state.ResumeTiming();
    }
    state.counters["opens"] = next;
    state.counters["frames"] = frames;
}
BENCHMARK(gridScreenFrameWhileOpening)->Unit(benchmark::kMillisecond)->MinTime(2.0);
} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariable("QT_QPA_PLATFORM", "offscreen").toUtf8());
    QApplication app(argc, argv);
    library();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
