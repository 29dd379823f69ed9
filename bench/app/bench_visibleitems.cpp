// Typing one character into the search field with 100 000 items: the text
// filter and the sort over the whole section, with the folded texts kept from
// the keystrokes before. Target: under 16 ms (one frame).
#include "app/VisibleItems.h"

#include <QRandomGenerator>

#include <benchmark/benchmark.h>

using namespace vellora;

namespace {

const QStringList kWords{"sunset", "harbour", "poster", "typography", "grid", "bold", "serif", "moss", "neon",
                         "café", "brutal", "swiss", "kinetic", "paper", "collage", "gradient", "chrome", "retro"};

QList<Item> library(int count)
{
    QRandomGenerator random(42);
    auto words = [&](int n) {
        QStringList out;
        for (int i = 0; i < n; ++i)
            out << kWords[random.bounded(kWords.size())];
        return out;
    };
    QList<Item> items;
    items.reserve(count);
    for (int i = 0; i < count; ++i) {
        Item it;
        it.id = QStringLiteral("ID-%1").arg(i, 8, 10, QLatin1Char('0'));
        it.kind = QStringLiteral("image");
        it.originalFilename = QStringLiteral("Screenshot %1.png").arg(i);
        it.dateAdded = random.bounded(1e9);
        it.ocrText = words(12).join(u' ');
        it.labels = words(3);
        it.tags = words(2);
        it.palette = QStringList{"#ff2a00", "#202020", "#c8a070"};
        items.append(it);
    }
    return items;
}

// The filter as "sun" is typed, after the keystrokes before it have folded
// every text into `cache`.
VisibleFilter typedSun(const QList<Item> &section, SearchKeyCache &cache)
{
    VisibleFilter filter;
    filter.sort = QStringLiteral("newest");
    filter.query = QStringLiteral("su");
    filteredSortedItems(section, filter, &cache);
    filter.query = QStringLiteral("sun");
    return filter;
}

void typingOneCharacter(benchmark::State &state)
{
    const QList<Item> section = library(int(state.range(0)));
    SearchKeyCache cache;
    const VisibleFilter filter = typedSun(section, cache);
    qsizetype shown = 0;
    for (auto _ : state) {
        const QList<qsizetype> visible = visibleOrder(section, filter, &cache);
        shown = visible.size();
        benchmark::DoNotOptimize(shown);
    }
    state.counters["shown"] = double(shown);
}
BENCHMARK(typingOneCharacter)->Arg(100000)->Unit(benchmark::kMillisecond);

// The same, with the visible items copied out as the window's views take them.
void typingOneCharacterWithCopies(benchmark::State &state)
{
    const QList<Item> section = library(int(state.range(0)));
    SearchKeyCache cache;
    const VisibleFilter filter = typedSun(section, cache);
    for (auto _ : state)
        benchmark::DoNotOptimize(filteredSortedItems(section, filter, &cache).size());
}
BENCHMARK(typingOneCharacterWithCopies)->Arg(100000)->Unit(benchmark::kMillisecond);

// No query: the whole section sorted, as on every other change of the window.
void sortOnly(benchmark::State &state)
{
    const QList<Item> section = library(int(state.range(0)));
    VisibleFilter filter;
    filter.sort = QStringLiteral("newest");
    for (auto _ : state)
        benchmark::DoNotOptimize(visibleOrder(section, filter).size());
}
BENCHMARK(sortOnly)->Arg(100000)->Unit(benchmark::kMillisecond);

// The first keystroke after opening the field folds every text once.
void firstKeystroke(benchmark::State &state)
{
    const QList<Item> section = library(int(state.range(0)));
    VisibleFilter filter;
    filter.query = QStringLiteral("s");
    filter.sort = QStringLiteral("newest");
    for (auto _ : state) {
        SearchKeyCache cache;
        benchmark::DoNotOptimize(filteredSortedItems(section, filter, &cache).size());
    }
}
BENCHMARK(firstKeystroke)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
