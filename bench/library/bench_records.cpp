// Decoding, writing and loading library.json for libraries of 10 000 and
// 100 000 items shaped like a real one (LibraryGenerator.h).
//
// Memory figures are relative to the file's size and exclude what the
// process held before (the program, the generator's leftovers): "peak/bytes"
// is the high-water mark of resident memory during the measured work over
// that baseline, "held/bytes" what stays resident once it is done (the
// records, and for a load the whole store).

#include "LibraryGenerator.h"

#include "library/LibraryCodec.h"
#include "library/LibraryFileAccess.h"
#include "library/LibraryStore.h"
#include "library/Records.h"
#include "platform/Defaults.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <map>

using namespace vellora;
using benchlibrary::makeLibrary;

namespace {

// ---- memory of this process (Linux) ----

qint64 statusKiB(const char *field)
{
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    qint64 value = 0;
    const size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
            value = std::atoll(line + n + 1);
            break;
        }
    }
    std::fclose(f);
    return value;
}

// Returns freed memory to the system and starts a new high-water mark at
// the present resident size; the baseline, in bytes.
qint64 startMemoryWindow()
{
    malloc_trim(0);
    if (FILE *f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
    return statusKiB("VmRSS") * 1024;
}

qint64 peakBytes() { return statusKiB("VmHWM") * 1024; }
qint64 residentBytes() { return statusKiB("VmRSS") * 1024; }

// One encoded library per size, made once per run of the program.
const QByteArray &libraryBytes(int count)
{
    static std::map<int, QByteArray> made;
    auto it = made.find(count);
    if (it == made.end())
        it = made.emplace(count, makeLibrary(count).encode()).first;
    return it->second;
}

// `peak` and `held` are over the baseline of the measured work.
void setMemoryCounters(benchmark::State &state, qint64 bytes, qint64 peak, qint64 held)
{
    state.counters["bytes"] = double(bytes);
    state.counters["bytes/item"] = double(bytes) / double(state.range(0));
    state.counters["peak/bytes"] = double(peak) / double(bytes);
    state.counters["held/bytes"] = double(held) / double(bytes);
}

void BM_EncodeLibrary(benchmark::State &state)
{
    const LibraryFile file = makeLibrary(int(state.range(0)));
    qint64 bytes = 0;
    // In pieces, as a save writes it; joining them is not part of a save.
    for (auto _ : state) {
        const std::vector<std::string> pieces = file.encodePieces();
        bytes = 0;
        for (const std::string &piece : pieces)
            bytes += qint64(piece.size());
        benchmark::DoNotOptimize(pieces.data());
    }
    state.counters["bytes"] = double(bytes);
}

void BM_DecodeLibrary(benchmark::State &state)
{
    const QByteArray &json = libraryBytes(int(state.range(0)));
    // The input stays resident throughout and is part of the baseline.
    const qint64 baseline = startMemoryWindow();
    qint64 held = 0;
    for (auto _ : state) {
        LibraryFile file = LibraryFile::decode(json);
        benchmark::DoNotOptimize(file.items.size());
        state.PauseTiming();
        malloc_trim(0);
        held = std::max(held, residentBytes() - baseline);
        state.ResumeTiming();
    }
    setMemoryCounters(state, json.size(), peakBytes() - baseline, held);
    // 1 when the simdjson road read it, 0 when it fell back to the general one.
    state.counters["fast"] = coding::decodeLibraryFast(json) ? 1.0 : 0.0;
}

void BM_DecodeAndEncodeLibrary(benchmark::State &state)
{
    const QByteArray &json = libraryBytes(int(state.range(0)));
    for (auto _ : state) {
        const QByteArray out = LibraryFile::decode(json).encode();
        benchmark::DoNotOptimize(out.constData());
    }
}

// The worker's part of a load: read, decode, file sizes.
void BM_ReadLibraryFile(benchmark::State &state)
{
    QTemporaryDir dir;
    QFile out(dir.filePath(QStringLiteral("library.json")));
    if (!out.open(QIODevice::WriteOnly) || out.write(libraryBytes(int(state.range(0)))) < 0) {
        state.SkipWithError("could not write library.json");
        return;
    }
    out.close();
    qint64 peak = 0, held = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const qint64 baseline = startMemoryWindow();
        state.ResumeTiming();
        LibraryRead read = readLibraryFile(dir.path());
        benchmark::DoNotOptimize(read.file);
        state.PauseTiming();
        // The read's own peak: the file's bytes, the parser's index and the
        // records; what stays is the records.
        peak = std::max(peak, peakBytes() - baseline);
        malloc_trim(0);
        held = std::max(held, residentBytes() - baseline);
        read = LibraryRead();
        state.ResumeTiming();
    }
    setMemoryCounters(state, libraryBytes(int(state.range(0))).size(), peak, held);
}

// From loadInBackground() to `loaded` on a store of a temporary folder: the
// read, decode and file sizes on the worker, then the apply on this thread.
void BM_LoadLibrary(benchmark::State &state)
{
    QTemporaryDir dir;
    const qint64 bytes = libraryBytes(int(state.range(0))).size();
    {
        QFile out(dir.filePath(QStringLiteral("library.json")));
        if (!out.open(QIODevice::WriteOnly) || out.write(libraryBytes(int(state.range(0)))) != bytes) {
            state.SkipWithError("could not write library.json");
            return;
        }
    }
    Defaults settings(dir.filePath(QStringLiteral("settings.json")));
    qint64 peak = 0, held = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<LibraryStore>(dir.path(), true, settings);
        QEventLoop loop;
        QElapsedTimer clock;
        qint64 loadedAt = -1;
        QObject::connect(store.get(), &LibraryStore::loadedChanged, &loop, [&](bool loaded) {
            if (loaded && loadedAt < 0)
                loadedAt = clock.nsecsElapsed();
            loop.quit();
        });
        const qint64 baseline = startMemoryWindow();
        state.ResumeTiming();

        clock.start();
        store->loadInBackground();
        loop.exec();
        if (!store->waitUntilLoaded()) {
            state.SkipWithError("the library did not load");
            return;
        }
        state.SetIterationTime(double(loadedAt) / 1e9);

        state.PauseTiming();
        // What the store keeps once the worker's leftovers are gone.
        malloc_trim(0);
        held = std::max(held, residentBytes() - baseline);
        peak = std::max(peak, peakBytes() - baseline);
        benchmark::DoNotOptimize(store->items().size());
        store.reset();
        state.ResumeTiming();
    }
    setMemoryCounters(state, bytes, peak, held);
}

} // namespace

BENCHMARK(BM_EncodeLibrary)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeLibrary)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeAndEncodeLibrary)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadLibraryFile)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadLibrary)->Arg(10000)->Arg(100000)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
