#pragma once
// The model-planned search. On top of the header bar's plain text filter,
// Search asks the language model to expand a query into search terms and
// colour names, scores every item against that plan and publishes the scores
// (ranked), so the grid can also show what the plan's terms and colours find.
// The model is asked for queries of two or more words, and for a single word
// that no item's text contains; 0.3 s after the last change of the query.

#include "library/Item.h"
#include "platform/LanguageModel.h"
#include "platform/Scheduler.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace vellora {

class LibraryStore;

// An item's text fields, tags and labels joined by single spaces, in this
// order: originalFilename, ocrText, title, host, siteName, summary, the
// insight's summary, pageText (absent ones as empty text), then the tags,
// then the labels. All searching looks at this one text.
QString searchableText(const Item &item);

// What the model fills in for a query.
struct SearchPlan {
    QStringList terms;
    QStringList colors;
    bool operator==(const SearchPlan &) const = default;
};

extern const char *const kSearchInstructions;
inline constexpr double kSearchDebounceSeconds = 0.3;
inline constexpr double kSearchHueTolerance = 25.0;

GenerationSchema searchPlanSchema();
// None unless both "terms" and "colors" are lists of strings.
std::optional<SearchPlan> decodeSearchPlanAnswer(const nlohmann::json &answer);

// The hue, in degrees, of one of the colour names the ranking knows (Red 0,
// Orange 30, Yellow 55, Green 120, Teal 175, Blue 215, Purple 275, Pink 325),
// compared ignoring case; none for any other name.
std::optional<double> hueOfColourName(const QString &name);

// Scores: per item, the number of terms its searchable text contains plus the
// number of colour hues its palette matches (within 25 degrees). Only items
// scoring above 0 are in the result. An empty or blank term finds nothing
// (every text holds the blanks between its fields).
QHash<QString, int> rankItems(const QList<Item> &items, const QStringList &terms, const QStringList &colors);

using Ranking = QHash<QString, int>;

class Search : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString query READ query WRITE setQuery NOTIFY queryChanged)
    Q_PROPERTY(bool thinking READ thinking NOTIFY thinkingChanged)
public:
    // A search over the items of `store` (trashed ones included).
    explicit Search(LibraryStore &store, QObject *parent = nullptr);
    ~Search() override;

    QString query() const { return m_query; }
    void setQuery(const QString &query) { storeQuery(query); }
    // Stores the text; when it differs from the previous text, run().
    void storeQuery(const QString &query);

    // The model-planned scores by item id; none while there is no plan for
    // the current query (a plan that finds nothing gives an empty ranking).
    const std::optional<Ranking> &ranked() const { return m_ranked; }
    // True while the model is being asked.
    bool thinking() const { return m_thinking; }

    // Cancels the pending plan, clears ranked and thinking, and decides
    // whether to ask the model (see the class comment).
    void run();

    // Asks the model for a plan for the trimmed query; none when it is
    // unavailable or fails. `done` runs on the main thread.
    static void plan(const QString &query, std::function<void(std::optional<SearchPlan>)> done,
                     QObject *context = nullptr);

signals:
    void queryChanged(const QString &query);
    void rankedChanged();
    void thinkingChanged(bool thinking);

private:
    void setRanked(std::optional<Ranking> ranked);
    void setThinking(bool thinking);
    void cancelTask();
    void startTask(const QString &trimmed, const QList<Item> &items);

    LibraryStore &m_store;
    QString m_query;
    std::optional<Ranking> m_ranked;
    bool m_thinking = false;
    // The pending task: its debounce, and a number that every newer run()
    // changes, which an answer arriving late compares with its own.
    TaskId m_sleep = 0;
    quint64 m_generation = 0;
};

} // namespace vellora
