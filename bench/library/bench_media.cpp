// Import throughput: 2000 generated flat-colour PNGs of 200 to 1600 pixels a
// side (the self-check's scale set) and 200 camera-sized JPEGs (4000 x 3000),
// imported into an empty library, beside the floor: the same decodes and
// thumbnail and cover encodes alone, on as many threads, without hashing,
// copying, writing or the store. The import goes through the store on the
// main thread, so its time includes inserting the items and saving
// library.json once.
//
// The pictures are made once and kept in $TMPDIR/vellora-bench-media-v1.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

#include "../../tests/library/PictureFixtures.h"
#include "library/LibraryStoreMedia.h"
#include "library/Media.h"
#include "library/MediaImport.h"
#include "platform/ImageIO.h"

using namespace vellora;

namespace {

constexpr int kGenerated = 2000;
constexpr int kCamera = 200;

// A photo-like picture: smooth gradients with fine detail, so the JPEG has the
// size and decoding cost of a real camera file (a few megabytes).
QImage cameraPicture(int seed)
{
    QImage image(4000, 3000, QImage::Format_RGB32);
    QRandomGenerator random(quint32(seed) + 1);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int noise = int(random.generate() & 31);
            line[x] = qRgb((x / 16 + seed * 7 + noise) & 255, (y / 12 + noise) & 255, ((x + y) / 24 + seed) & 255);
        }
    }
    return image;
}

void parallelFor(int count, const std::function<void(int)> &body)
{
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < importWorkerCount(); ++t)
        threads.emplace_back([&] {
            for (int i = next++; i < count; i = next++)
                body(i);
        });
    for (auto &t : threads)
        t.join();
}

const QStringList &pictureSet()
{
    static const QStringList files = [] {
        const QString dir = QDir::tempPath() + QStringLiteral("/vellora-bench-media-v1");
        QDir().mkpath(dir);
        QStringList list;
        for (int i = 0; i < kGenerated; ++i)
            list << dir + QStringLiteral("/img%1.png").arg(i);
        for (int i = 0; i < kCamera; ++i)
            list << dir + QStringLiteral("/camera%1.jpg").arg(i);
        const QString done = dir + QStringLiteral("/complete");
        if (!QFile::exists(done)) {
            parallelFor(kGenerated, [&](int i) {
                QRandomGenerator random(quint32(i) * 7919u + 3u);
                const int w = 200 + int(random.bounded(1401));
                const int h = 200 + int(random.bounded(1401));
                fixtures::writeFile(list.at(i), encodePNG(fixtures::flatTestImage(i, w, h)));
            });
            parallelFor(kCamera, [&](int i) {
                fixtures::writeFile(list.at(kGenerated + i), encodeJPEG(cameraPicture(i), 0.92));
            });
            fixtures::writeFile(done, "ok");
        }
        return list;
    }();
    return files;
}

void BM_DecodeAndEncodeFloor(benchmark::State &state)
{
    const QStringList &files = pictureSet();
    for (auto _ : state) {
        std::atomic<qint64> bytes{0};
        parallelFor(int(files.size()), [&](int i) {
            const QImage thumbnail = downsampledImage(files.at(i), kThumbnailPixelSize);
            const QByteArray t = encodeJPEG(thumbnail, kThumbnailQuality);
            const QImage cover = thumbnail.scaled(fittedSize(thumbnail.size(), kCoverPixelSize), Qt::IgnoreAspectRatio,
                                                  Qt::SmoothTransformation);
            const QByteArray c = encodeJPEG(cover, kCoverQuality);
            bytes += t.size() + c.size();
        });
        benchmark::DoNotOptimize(bytes.load());
    }
    state.counters["items_per_second"] =
        benchmark::Counter(double(files.size()) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ImportIntoEmptyLibrary(benchmark::State &state)
{
    const QStringList &files = pictureSet();
    int added = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = std::make_unique<QTemporaryDir>();
        auto store = std::make_unique<LibraryStore>(dir->path(), false);
        state.ResumeTiming();
        // On the main thread: inserted and saved before it returns.
        added = addFiles(*store, files, store->defaultBoardId());
        state.PauseTiming();
        store.reset();
        dir.reset();
        state.ResumeTiming();
    }
    if (added != files.size())
        state.SkipWithError("not every picture was imported");
    state.counters["items_per_second"] =
        benchmark::Counter(double(files.size()) * double(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_DecodeAndEncodeFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_ImportIntoEmptyLibrary)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    pictureSet();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
