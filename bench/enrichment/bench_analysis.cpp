// Per-thumbnail costs of the analysis, and find-similar over a large library.
// Run: build/bench/enrichment/bench_analysis
// The library pass (BM_AnalyzeLibrary): the self-check's 2 000 pictures and
// 200 text screenshots, one worker without the look for strokes (the road
// before it) against eight workers with it; a few minutes in all. With
// VELLORA_BENCH_SMALL set it takes a tenth of the pictures.

#include "AnalysisFixtures.h"

#include "enrichment/FeaturePrint.h"
#include "enrichment/FeaturePrintStore.h"
#include "enrichment/Analyzer.h"
#include "enrichment/ImageAnalysis.h"
#include "enrichment/Palette.h"
#include "enrichment/TextDetector.h"
#include "library/LibraryStore.h"
#include "platform/Clock.h"
#include "platform/Uuid.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>

#include <benchmark/benchmark.h>

#include <atomic>
#include <random>
#include <thread>

#include <ctime>

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

// A pass of the analyzer itself over a fresh library of 48 pictures, one
// in four a text screenshot, with the given number of workers; the figure
// beside the rate is the word recall on the screenshots.
void BM_AnalyzerPass(benchmark::State &state)
{
    const int workers = state.range(0) > 0 ? int(state.range(0)) : QThread::idealThreadCount();
    const QString sentence = QStringLiteral(
        "The quick brown fox jumps over the lazy dog while the studio reviews palettes and grids.");
    QStringList sentenceWords;
    for (const QString &w : sentence.split(QRegularExpression(QStringLiteral("[^A-Za-z]+")), Qt::SkipEmptyParts))
        sentenceWords << w;
    constexpr int kItems = 48;
    qint64 analysed = 0;
    double recall = 0;
    int run = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const QString root = g_dir->filePath(QStringLiteral("pass-%1-%2").arg(workers).arg(run++));
        QDir().mkpath(root + QStringLiteral("/thumbnails"));
        QList<Item> items;
        QSet<QString> screenshots;
        for (int i = 0; i < kItems; ++i) {
            Item item;
            item.id = newUUIDString();
            item.kind = QStringLiteral("image");
            item.originalFilename = QStringLiteral("picture-%1.png").arg(i);
            item.storedFilename = item.id + QStringLiteral(".png");
            item.thumbnailFilename = item.id + QStringLiteral(".jpg");
            item.pixelWidth = 1024;
            item.pixelHeight = 640;
            item.contentHash = item.id;
            item.dateAdded = item.dateCreated = now();
            const bool text = i % 4 == 0;
            const QImage picture = text ? screenshot().scaled(1024, 640, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                                        : fixtures::scene(i);
            fixtures::saveJpeg(picture, root + QStringLiteral("/thumbnails/") + item.thumbnailFilename, 85);
            if (text)
                screenshots.insert(item.id);
            items << item;
        }
        LibraryStore store(root, false);
        store.appendItems(items);
        Analyzer analyzer(store);
        analyzer.setWorkerCount(workers);
        state.ResumeTiming();
        QEventLoop loop;
        QObject::connect(&analyzer, &Analyzer::finished, &loop, &QEventLoop::quit);
        analyzer.schedule();
        loop.exec();
        state.PauseTiming();
        int found = 0, asked = 0;
        for (const QString &id : std::as_const(screenshots)) {
            const QString text = store.item(id)->ocrText.value_or(QString());
            for (const QString &w : std::as_const(sentenceWords)) {
                ++asked;
                found += text.contains(w) ? 1 : 0;
            }
        }
        recall = asked ? double(found) / asked : 0;
        analysed += kItems;
        state.ResumeTiming();
    }
    state.counters["pictures/s"] = benchmark::Counter(double(analysed), benchmark::Counter::kIsRate);
    state.counters["workers"] = workers;
    state.counters["word recall"] = recall;
}
// 0: one worker per core.
BENCHMARK(BM_AnalyzerPass)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The look for strokes alone, on a screenshot and on a flat picture.
void BM_TextDetection(benchmark::State &state)
{
    const QImage picture = state.range(0) ? fixtures::asThumbnail(fixtures::textScreenshot(1))
                                          : fixtures::asThumbnail(fixtures::selfCheckPicture(5));
    for (auto _ : state)
        benchmark::DoNotOptimize(detectText(picture));
    state.SetLabel(state.range(0) ? "screenshot" : "flat picture");
}
BENCHMARK(BM_TextDetection)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// The whole per-item analysis of one thumbnail, with and without the look first.
void BM_AnalyzeFlatPicture(benchmark::State &state)
{
    const QString path = g_dir->filePath(QStringLiteral("flat.jpg"));
    fixtures::saveJpeg(fixtures::asThumbnail(fixtures::selfCheckPicture(11)), path);
    AnalysisSettings settings;
    settings.detectFirst = state.range(0) != 0;
    analyzeImage(path, settings);
    for (auto _ : state)
        benchmark::DoNotOptimize(analyzeImage(path, settings));
    state.SetLabel(settings.detectFirst ? "look first" : "everything");
}
BENCHMARK(BM_AnalyzeFlatPicture)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The library of the self-check (flat pictures of 200 to 1600 pixels) with
// text screenshots among them, every eleventh item, as thumbnails.
struct AnalysisLibrary {
    QString root;
    QList<Item> items;
    QHash<QString, QStringList> screenshotWords; // by item id
};

