// Decoding and writing library.json for a library of 10 000 items.

#include "library/Records.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

using namespace vellora;

namespace {

LibraryFile makeLibrary(int count)
{
    LibraryFile file;
    for (int b = 0; b < 8; ++b) {
        Board board;
        board.id = QStringLiteral("B0000000-0000-4000-8000-00000000000%1").arg(b);
        board.name = QStringLiteral("Collection %1").arg(b);
        board.dateCreated = 786000000.0 + b;
        file.collections << board;
        file.topLevelOrder << board.id;
    }
    for (int i = 0; i < count; ++i) {
        Item item;
        item.id = QStringLiteral("A1B2C3D4-0000-4000-8000-%1").arg(i, 12, 10, QLatin1Char('0'));
        const bool link = i % 4 == 0;
        item.kind = link ? QStringLiteral("link") : QStringLiteral("image");
        item.originalFilename = link ? QStringLiteral("example.com") : QStringLiteral("Screenshot %1.png").arg(i);
        item.storedFilename = item.id + QStringLiteral(".png");
        item.thumbnailFilename = item.id + QStringLiteral(".jpg");
        item.pixelWidth = 1440 + i % 100;
        item.pixelHeight = 900;
        item.contentHash = QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b8%1").arg(i % 100, 2, 10, QLatin1Char('0'));
        item.dateAdded = 786000000.0 + i * 37.125;
        item.dateCreated = 786000000.0 + i * 11.5;
        item.collectionIds = {file.collections[i % 8].id};
        item.labels = QStringList{"web site", "screenshot", "text"};
        item.ocrText = QStringLiteral("Some recognised text of the picture, a line or two long.\nSecond line.");
        item.tags = QStringList{"design", "inspiration", "ui"};
        item.palette = QStringList{"#c8a070", "#102030", "#ffffff", "#808080", "#ff0000"};
        item.fileSize = 123456 + i;
        if (link) {
            item.sourceURL = QStringLiteral("https://www.example.com/articles/%1?ref=home").arg(i);
            item.title = QStringLiteral("An article about things");
            item.siteName = QStringLiteral("Example");
            item.summary = QStringLiteral("A page description that runs for a sentence or so.");
            item.faviconFilename = item.id + QStringLiteral(".png");
            item.snapshotDate = item.dateAdded + 2.5;
            item.pageText = QString(2000, QLatin1Char('x'));
            LinkInsight insight;
            insight.summary = QStringLiteral("What the page is.");
            insight.keyPoints = {"one", "two", "three"};
            insight.category = QStringLiteral("article");
            insight.entities.author = QStringLiteral("Ann Author");
            insight.suggestedTags = {"reading", "web"};
            item.insight = insight;
        }
        file.items << item;
    }
    file.smartFolders = SmartFolder::defaults();
    return file;
}

void BM_EncodeLibrary(benchmark::State &state)
{
    const LibraryFile file = makeLibrary(int(state.range(0)));
    qint64 bytes = 0;
    for (auto _ : state) {
        const QByteArray out = file.encode();
        bytes = out.size();
        benchmark::DoNotOptimize(out.constData());
    }
    state.counters["bytes"] = double(bytes);
}

void BM_DecodeLibrary(benchmark::State &state)
{
    const QByteArray json = makeLibrary(int(state.range(0))).encode();
    for (auto _ : state) {
        LibraryFile file = LibraryFile::decode(json);
        benchmark::DoNotOptimize(file.items.size());
    }
    // The process's peak so far over the document's size; run one size
    // alone (--benchmark_filter) for a figure of that size only.
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["bytes"] = double(json.size());
    state.counters["peakRSS/bytes"] = double(usage.ru_maxrss) * 1024.0 / double(json.size());
}

void BM_DecodeAndEncodeLibrary(benchmark::State &state)
{
    const QByteArray json = makeLibrary(int(state.range(0))).encode();
    for (auto _ : state) {
        const QByteArray out = LibraryFile::decode(json).encode();
        benchmark::DoNotOptimize(out.constData());
    }
}

} // namespace

BENCHMARK(BM_EncodeLibrary)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeLibrary)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeAndEncodeLibrary)->Arg(10000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
