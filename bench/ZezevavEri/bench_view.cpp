// Frame time of the grid widget itself: a synchronous repaint of the
// viewport into the offscreen backing store, 200 tiles in view. Run:
//   QT_QPA_PLATFORM=offscreen build/bench/ZezevavEri/bench_zezevaveri_view
#include "ManualDecoder.h"
#include "ManualGridClock.h"

#include <ZezevavEri/ScatterGridView.h>

#include <QApplication>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <cmath>

using namespace zezevaveri;

namespace {
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

struct ViewFixture {
    ManualGridClock clock;
    ManualDecoder decoder;
    ScatterGridView view{nullptr, clock, &decoder};

    ViewFixture()
    {
        ScatterConfig config;
        config.rowHeight = 52;
        view.setConfig(config);
        view.setContent([](const QString &id, double, bool) { return picture(id); });
        QList<ScatterItem> items;
        for (int i = 0; i < 200; ++i)
            items.append(ScatterItem{QString::number(i), 0.5 + std::fmod(i * 0.618, 1.8), QStringLiteral("Picture"), {}, 0, false, false});
        view.resize(1440, 900);
        view.show();
        view.setItems(items);
        view.layout();
        QCoreApplication::processEvents();
        decoder.finishAll();
        view.viewport()->repaint();
    }
};

void viewFrameAtRest(benchmark::State &state)
{
    ViewFixture f;
    for (auto _ : state)
        f.view.viewport()->repaint();
}
BENCHMARK(viewFrameAtRest)->Unit(benchmark::kMillisecond);

void viewFrameAllMoving(benchmark::State &state)
{
    ViewFixture f;
    GridEngine &engine = f.view.engine();
    for (const auto &tile : engine.tiles()) {
        const QRectF to = tile->frame().translated(20, 10).adjusted(0, 0, 8, 6);
        engine.animate(tile, keys::position, to.center(), engine.config.item, 1e5);
        engine.animate(tile, keys::bounds, QRectF(0, 0, to.width(), to.height()), engine.config.item, 1e5);
        engine.animate(tile, keys::opacity, 0.6, engine.config.item, 1e5);
    }
    for (auto _ : state) {
        f.clock.advance(1.0);
        f.view.viewport()->repaint();
    }
}
BENCHMARK(viewFrameAllMoving)->Unit(benchmark::kMillisecond);
} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariable("QT_QPA_PLATFORM", "offscreen").toUtf8());
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
