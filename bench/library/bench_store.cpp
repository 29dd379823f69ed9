// The store's save and load of a library of 10 000 items on a temporary
// folder: encode, coordinated atomic write with fsync, and the full read
// (conflict check, coordination, decode, file sizes).
//
// The saves of libraries of 10 000 and 100 000 items shaped like a real one
// (LibraryGenerator.h), in two halves: what the background writer spends on
// one save (encode, lock, stat, atomic write with fsync), and what the main
// thread spends on an edit's save request and handing the snapshot over.

#include "ManualScheduler.h"
#include "ScopedScheduler.h"

#include "LibraryGenerator.h"

#include "library/LibraryFileAccess.h"
#include "library/LibraryStore.h"
#include "library/LibraryWriter.h"

#include "platform/FileCoordination.h"

#include "platform/Scheduler.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>

using namespace vellora;

namespace {

QByteArray makeLibrary(int count)
{
    LibraryFile file;
    Board board;
    board.id = QStringLiteral("B0000000-0000-4000-8000-000000000000");
    board.name = QStringLiteral("Inbox");
    file.collections << board;
    file.topLevelOrder << board.id;
    for (int i = 0; i < count; ++i) {
        Item item;
        item.id = QStringLiteral("A1B2C3D4-0000-4000-8000-%1").arg(i, 12, 10, QLatin1Char('0'));
        item.kind = QStringLiteral("image");
        item.originalFilename = QStringLiteral("Screenshot %1.png").arg(i);
        item.storedFilename = item.id + QStringLiteral(".png");
        item.thumbnailFilename = item.id + QStringLiteral(".jpg");
        item.pixelWidth = 1440;
        item.pixelHeight = 900;
        item.contentHash = QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        item.dateAdded = 786000000.0 + i * 37.125;
        item.dateCreated = item.dateAdded;
        item.collectionIds = {board.id};
        item.tags = QStringList{"design", "inspiration"};
        item.palette = QStringList{"#c8a070", "#102030", "#ffffff"};
        item.ocrText = QStringLiteral("Some recognised text of the picture, a line or two long.");
        item.fileSize = 123456 + i;
        file.items << item;
    }
    return file.encode();
}

void writeLibrary(const QString &root, const QByteArray &bytes)
{
    QDir().mkpath(root);
    QFile out(root + QStringLiteral("/library.json"));
    out.open(QIODevice::WriteOnly);
    out.write(bytes);
}

void BM_StoreSave(benchmark::State &state)
{
    ManualScheduler scheduler;
    ScopedScheduler scoped(&scheduler);
    QTemporaryDir dir;
    writeLibrary(dir.path(), makeLibrary(int(state.range(0))));
    LibraryStore store(dir.path(), false);
    for (auto _ : state) {
        store.markOpened(store.items().first().id);
        benchmark::DoNotOptimize(store.save());
    }
}
BENCHMARK(BM_StoreSave)->Arg(10000)->Unit(benchmark::kMillisecond);

// A store on a fresh folder holding the generated library of `count` items,
// loaded, with its first save (and its first timed backup) behind it.
struct GeneratedStore {
    explicit GeneratedStore(int count)
    {
        writeLibrary(dir.path(), benchlibrary::makeLibrary(count).encode());
        store = std::make_unique<LibraryStore>(dir.path(), false);
        store->save();
    }
    QTemporaryDir dir;
    std::unique_ptr<LibraryStore> store;
};

// One save as the writer does it: the main thread only waits here.
void BM_WriterSave(benchmark::State &state)
{
    ManualScheduler scheduler;
    ScopedScheduler scoped(&scheduler);
    GeneratedStore library(int(state.range(0)));
    LibraryStore &store = *library.store;
    const QString first = store.items().first().id;
    for (auto _ : state) {
        store.markOpened(first);
        benchmark::DoNotOptimize(store.save());
    }
    // What was written is what the store holds, byte for byte.
    const auto written = readWholeFile(library.dir.path() + QStringLiteral("/library.json"));
    if (!written || LibraryFile::decode(*written).encode() != *written
        || LibraryFile::decode(*written).items.size() != store.items().size())
        state.SkipWithError("library.json was not written whole");
    state.counters["bytes"] = double(QFileInfo(library.dir.path() + QStringLiteral("/library.json")).size());
}
BENCHMARK(BM_WriterSave)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The writer's save in its two main parts: the encode, and the atomic
// write with its fsyncs.
void BM_EncodeGenerated(benchmark::State &state)
{
    const LibraryFile file = benchlibrary::makeLibrary(int(state.range(0)));
    for (auto _ : state) {
        const std::vector<std::string> pieces = file.encodePieces();
        benchmark::DoNotOptimize(pieces.data());
    }
}
BENCHMARK(BM_EncodeGenerated)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_WriteGenerated(benchmark::State &state)
{
    const QByteArray bytes = benchlibrary::makeLibrary(int(state.range(0))).encode();
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/library.json");
    for (auto _ : state)
        writeFileAtomically(path, bytes);
    state.counters["bytes"] = double(bytes.size());
}
BENCHMARK(BM_WriteGenerated)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The main thread's share of an edit's save: the debounced request, then
// the snapshot handed to the writer. The write itself is waited for outside
// the measured time, so that one save never piles onto the next.
void BM_MainThreadSaveKickoff(benchmark::State &state)
{
    ManualScheduler scheduler;
    ScopedScheduler scoped(&scheduler);
    GeneratedStore library(int(state.range(0)));
    LibraryStore &store = *library.store;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        store.scheduleSave();
        store.saveSoon();
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        store.waitForWrites();
    }
}
// Each iteration also waits for a whole write: a fixed count keeps the run short.
BENCHMARK(BM_MainThreadSaveKickoff)->Arg(10000)->Arg(100000)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);

void BM_ReadLibraryFile(benchmark::State &state)
{
    QTemporaryDir dir;
    writeLibrary(dir.path(), makeLibrary(int(state.range(0))));
    for (auto _ : state) {
        LibraryRead read = readLibraryFile(dir.path());
        benchmark::DoNotOptimize(read.file);
    }
}
BENCHMARK(BM_ReadLibraryFile)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_TrashAndRestore(benchmark::State &state)
{
    ManualScheduler scheduler;
    ScopedScheduler scoped(&scheduler);
    QTemporaryDir dir;
    writeLibrary(dir.path(), makeLibrary(int(state.range(0))));
    LibraryStore store(dir.path(), false);
    QStringList ids;
    for (int i = 0; i < 100; ++i)
        ids << store.items().at(i * 97).id;
    for (auto _ : state) {
        store.trash(ids);
        store.restore(ids);
    }
}
BENCHMARK(BM_TrashAndRestore)->Arg(10000)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
