#include "Search.h"

#include "RuleDraft.h"
#include "library/LibraryStore.h"
#include "library/Palette.h"
#include "platform/Text.h"

#include <QPointer>

namespace vellora {

using nlohmann::json;

const char *const kSearchInstructions = "Expand searches over a personal image library into concrete search terms.";

QString searchableText(const Item &item)
{
    QStringList parts{item.originalFilename,
                      item.ocrText.value_or(QString()),
                      item.title.value_or(QString()),
                      item.host(),
                      item.siteName.value_or(QString()),
                      item.summary.value_or(QString()),
                      item.insight ? item.insight->summary : QString(),
                      item.pageText.value_or(QString())};
    parts << item.tags.value_or(QStringList());
    parts << item.labels.value_or(QStringList());
    return parts.join(QLatin1Char(' '));
}

GenerationSchema searchPlanSchema()
{
    auto list = [](const char *description, int maximum) {
        return nlohmann::ordered_json{{"type", "array"}, {"items", {{"type", "string"}}}, {"description", description},
                    {"maxItems", maximum}};
    };
    return {QStringLiteral("SearchPlan"),
            {{"type", "object"},
             {"properties",
              {{"terms", list("Single words or short phrases likely to appear in an image's labels, tags or visible text",
                              10)},
               {"colors", list("Plain colour names the query mentions or implies, like red or blue", 3)}}},
             {"required", {"terms", "colors"}},
             {"additionalProperties", false}}};
}

std::optional<SearchPlan> decodeSearchPlanAnswer(const json &answer)
{
    if (!answer.is_object())
        return std::nullopt;
    auto strings = [&](const char *key) -> std::optional<QStringList> {
        const auto it = answer.find(key);
        if (it == answer.end() || !it->is_array())
            return std::nullopt;
        QStringList out;
        for (const json &element : *it) {
            if (!element.is_string())
                return std::nullopt;
            out << QString::fromStdString(element.get<std::string>());
        }
        return out;
    };
    const auto terms = strings("terms");
    const auto colors = strings("colors");
    if (!terms || !colors)
        return std::nullopt;
    return SearchPlan{*terms, *colors};
}

std::optional<double> hueOfColourName(const QString &name)
{
    static const QList<std::pair<QString, double>> table = {
        {QStringLiteral("Red"), 0},     {QStringLiteral("Orange"), 30}, {QStringLiteral("Yellow"), 55},
        {QStringLiteral("Green"), 120}, {QStringLiteral("Teal"), 175},  {QStringLiteral("Blue"), 215},
        {QStringLiteral("Purple"), 275}, {QStringLiteral("Pink"), 325}};
    for (const auto &[known, hue] : table)
        if (caseInsensitiveEquals(known, name))
            return hue;
    return std::nullopt;
}

QHash<QString, int> rankItems(const QList<Item> &items, const QStringList &terms, const QStringList &colors)
{
    QList<double> hues;
    for (const QString &name : colors)
        if (const auto hue = hueOfColourName(name))
            hues << *hue;
    QHash<QString, int> scores;
    for (const Item &item : items) {
        const QString text = searchableText(item);
        int score = 0;
        for (const QString &term : terms)
            if (!trimmedBlanks(term).isEmpty() && localizedStandardContains(text, term))
                ++score;
        const QStringList palette = item.palette.value_or(QStringList());
        for (double hue : hues)
            if (paletteMatchesHue(palette, hue, kSearchHueTolerance))
                ++score;
        if (score > 0)
            scores.insert(item.id, score);
    }
    return scores;
}

Search::Search(LibraryStore &store, QObject *parent) : QObject(parent), m_store(store) {}

Search::~Search() { cancelTask(); }

void Search::storeQuery(const QString &query)
{
    if (query == m_query)
        return;
    m_query = query;
    emit queryChanged(m_query);
    run();
}

void Search::setRanked(std::optional<Ranking> ranked)
{
    if (ranked == m_ranked)
        return;
    m_ranked = std::move(ranked);
    emit rankedChanged();
}

void Search::setThinking(bool thinking)
{
    if (thinking == m_thinking)
        return;
    m_thinking = thinking;
    emit thinkingChanged(thinking);
}

void Search::cancelTask()
{
    ++m_generation;
    if (m_sleep) {
        Scheduler::main().cancel(m_sleep);
        m_sleep = 0;
    }
}

void Search::run()
{
    cancelTask();
    setRanked(std::nullopt);
    setThinking(false);
    const QString trimmed = trimmedBlanks(m_query);
    const QList<Item> items = m_store.items();
    if (trimmed.isEmpty())
        return;
    if (!LanguageModel::systemDefault().isAvailable())
        return;
    const QStringList words = trimmed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.size() < 2) {
        for (const Item &item : items)
            if (localizedStandardContains(searchableText(item), m_query))
                return; // plain text search already finds it
    }
    startTask(trimmed, items);
}

void Search::startTask(const QString &trimmed, const QList<Item> &items)
{
    const quint64 generation = m_generation;
    QPointer<Search> self(this);
    m_sleep = Scheduler::main().postAfter(kSearchDebounceSeconds, [self, generation, trimmed, items] {
        if (!self || self->m_generation != generation)
            return; // a newer query took over during the sleep
        self->m_sleep = 0;
        self->setThinking(true);
        plan(
            trimmed,
            [self, generation, trimmed, items](std::optional<SearchPlan> plan) {
                if (!self)
                    return;
                // Whatever happened meanwhile, the question is answered.
                if (!plan || self->m_generation != generation) {
                    self->setThinking(false);
                    return;
                }
                QStringList terms = plan->terms;
                terms << trimmed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
                self->setRanked(rankItems(items, terms, plan->colors));
                self->setThinking(false);
            },
            self.data());
    });
}

void Search::plan(const QString &query, std::function<void(std::optional<SearchPlan>)> done, QObject *context)
{
    const LanguageModel model = LanguageModel::systemDefault();
    if (!model.isAvailable()) {
        done(std::nullopt);
        return;
    }
    LanguageModelSession(model, QString::fromUtf8(kSearchInstructions))
        .respond(
            query, searchPlanSchema(), true,
            [done = std::move(done)](LanguageModelResult result) {
                done(result.ok() ? decodeSearchPlanAnswer(*result.content) : std::nullopt);
            },
            context);
}

} // namespace vellora
