// Decoding, writing and loading library.json for libraries of 10 000 and
// 100 000 items shaped like a real one: about 2.7 KB per item in the file,
// recognised text on most screenshots, one item in five a link with the text
// of its page (words, a few of them not ASCII).
//
// Memory figures are relative to the file's size and exclude what the
// process held before (the program, the generator's leftovers): "peak/bytes"
// is the high-water mark of resident memory during the measured work over
// that baseline, "held/bytes" what stays resident once it is done (the
// records, and for a load the whole store).

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

#include <array>
#include <cstdio>
#include <cstring>
#include <map>

using namespace vellora;

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

// ---- the generator ----

class Words {
public:
    explicit Words(quint64 seed) : m_state(seed * 0x9E3779B97F4A7C15ull + 1) {}

    quint32 next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return quint32(m_state >> 11);
    }
    int below(int n) { return int(next() % quint32(n)); }

    // Running text of about `chars` characters: sentences of common words,
    // now and then a word that is not ASCII, paragraphs on their own lines.
    QString text(int chars)
    {
        static const std::array<const char *, 96> words = {
            "the", "of", "and", "to", "a", "in", "for", "is", "on", "that", "by", "this", "with", "you", "it",
            "not", "or", "be", "are", "from", "at", "as", "your", "all", "have", "new", "more", "an", "was",
            "we", "will", "home", "can", "us", "about", "if", "page", "my", "has", "search", "free", "but",
            "our", "one", "other", "do", "no", "information", "time", "they", "site", "he", "up", "may", "what",
            "which", "their", "news", "out", "use", "any", "there", "see", "only", "so", "his", "when",
            "contact", "here", "business", "who", "web", "also", "now", "help", "get", "view", "online",
            "first", "been", "would", "how", "were", "me", "services", "some", "these", "click", "its", "like",
            "service", "design", "typography", "layout", "colour", "interface"};
        static const std::array<const char *, 8> foreign = {"café", "naïve", "façade", "über", "résumé",
                                                           "Zürich", "crème", "–"};
        QString out;
        out.reserve(chars + 16);
        int sentence = 0;
        while (out.size() < chars) {
            const char *word = below(40) == 0 ? foreign[size_t(below(int(foreign.size())))]
                                               : words[size_t(below(int(words.size())))];
            QString w = QString::fromUtf8(word);
            if (sentence == 0 && !w.isEmpty())
                w[0] = w[0].toUpper();
            out += w;
            if (++sentence > 6 + below(10)) {
                sentence = 0;
                out += below(5) == 0 ? QStringLiteral(".\n") : QStringLiteral(". ");
            } else {
                out += below(12) == 0 ? QStringLiteral(", ") : QStringLiteral(" ");
            }
        }
        out.truncate(chars);
        return out;
    }

    QString hexColour()
    {
        return QStringLiteral("#%1").arg(next() & 0xffffff, 6, 16, QLatin1Char('0'));
    }

private:
    quint64 m_state;
};

QStringList pick(Words &w, const QStringList &from, int count)
{
    QStringList out;
    while (out.size() < count) {
        const QString &s = from[w.below(int(from.size()))];
        if (!out.contains(s))
            out << s;
    }
    return out;
}

