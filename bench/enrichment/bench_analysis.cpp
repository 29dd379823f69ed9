// Per-thumbnail costs of the analysis, and find-similar over a large library.
// Run: build/bench/enrichment/bench_analysis

#include "AnalysisFixtures.h"

#include "enrichment/FeaturePrint.h"
#include "enrichment/FeaturePrintStore.h"
#include "enrichment/ImageAnalysis.h"
#include "enrichment/Palette.h"

#include <QGuiApplication>
#include <QTemporaryDir>
#include <QUuid>

#include <benchmark/benchmark.h>

#include <atomic>
#include <random>
#include <thread>

using namespace vellora;

namespace {
QTemporaryDir *g_dir = nullptr;

// A 1024-pixel JPEG thumbnail, as the import writes them.
const QString &thumbnail()
{
    static const QString path = [] {
        const QString p = g_dir->filePath(QStringLiteral("thumb.jpg"));
        fixtures::saveJpeg(fixtures::scene(7), p, 85);
        return p;
    }();
    return path;
}

// A 1440 x 900 screenshot: window chrome, a sidebar and paragraphs of text.
QImage screenshot()
{
    QImage image(1440, 900, QImage::Format_RGB32);
    image.fill(QColor(246, 246, 246));
    QPainter p(&image);
    p.fillRect(0, 0, 1440, 52, QColor(228, 228, 228));
    p.fillRect(0, 52, 260, 848, QColor(236, 236, 240));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(15);
    p.setFont(font);
    p.setPen(QColor(30, 30, 30));
    const char *items[] = {"Inbox", "Design", "Typography", "Furniture", "Colour studies", "Links", "Trash"};
    for (int i = 0; i < 7; ++i)
        p.drawText(24, 96 + i * 34, QString::fromLatin1(items[i]));
    const QString sentence = QStringLiteral(
        "The quick brown fox jumps over the lazy dog while the studio reviews palettes and grids.");
    for (int line = 0; line < 36; ++line)
        p.drawText(300, 100 + line * 22, sentence);
    return image;
}

void BM_Palette(benchmark::State &state)
{
    const QString path = thumbnail();
    for (auto _ : state)
        benchmark::DoNotOptimize(extractPalette(path, 5));
}
BENCHMARK(BM_Palette)->Unit(benchmark::kMillisecond);

void BM_FeaturePrint(benchmark::State &state)
{
    const QString path = thumbnail();
    for (auto _ : state)
        benchmark::DoNotOptimize(featurePrintOfFile(path));
}
BENCHMARK(BM_FeaturePrint)->Unit(benchmark::kMillisecond);

void BM_TextOfScreenshot(benchmark::State &state)
{
    const QString path = g_dir->filePath(QStringLiteral("screenshot.png"));
    screenshot().save(path, "PNG");
    analyzeImage(path); // the engine's one-time start is not part of the cost
    for (auto _ : state)
        benchmark::DoNotOptimize(analyzeImage(path));
}
BENCHMARK(BM_TextOfScreenshot)->Unit(benchmark::kMillisecond)->Iterations(5);

// Thumbnails analysed per second (print, palette, labels and text) with one
// worker per core, each with its own text engine.
void BM_AnalysisThroughput(benchmark::State &state)
{
    QStringList paths;
    for (int i = 0; i < 16; ++i) {
        const QString p = g_dir->filePath(QStringLiteral("t%1.jpg").arg(i));
        if (!QFile::exists(p))
            fixtures::saveJpeg(i % 4 == 0 ? fixtures::wordCard({"Sample card", "Printed words"}) : fixtures::scene(i), p);
        paths << p;
    }
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    qint64 analysed = 0;
    for (auto _ : state) {
        std::atomic<int> next{0};
        std::vector<std::thread> threads;
        for (unsigned w = 0; w < workers; ++w) {
            threads.emplace_back([&] {
                for (int i; (i = next.fetch_add(1)) < int(paths.size()) * 4;) {
                    const QString &path = paths[i % paths.size()];
                    benchmark::DoNotOptimize(featurePrintOfFile(path));
                    benchmark::DoNotOptimize(extractPalette(path, 5));
                    benchmark::DoNotOptimize(analyzeImage(path));
                }
            });
        }
        for (auto &t : threads)
            t.join();
        analysed += paths.size() * 4;
    }
    state.counters["thumbnails/s"] = benchmark::Counter(double(analysed), benchmark::Counter::kIsRate);
    state.counters["workers"] = workers;
}
BENCHMARK(BM_AnalysisThroughput)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_FindSimilar100k(benchmark::State &state)
{
    // Real prints of a few pictures, jittered into 100 000 distinct ones.
    std::vector<FeaturePrint> bases;
    for (int seed = 1; seed <= 8; ++seed)
        bases.push_back(featurePrintOfImage(fixtures::scene(seed, QSize(256, 192))));
    std::mt19937 random(7);
    std::normal_distribution<float> jitter(0.0f, 0.02f);
    FeaturePrints prints;
    prints.reserve(100000);
    QString first;
    for (int i = 0; i < 100000; ++i) {
        std::vector<float> values = bases[size_t(i) % bases.size()].values();
        for (float &v : values)
            v += jitter(random);
        const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        if (first.isEmpty())
            first = id;
        prints.insert(id, FeaturePrint(QString::fromLatin1(FeaturePrint::kVisualKind), FeaturePrint::kVisualVersion,
                                       std::move(values)));
    }
    const FeaturePrintSet set(std::move(prints));
    set.distances(first); // packs the set once, as the first query after a pass does
    for (auto _ : state)
        benchmark::DoNotOptimize(set.distances(first));
    state.counters["prints"] = double(set.size());
}
BENCHMARK(BM_FindSimilar100k)->Unit(benchmark::kMillisecond);
} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTemporaryDir dir;
    g_dir = &dir;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
