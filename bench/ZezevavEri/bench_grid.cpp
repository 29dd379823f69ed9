// Layout and frame costs of the grid. Run:
//   QT_QPA_PLATFORM=offscreen build/bench/ZezevavEri/bench_zezevaveri
#include "ManualDecoder.h"
#include "ManualGridClock.h"
#include "SimpleGridHost.h"

#include <ZezevavEri/GridEngine.h>
#include <ZezevavEri/LayerPainter.h>

#include <QGuiApplication>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <cmath>

using namespace zezevaveri;

namespace {
std::vector<ScatterItem> makeItems(int count)
{
    std::vector<ScatterItem> items;
    items.reserve(size_t(count));
    for (int i = 0; i < count; ++i)
        items.push_back(ScatterItem{QString::number(i), 0.5 + std::fmod(i * 0.618, 1.8), QStringLiteral("Picture"), {}, 0, false, false});
    return items;
}

QImage picture(const QString &id)
{
    QImage image(256, 192, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    QLinearGradient g(0, 0, 256, 192);
    const int hue = int(qHash(id) % 360);
    g.setColorAt(0, QColor::fromHsv(hue, 200, 230));
    g.setColorAt(1, QColor::fromHsv((hue + 60) % 360, 200, 120));
    p.fillRect(image.rect(), g);
    return image;
}

void justified100k(benchmark::State &state)
{
    std::vector<double> aspects;
    for (const auto &item : makeItems(100000))
        aspects.push_back(item.aspect);
    for (auto _ : state) {
        JustifiedLayout laid = justifiedLayout(aspects, 1200, 150, 14);
        benchmark::DoNotOptimize(laid.frames.data());
    }
}
BENCHMARK(justified100k)->Unit(benchmark::kMillisecond);

// Dropping half of 100 000 tiles from the root one by one, as the fades of
// a filtered-away half end: each removal must not walk the others.
void dropHalfOf100kTiles(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        const LayerPtr root = Layer::make(QStringLiteral("root"));
        std::vector<LayerPtr> tiles;
        tiles.reserve(100000);
        for (int i = 0; i < 100000; ++i) {
            tiles.push_back(Layer::make(QString::number(i)));
            root->addSublayer(tiles.back());
        }
        state.ResumeTiming();
        for (size_t i = 0; i < tiles.size(); i += 2)
            tiles[i]->removeFromSuperlayer();
        benchmark::DoNotOptimize(root->sublayers().size());
    }
}
BENCHMARK(dropHalfOf100kTiles)->Unit(benchmark::kMillisecond)->Iterations(3);

// The engine's whole layout pass: frames, tile frames and the visible refresh.
void engineLayout100k(benchmark::State &state)
{
    ManualGridClock clock;
    ManualDecoder decoder;
    SimpleGridHost host(1200, 800);
    GridEngine engine(host, clock, &decoder);
    engine.setItems(makeItems(100000));
    engine.layout();
    double width = 1200;
    for (auto _ : state) {
        width = width == 1200 ? 1180 : 1200; // a new width each pass, as a resize gives
        host.setSize(width, 800);
        engine.layout();
    }
}
BENCHMARK(engineLayout100k)->Unit(benchmark::kMillisecond);

struct FrameFixture {
    ManualGridClock clock;
    ManualDecoder decoder;
    SimpleGridHost host{1440, 900};
    GridEngine engine{host, clock, &decoder};
    TileImageCache cache;
    LayerPainter painter{cache};
    QImage target{1440, 900, QImage::Format_ARGB32_Premultiplied};
    int visible = 0;

    explicit FrameFixture(int count = 200)
    {
        engine.config.rowHeight = 52;
        engine.content = [](const QString &id, double, bool) { return picture(id); };
        engine.setItems(makeItems(count));
        engine.layout();
        decoder.finishAll();
        for (const auto &tile : engine.tiles())
            visible += tile->frame().intersects(host.visibleRect()) ? 1 : 0;
    }
    void paint()
    {
        QPainter p(&target);
        const QRectF visible = host.visibleRect();
        painter.paint(p, *engine.rootLayer(), engine.layersToPaint(visible), clock.now(), visible, 1.0);
    }
};

void frameAtRest(benchmark::State &state)
{
    FrameFixture f;
    f.paint(); // prepares the tile images once
    for (auto _ : state)
        f.paint();
    state.counters["visible"] = f.visible;
}
BENCHMARK(frameAtRest)->Unit(benchmark::kMillisecond);

// The same window onto a document of 100 000 tiles.
void frameAtRestIn100k(benchmark::State &state)
{
    FrameFixture f(100000);
    f.paint();
    for (auto _ : state)
        f.paint();
    state.counters["visible"] = f.visible;
}
BENCHMARK(frameAtRestIn100k)->Unit(benchmark::kMillisecond);

void frameAllMoving(benchmark::State &state)
{
    FrameFixture f;
    f.paint();
    // Every tile glides towards a shifted frame and fades, over a long time,
    // so each measured frame paints all of them in motion.
    for (const auto &tile : f.engine.tiles()) {
        const QRectF to = tile->frame().translated(20, 10).adjusted(0, 0, 8, 6);
        f.engine.animate(tile, keys::position, to.center(), f.engine.config.item, 1e5);
        f.engine.animate(tile, keys::bounds, QRectF(0, 0, to.width(), to.height()), f.engine.config.item, 1e5);
        f.engine.animate(tile, keys::opacity, 0.6, f.engine.config.item, 1e5);
    }
    for (auto _ : state) {
        f.clock.advance(1.0);
        f.paint();
    }
    state.counters["visible"] = f.visible;
}
BENCHMARK(frameAllMoving)->Unit(benchmark::kMillisecond);
} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariable("QT_QPA_PLATFORM", "offscreen").toUtf8());
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