LibraryFile makeLibrary(int count)
{
    static const QStringList labels = {"screenshot", "text", "web site", "document", "poster", "chair",
                                       "furniture", "interior", "outdoor", "sky", "building", "person",
                                       "food", "plant", "logo", "illustration", "pattern", "typography",
                                       "map", "chart", "table", "phone", "laptop", "car", "animal"};
    static const QStringList tags = {"design", "inspiration", "ui", "web", "print", "colour", "type", "layout",
                                     "mobile", "branding", "ideas", "reference", "moodboard", "icons",
                                     "photography", "architecture", "later", "work", "home", "kitchen"};
    LibraryFile file;
    for (int b = 0; b < 8; ++b) {
        Board board;
        board.id = QStringLiteral("B0000000-0000-4000-8000-00000000000%1").arg(b);
        board.name = QStringLiteral("Collection %1").arg(b);
        board.dateCreated = 786000000.0 + b;
        file.collections << board;
        file.topLevelOrder << board.id;
    }
    file.items.reserve(count);
    for (int i = 0; i < count; ++i) {
        Words w(quint64(i) + 1);
        Item item;
        item.id = QStringLiteral("%1-%2-4%3-8%4-%5")
                      .arg(w.next(), 8, 16, QLatin1Char('0'))
                      .arg(w.next() & 0xffff, 4, 16, QLatin1Char('0'))
                      .arg(w.next() & 0xfff, 3, 16, QLatin1Char('0'))
                      .arg(w.next() & 0xfff, 3, 16, QLatin1Char('0'))
                      .arg(quint64(w.next()) << 16 | (w.next() & 0xffff), 12, 16, QLatin1Char('0'))
                      .toUpper();
        const bool link = i % 5 == 0;
        item.kind = link ? QStringLiteral("link") : QStringLiteral("image");
        item.originalFilename = link ? QStringLiteral("www.example%1.com").arg(i % 97)
                                     : QStringLiteral("Screenshot 2026-03-%1 at %2.%3.%4.png")
                                           .arg(1 + i % 28, 2, 10, QLatin1Char('0'))
                                           .arg(i % 24, 2, 10, QLatin1Char('0'))
                                           .arg(i % 60, 2, 10, QLatin1Char('0'))
                                           .arg((i / 60) % 60, 2, 10, QLatin1Char('0'));
        item.storedFilename = item.id + QStringLiteral(".png");
        item.thumbnailFilename = item.id + QStringLiteral(".jpg");
        item.pixelWidth = 1440 + w.below(1500);
        item.pixelHeight = 900 + w.below(900);
        QString hash;
        for (int k = 0; k < 8; ++k)
            hash += QStringLiteral("%1").arg(w.next(), 8, 16, QLatin1Char('0'));
        item.contentHash = hash;
        item.dateAdded = 786000000.0 + i * 37.125 + w.below(1000) / 1000.0;
        item.dateCreated = 786000000.0 + i * 11.5;
        item.collectionIds = {file.collections[i % 8].id};
        if (w.below(4) == 0)
            item.collectionIds << file.collections[(i + 3) % 8].id;
        item.labels = pick(w, labels, 2 + w.below(4));
        item.tags = pick(w, tags, 1 + w.below(4));
        QStringList palette;
        for (int k = 0; k < 5; ++k)
            palette << w.hexColour();
        item.palette = palette;
        item.fileSize = 80000 + w.below(3000000);
        if (link) {
            item.sourceURL = QStringLiteral("https://www.example%1.com/articles/%2/%3?ref=home")
                                 .arg(i % 97)
                                 .arg(2020 + i % 7)
                                 .arg(w.text(40).toLower().replace(QLatin1Char(' '), QLatin1Char('-')));
            item.title = w.text(50 + w.below(30));
            item.siteName = QStringLiteral("Example %1").arg(i % 97);
            item.summary = w.text(140 + w.below(80));
            item.faviconFilename = item.id + QStringLiteral(".png");
            item.snapshotDate = item.dateAdded + 2.5;
            // Pages are cut to 6000 characters when they are taken.
            item.pageText = w.text(3000 + w.below(3001));
            LinkInsight insight;
            insight.summary = w.text(120 + w.below(80));
            insight.keyPoints = {w.text(60), w.text(70), w.text(50)};
            insight.category = QStringLiteral("article");
            insight.entities.author = QStringLiteral("Ann Author");
            insight.suggestedTags = pick(w, tags, 3);
            item.insight = insight;
            if (w.below(3) == 0) {
                item.openCount = 1 + w.below(9);
                item.lastOpenedAt = item.dateAdded + 3600.0;
            }
        } else {
            // Screenshots carry their recognised text; other pictures the
            // empty text that marks them as read.
            item.ocrText = w.below(10) < 7 ? w.text(400 + w.below(1000)) : QString();
        }
        file.items << item;
    }
    file.smartFolders = SmartFolder::defaults();
    return file;
}

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
    for (auto _ : state) {
        const QByteArray out = file.encode();
        bytes = out.size();
        benchmark::DoNotOptimize(out.constData());
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
    for (auto _ : state) {
        LibraryRead read = readLibraryFile(dir.path());
        benchmark::DoNotOptimize(read.file);
    }
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