const AnalysisLibrary &analysisLibrary()
{
    static const AnalysisLibrary library = [] {
        const bool small = qEnvironmentVariableIsSet("VELLORA_BENCH_SMALL");
        const int pictures = small ? 200 : 2000;
        const int screenshots = small ? 20 : 200;
        AnalysisLibrary lib;
        lib.root = g_dir->filePath(QStringLiteral("library-pass"));
        QDir().mkpath(lib.root + QStringLiteral("/thumbnails"));
        const int count = pictures + screenshots;
        QList<QStringList> words(count);
        QList<bool> isShot(count, false);
        for (int k = 0; k < screenshots; ++k)
            isShot[k * count / screenshots + 5] = true;
        for (int i = 0; i < count; ++i) {
            Item item;
            item.id = newUUIDString();
            item.kind = QStringLiteral("image");
            item.originalFilename = QStringLiteral("img%1.png").arg(i);
            item.storedFilename = item.id + QStringLiteral(".png");
            item.thumbnailFilename = item.id + QStringLiteral(".jpg");
            item.contentHash = item.id;
            item.dateAdded = item.dateCreated = now();
            lib.items << item;
        }
        // Written by every core at once: this is set-up, not measured.
        std::atomic<int> next{0};
        std::vector<std::thread> threads;
        for (unsigned w = 0; w < std::max(1u, std::thread::hardware_concurrency()); ++w)
            threads.emplace_back([&] {
                for (int i; (i = next.fetch_add(1)) < count;) {
                    const QImage picture = isShot[i] ? fixtures::textScreenshot(i, &words[i])
                                                     : fixtures::selfCheckPicture(i);
                    fixtures::saveJpeg(fixtures::asThumbnail(picture),
                                       lib.root + QStringLiteral("/thumbnails/") + lib.items[i].thumbnailFilename, 85);
                }
            });
        for (auto &t : threads)
            t.join();
        for (int i = 0; i < count; ++i) {
            auto &item = lib.items[i];
            item.pixelWidth = isShot[i] ? 1440 : 1024;
            item.pixelHeight = isShot[i] ? 900 : 1024;
            if (isShot[i])
                lib.screenshotWords.insert(item.id, words[i]);
        }
        return lib;
    }();
    return library;
}

// Of the words drawn on the screenshots (two letters or more), how many the
// recognised text holds, each occurrence counted once.
double wordRecall(const LibraryStore &store, const QHash<QString, QStringList> &screenshotWords)
{
    static const QRegularExpression word(QStringLiteral("[A-Za-z]{2,}"));
    qint64 found = 0, asked = 0;
    for (auto it = screenshotWords.cbegin(); it != screenshotWords.cend(); ++it) {
        QHash<QString, int> seen;
        const QString text = store.item(it.key())->ocrText.value_or(QString());
        for (auto m = word.globalMatch(text); m.hasNext();)
            ++seen[m.next().captured()];
        for (const QString &drawn : *it) {
            if (!word.match(drawn).hasMatch())
                continue;
            ++asked;
            if (seen.value(drawn) > 0) {
                --seen[drawn];
                ++found;
            }
        }
    }
    return asked ? double(found) / double(asked) : 0.0;
}

double g_oneWorkerRate = 0;

// CPU time of the whole process (all threads), in seconds.
double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The analyzer's whole pass over the library: one worker with every
// picture through the text engine and the detectors (the road before the
// look for strokes), against eight workers that look first.
void BM_AnalyzeLibrary(benchmark::State &state)
{
    const int workers = int(state.range(0));
    const bool detectFirst = state.range(1) != 0;
    const AnalysisLibrary &lib = analysisLibrary();
    qint64 analysed = 0;
    qint64 nanoseconds = 0;
    double cpuSeconds = 0;
    double recall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(lib.root + QStringLiteral("/library.json"));
        QFile::remove(lib.root + QStringLiteral("/featureprints.bin"));
        LibraryStore store(lib.root, false);
        store.appendItems(lib.items);
        Analyzer analyzer(store);
        analyzer.setWorkerCount(workers);
        analyzer.setDetectFirst(detectFirst);
        QEventLoop loop;
        QObject::connect(&analyzer, &Analyzer::finished, &loop, &QEventLoop::quit);
        state.ResumeTiming();
        QElapsedTimer timer;
        timer.start();
        const double cpuBefore = processCpuSeconds();
        analyzer.schedule();
        loop.exec();
        nanoseconds += timer.nsecsElapsed();
        cpuSeconds += processCpuSeconds() - cpuBefore;
        state.PauseTiming();
        recall = wordRecall(store, lib.screenshotWords);
        analysed += lib.items.size();
        state.ResumeTiming();
    }
    const double rate = nanoseconds ? double(analysed) * 1e9 / double(nanoseconds) : 0;
    if (workers == 1 && !detectFirst)
        g_oneWorkerRate = rate;
    else if (g_oneWorkerRate > 0)
        state.counters["x one worker"] = rate / g_oneWorkerRate;
    state.counters["items/s"] = rate;
    // The work itself, whatever the machine's load: CPU time per item, all threads.
    state.counters["cpu ms/item"] = analysed ? cpuSeconds * 1000 / double(analysed) : 0;
    state.counters["workers"] = workers;
    state.counters["word recall"] = recall;
    state.counters["items"] = double(lib.items.size());
}
BENCHMARK(BM_AnalyzeLibrary)
    ->Args({1, 0})
    ->Args({8, 1})
    ->ArgNames({"workers", "look"})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

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
