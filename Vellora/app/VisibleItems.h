#pragma once
// What the content column shows: the title of the shown section and, from
// the section's items, those that are visible, in display order. Ranked
// search results win over everything; otherwise the text filter, the colour
// filter, then find-similar or the sort order. Pure: no store, no widgets.

#include "library/Board.h"
#include "library/Item.h"
#include "library/Sections.h"
#include "library/SmartFolder.h"
#include "views/SortOrders.h"

#include <QCollatorSortKey>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vellora {

// The heading of a section: a built-in title, else the name of the first
// collection, else of the first smart folder with that id; "" for anything else.
QString selectionTitle(const QString &selection, const QList<Board> &collections,
                       const QList<SmartFolder> &smartFolders);

// The header bar's colour filter: a palette entry with saturation above 0.25,
// brightness above 0.2 and a hue within 25 degrees of `hue`, the short way
// round. An absent palette never matches.
inline constexpr double kHueFilterTolerance = 25.0;
bool passesHueFilter(const std::optional<QStringList> &palette, double hue);

// "Name, A–Z": file names as a file manager orders them (case ignored, digit
// runs compared by value: "img2" before "img10"). Negative, 0, positive.
int compareFileNames(const QString &a, const QString &b);

// What the visible-items filter keeps between calls, so that typing into the
// search field over a large library does not redo what the keystroke did not
// change: the folded searchable text of each item (made again only for an
// item whose text fields changed: copies of an unchanged item share their
// strings), all texts of one section joined for one pass of the search, and
// the section's sort orders. Everything but the folded texts is tied to one
// section list (the same shared list, not an equal one).
// What a search of one section needs, taken from a SearchKeyCache so that
// another thread can run it while the cache goes on being used: the joined
// folded texts and the sort order, shared, not copied.
struct SectionSearch {
    QList<Item> section;
    QString joined;
    std::shared_ptr<const std::vector<qsizetype>> starts;
    std::shared_ptr<const std::vector<qsizetype>> sorted;
    bool valid() const { return starts && sorted && !starts->empty(); }
    // visibleOrder() of the section under the search text and colour filter
    // alone (no ranked results, no find-similar), in the sort order taken.
    QList<qsizetype> order(const QString &query, std::optional<double> hue) const;
};

class SearchKeyCache {
public:
    SearchKeyCache();
    ~SearchKeyCache();
    SearchKeyCache(const SearchKeyCache &) = delete;
    SearchKeyCache &operator=(const SearchKeyCache &) = delete;

    const QString &key(const Item &item);
    void clear();
    qsizetype size() const;

    // The positions of the section's items whose text contains the folded needle.
    std::vector<bool> matches(const QList<Item> &section, const QString &foldedNeedle);
    // The section's positions sorted by one of the sort orders.
    const std::vector<qsizetype> &sorted(const QList<Item> &section, const QString &sort);
    // For a search off this thread; invalid until the section's texts have
    // been joined by a first matches() or an adopted preparation.
    SectionSearch snapshot(const QList<Item> &section, const QString &sort);

    // Folding every text of a large section takes far longer than a frame
    // (about a second at 100 000 items), so it is done on another thread:
    // prepare() is safe to run there, on what preparation() took from the
    // cache, and adopt() hands the result back on the cache's thread. The
    // texts join only while that same section is the current one.
    struct Prepared;
    std::shared_ptr<Prepared> preparation(const QList<Item> &section, const QString &sort) const;
    static void prepare(Prepared &prepared);
    bool adopt(std::shared_ptr<Prepared> prepared, const QList<Item> &currentSection);
    // Whether the section's texts are joined (a search of it needs no folding).
    bool joined(const QList<Item> &section) const;
    // Whether most of the section's texts are folded already (joining them
    // again costs a walk, not a folding of each).
    bool folded(const QList<Item> &section) const;

private:
    // Whether the cache's section-bound parts were made for this very list.
    bool serves(const QList<Item> &section) const;
    void useSection(const QList<Item> &section);
    struct Entry;
    struct Data;
    Data *d;
};

struct VisibleFilter {
    // The search text, not trimmed; empty lets every item pass.
    QString query;
    // The model-planned scores; when present and not empty, only ranked items
    // show, best first, and nothing else applies.
    std::optional<QHash<QString, int>> ranked;
    // Colour filter, a hue in degrees.
    std::optional<double> hueFilter;
    // Find-similar: the distance of an item to the chosen one, none when it
    // has no print. Reorders only; items without a distance go last.
    std::function<std::optional<float>(const QString &id)> similar;
    // "newest", "oldest", "az", "za", "opened"; anything else keeps the
    // section's order.
    QString sort;
};

// `section` is the section's items in its own order. Every sort is stable.
// A cache makes repeated calls over the same items fast; without one each
// call folds every text.
// The positions in `section` of the visible items, in display order.
QList<qsizetype> visibleOrder(const QList<Item> &section, const VisibleFilter &filter,
                              SearchKeyCache *cache = nullptr);
QList<Item> filteredSortedItems(const QList<Item> &section, const VisibleFilter &filter,
                                SearchKeyCache *cache = nullptr);
// The items of `section` at the positions `order`, in that order.
QList<Item> itemsAt(const QList<Item> &section, const QList<qsizetype> &order);

// What the grid must do to go from the visible items before a change to
// those after it: take out the `removed` ids, then put each of `inserted` at
// its position in the new list, lowest position first. An id in both lists
// stayed visible but its record or its place changed.
struct VisibleDiff {
    QStringList removed;
    QList<std::pair<qsizetype, Item>> inserted;
    bool isEmpty() const { return removed.isEmpty() && inserted.isEmpty(); }
};

// The visible items of one section under one filter, kept by id so that a
// change of a few records costs a few searches of the list, not a new
// computation over the section. It holds the ids and sort keys only, not the
// records. The list equals filteredSortedItems() of the section as long as
// every change of the store's records reaches it (update(), removedAt()) and
// the filter and section stay the same; anything else starts over (reset()).
class VisibleList {
public:
    VisibleList();
    ~VisibleList();
    VisibleList(const VisibleList &) = delete;
    VisibleList &operator=(const VisibleList &) = delete;

    // Starts over from the visible items in display order, as
    // filteredSortedItems() made them, with `storePositions` the place of each
    // in the store's list. `trashOrder`: the section orders its items by the
    // time they were trashed, the last first (the trash).
    void reset(const QList<Item> &visible, const QList<qsizetype> &storePositions, const VisibleFilter &filter,
               bool trashOrder);
    // The same with the visible items given as the positions `order` in `section`.
    void reset(const QList<Item> &section, const QList<qsizetype> &order, const QList<qsizetype> &storePositions,
               const VisibleFilter &filter, bool trashOrder);
    // The record at `position` left the store's list: those after it moved up.
    void removedAt(qsizetype position);
    // The records with `ids` changed. `records` holds every record of the
    // store with one of those ids and its position in the store's list (an id
    // without one left the store); `member` says whether a record belongs to
    // the section. Returns what changed in the visible items.
    VisibleDiff update(const QStringList &ids, const QList<std::pair<qsizetype, Item>> &records,
                       const std::function<bool(const Item &)> &member, SearchKeyCache *cache = nullptr);

    qsizetype size() const;
    QStringList ids() const;
    QString idAt(qsizetype index) const;

private:
    struct Row;
    struct Data;
    Data *d;
};

} // namespace vellora
