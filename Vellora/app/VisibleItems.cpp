#include "VisibleItems.h"

#include "enrichment/Search.h"
#include "library/Palette.h"
#include "platform/Text.h"

#include <QCollator>
#include <QLocale>
#include <QThreadPool>

#include <algorithm>
#include <limits>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

namespace vellora {

QString selectionTitle(const QString &selection, const QList<Board> &collections,
                       const QList<SmartFolder> &smartFolders)
{
    if (const BuiltInSection *section = builtInSection(selection))
        return section->title;
    for (const Board &board : collections)
        if (board.id == selection)
            return board.name;
    for (const SmartFolder &folder : smartFolders)
        if (folder.id == selection)
            return folder.name;
    return {};
}

bool passesHueFilter(const std::optional<QStringList> &palette, double hue)
{
    return palette && paletteMatchesHue(*palette, hue, kHueFilterTolerance);
}

namespace {

// One collator for the name orders. The C locale would compare code units
// and ignore the numeric mode, so it stands in with the neutral English one.
QCollator &nameCollator()
{
    thread_local QCollator collator = [] {
        QLocale locale;
        if (locale.language() == QLocale::C)
            locale = QLocale(QLocale::English, QLocale::UnitedStates);
        QCollator c(locale);
        c.setNumericMode(true);
        c.setCaseSensitivity(Qt::CaseInsensitive);
        return c;
    }();
    return collator;
}

} // namespace

int compareFileNames(const QString &a, const QString &b)
{
    return nameCollator().compare(a, b);
}

// The strings an entry was made from are kept (not just remembered), so a
// later item whose fields share their data is certain to hold the same text.
struct SearchKeyCache::Entry {
    QString originalFilename;
    CompactText ocrText;
    QString title;
    QString sourceURL;
    QString siteName;
    QString summary;
    QString insightSummary;
    CompactText pageText;
    QStringList tags;
    QStringList labels;
    QString key;
    bool hasKey = false;

    static bool same(const QString &a, const QString &b) { return a.constData() == b.constData() && a.size() == b.size(); }
    static bool same(const QStringList &a, const QStringList &b) { return a.constData() == b.constData() && a.size() == b.size(); }
    static bool same(const CompactText &a, const CompactText &b) { return a.isSharedWith(b); }

    bool textMatches(const Item &item) const
    {
        return same(originalFilename, item.originalFilename) && same(ocrText, item.ocrText.value_or(CompactText()))
            && same(title, item.title.value_or(QString())) && same(sourceURL, item.sourceURL.value_or(QString()))
            && same(siteName, item.siteName.value_or(QString())) && same(summary, item.summary.value_or(QString()))
            && same(insightSummary, item.insight ? item.insight->summary : QString())
            && same(pageText, item.pageText.value_or(CompactText())) && same(tags, item.tags.value_or(QStringList()))
            && same(labels, item.labels.value_or(QStringList()));
    }
    void takeText(const Item &item)
    {
        originalFilename = item.originalFilename;
        ocrText = item.ocrText.value_or(CompactText());
        title = item.title.value_or(QString());
        sourceURL = item.sourceURL.value_or(QString());
        siteName = item.siteName.value_or(QString());
        summary = item.summary.value_or(QString());
        insightSummary = item.insight ? item.insight->summary : QString();
        pageText = item.pageText.value_or(CompactText());
        tags = item.tags.value_or(QStringList());
        labels = item.labels.value_or(QStringList());
    }
};

using Order = std::vector<qsizetype>;

namespace {

// Sorts positions of `section` by one of the five orders, stably; false for
// any other value (the order is left as it is).
bool sortPositions(Order &order, const QList<Item> &section, const QString &sort)
{
    if (sort == QLatin1String("newest")) {
        std::stable_sort(order.begin(), order.end(),
                         [&](qsizetype a, qsizetype b) { return section[a].dateAdded > section[b].dateAdded; });
    } else if (sort == QLatin1String("oldest")) {
        std::stable_sort(order.begin(), order.end(),
                         [&](qsizetype a, qsizetype b) { return section[a].dateAdded < section[b].dateAdded; });
    } else if (sort == QLatin1String("az") || sort == QLatin1String("za")) {
        // One sort key per name, then plain byte comparisons.
        QCollator &collator = nameCollator();
        std::vector<std::optional<QCollatorSortKey>> keys(size_t(section.size()));
        for (qsizetype i : order)
            keys[size_t(i)].emplace(collator.sortKey(section[i].originalFilename));
        const bool ascending = sort == QLatin1String("az");
        std::stable_sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
            const int c = keys[size_t(a)]->compare(*keys[size_t(b)]);
            return ascending ? c < 0 : c > 0;
        });
    } else if (sort == QLatin1String("opened")) {
        std::stable_sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
            const qint64 ca = section[a].openCount.value_or(0), cb = section[b].openCount.value_or(0);
            if (ca != cb)
                return ca > cb;
            return section[a].lastOpenedAt.value_or(0.0) > section[b].lastOpenedAt.value_or(0.0);
        });
    } else {
        return false;
    }
    return true;
}

Order identityOrder(qsizetype n)
{
    Order order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), qsizetype(0));
    return order;
}

} // namespace

struct SearchKeyCache::Data {
    QHash<QString, Entry> entries;
    // The section the rest was made for; kept, so that its identity is certain.
    QList<Item> section;
    bool hasSection = false;
    // Every folded text of the section, each followed by a NUL; starts[i] is
    // where item i's text begins, starts[n] the end.
    QString joined;
    std::shared_ptr<std::vector<qsizetype>> starts = std::make_shared<std::vector<qsizetype>>();
    QHash<QString, std::shared_ptr<const Order>> sorted;
};

SearchKeyCache::SearchKeyCache() : d(new Data) {}
SearchKeyCache::~SearchKeyCache() { delete d; }

void SearchKeyCache::clear()
{
    delete d;
    d = new Data;
}

qsizetype SearchKeyCache::size() const { return d->entries.size(); }

const QString &SearchKeyCache::key(const Item &item)
{
    Entry &e = d->entries[item.id];
    if (!e.hasKey || !e.textMatches(item)) {
        e.takeText(item);
        e.key = searchFolded(searchableText(item));
        e.hasKey = true;
    }
    return e.key;
}

bool SearchKeyCache::serves(const QList<Item> &section) const
{
    return d->hasSection && d->section.isSharedWith(section) && d->section.size() == section.size();
}

void SearchKeyCache::useSection(const QList<Item> &section)
{
    if (serves(section))
        return;
    d->section = section;
    d->hasSection = true;
    d->joined.clear();
    d->starts = std::make_shared<std::vector<qsizetype>>();
    d->sorted.clear();
}

namespace {
// The positions whose text in `joined` (each followed by a NUL, item i's
// starting at starts[i]) contains `needle`.
std::vector<bool> findInJoined(const QString &joined, const std::vector<qsizetype> &starts, const QString &needle)
{
    const size_t n = starts.empty() ? 0 : starts.size() - 1;
    std::vector<bool> found(n, false);
    if (needle.isEmpty())
        return found;
    // One pass over all texts; a hit that runs past its item's end (over
    // the NUL) does not count.
    qsizetype from = 0;
    while (true) {
        const qsizetype at = joined.indexOf(needle, from);
        if (at < 0)
            break;
        const auto next = std::upper_bound(starts.begin(), starts.end(), at);
        const qsizetype item = qsizetype(next - starts.begin()) - 1;
        const qsizetype end = starts[size_t(item) + 1] - 1;
        if (at + needle.size() <= end) {
            found[size_t(item)] = true;
            from = end + 1;
        } else {
            from = at + 1;
        }
    }
    return found;
}
} // namespace

std::vector<bool> SearchKeyCache::matches(const QList<Item> &section, const QString &needle)
{
    useSection(section);
    const qsizetype n = section.size();
    std::vector<qsizetype> &starts = *d->starts;
    if (starts.empty()) {
        starts.reserve(size_t(n) + 1);
        for (qsizetype i = 0; i < n; ++i) {
            starts.push_back(d->joined.size());
            d->joined.append(key(section[i]));
            d->joined.append(QChar(0));
        }
        starts.push_back(d->joined.size());
    }
    return findInJoined(d->joined, starts, needle);
}

struct SearchKeyCache::Prepared {
    QList<Item> section;
    QString sort;
    QHash<QString, Entry> entries;
    QString joined;
    std::shared_ptr<std::vector<qsizetype>> starts;
    std::shared_ptr<Order> sorted;
};

std::shared_ptr<SearchKeyCache::Prepared> SearchKeyCache::preparation(const QList<Item> &section,
                                                                      const QString &sort) const
{
    // Shared, not copied: the other thread's first write detaches its own.
    auto p = std::make_shared<Prepared>();
    p->section = section;
    p->sort = sort;
    p->entries = d->entries;
    return p;
}

void SearchKeyCache::prepare(Prepared &p)
{
    // Read through a const reference: a write access would detach the list
    // from the section it must stay shared with.
    const QList<Item> &section = p.section;
    const qsizetype n = section.size();
    // Folding is the cost; it is split over a few threads, each reading the
    // shared entries and writing only its own range of keys.
    std::vector<QString> keys(static_cast<size_t>(n));
    std::vector<char> fresh(static_cast<size_t>(n), 0);
    const QHash<QString, Entry> &known = p.entries;
    auto fold = [&](qsizetype from, qsizetype to) {
        for (qsizetype i = from; i < to; ++i) {
            const Item &item = section[i];
            const auto it = known.constFind(item.id);
            if (it != known.constEnd() && it->hasKey && it->textMatches(item)) {
                keys[size_t(i)] = it->key;
            } else {
                keys[size_t(i)] = searchFolded(searchableText(item));
                fresh[size_t(i)] = 1;
            }
        }
    };
    const qsizetype parts = n < 4096 ? 1 : qBound(1, int(std::thread::hardware_concurrency()) - 1, 4);
    std::vector<std::thread> threads;
    const qsizetype step = (n + parts - 1) / std::max<qsizetype>(parts, 1);
    for (qsizetype from = step; from < n; from += step)
        threads.emplace_back(fold, from, std::min(n, from + step));
    fold(0, std::min(n, step));
    for (std::thread &t : threads)
        t.join();

    p.starts = std::make_shared<std::vector<qsizetype>>();
    p.starts->reserve(size_t(n) + 1);
    qsizetype length = 0;
    for (const QString &key : keys)
        length += key.size() + 1;
    p.joined.reserve(length);
    for (qsizetype i = 0; i < n; ++i) {
        p.starts->push_back(p.joined.size());
        p.joined.append(keys[size_t(i)]);
        p.joined.append(QChar(0));
        if (fresh[size_t(i)]) {
            Entry &e = p.entries[section[i].id];
            e.takeText(section[i]);
            e.key = keys[size_t(i)];
            e.hasKey = true;
        }
    }
    p.starts->push_back(p.joined.size());
    auto order = std::make_shared<Order>(identityOrder(n));
    if (sortPositions(*order, section, p.sort))
        p.sorted = std::move(order);
}

bool SearchKeyCache::adopt(std::shared_ptr<Prepared> p, const QList<Item> &current)
{
    if (!p || !p->starts)
        return false;
    // The folded texts hold whatever section is shown now: each is checked
    // against its item's text before use. Those made here meanwhile are made
    // again when next needed. The old table goes away on another thread:
    // freeing 100 000 entries takes a while.
    QHash<QString, Entry> old = std::exchange(d->entries, std::move(p->entries));
    if (!old.isEmpty() && !old.isSharedWith(d->entries))
        QThreadPool::globalInstance()->start([old = std::move(old)]() mutable { old = {}; });
    // Another section is shown by now, or this one was joined meanwhile.
    if (!current.isSharedWith(p->section) || current.size() != p->section.size() || joined(current))
        return false;
    useSection(current);
    d->joined = std::move(p->joined);
    d->starts = std::move(p->starts);
    if (p->sorted)
        d->sorted.insert(p->sort, std::move(p->sorted));
    return true;
}

bool SearchKeyCache::folded(const QList<Item> &section) const
{
    // Entries outlive the sections they were made for; half is a fair sign
    // that this one was folded before and joining it again is quick.
    return d->entries.size() >= section.size() / 2;
}

bool SearchKeyCache::joined(const QList<Item> &section) const
{
    return serves(section) && !d->starts->empty();
}

SectionSearch SearchKeyCache::snapshot(const QList<Item> &section, const QString &sort)
{
    SectionSearch out;
    useSection(section);
    if (d->starts->empty())
        return out;
    sorted(section, sort);
    out.section = section;
    out.joined = d->joined;
    out.starts = d->starts;
    out.sorted = d->sorted.value(sort);
    return out;
}

QList<qsizetype> SectionSearch::order(const QString &query, std::optional<double> hue) const
{
    if (!valid())
        return {};
    const bool filterText = !query.isEmpty();
    const QString needle = filterText ? searchFolded(query) : QString();
    if (filterText && needle.isEmpty())
        return {};
    const std::vector<bool> hits = filterText ? findInJoined(joined, *starts, needle) : std::vector<bool>();
    QList<qsizetype> out;
    out.reserve(section.size());
    for (qsizetype i : *sorted) {
        if (filterText && !hits[size_t(i)])
            continue;
        if (hue && !passesHueFilter(section[i].palette, *hue))
            continue;
        out.append(i);
    }
    return out;
}

const std::vector<qsizetype> &SearchKeyCache::sorted(const QList<Item> &section, const QString &sort)
{
    useSection(section);
    auto it = d->sorted.find(sort);
    if (it == d->sorted.end()) {
        auto order = std::make_shared<Order>(identityOrder(section.size()));
        sortPositions(*order, section, sort);
        it = d->sorted.insert(sort, std::move(order));
    }
    return **it;
}

QList<qsizetype> visibleOrder(const QList<Item> &section, const VisibleFilter &filter, SearchKeyCache *cache)
{
    // Ranked search results decide alone.
    if (filter.ranked && !filter.ranked->isEmpty()) {
        const QHash<QString, int> &ranked = *filter.ranked;
        Order order;
        std::vector<int> score(size_t(section.size()), 0);
        for (qsizetype i = 0; i < section.size(); ++i) {
            const auto it = ranked.constFind(section[i].id);
            if (it != ranked.cend()) {
                order.push_back(i);
                score[size_t(i)] = it.value();
            }
        }
        std::stable_sort(order.begin(), order.end(),
                         [&](qsizetype a, qsizetype b) { return score[size_t(a)] > score[size_t(b)]; });
        return QList<qsizetype>(order.begin(), order.end());
    }

    const qsizetype n = section.size();
    const bool filterText = !filter.query.isEmpty();
    const QString needle = filterText ? searchFolded(filter.query) : QString();
    if (filterText && needle.isEmpty())
        return {};
    std::vector<bool> textHit;
    if (filterText) {
        if (cache) {
            textHit = cache->matches(section, needle);
        } else {
            textHit.assign(size_t(n), false);
            for (qsizetype i = 0; i < n; ++i)
                textHit[size_t(i)] = searchFolded(searchableText(section[i])).contains(needle);
        }
    }
    auto passes = [&](qsizetype i) {
        if (filterText && !textHit[size_t(i)])
            return false;
        return !filter.hueFilter || passesHueFilter(section[i].palette, *filter.hueFilter);
    };

    Order order;
    order.reserve(size_t(n));
    if (filter.similar) {
        for (qsizetype i = 0; i < n; ++i)
            if (passes(i))
                order.push_back(i);
        std::vector<float> distance(size_t(n), std::numeric_limits<float>::infinity());
        for (qsizetype i : order)
            if (const auto d = filter.similar(section[i].id))
                distance[size_t(i)] = *d;
        std::stable_sort(order.begin(), order.end(),
                         [&](qsizetype a, qsizetype b) { return distance[size_t(a)] < distance[size_t(b)]; });
    } else if (cache) {
        // Sorting the whole section once and filtering that order gives the
        // same list as filtering first: the sorts are stable.
        for (qsizetype i : cache->sorted(section, filter.sort))
            if (passes(i))
                order.push_back(i);
    } else {
        for (qsizetype i = 0; i < n; ++i)
            if (passes(i))
                order.push_back(i);
        sortPositions(order, section, filter.sort);
    }
    return QList<qsizetype>(order.begin(), order.end());
}

QList<Item> filteredSortedItems(const QList<Item> &section, const VisibleFilter &filter, SearchKeyCache *cache)
{
    return itemsAt(section, visibleOrder(section, filter, cache));
}

QList<Item> itemsAt(const QList<Item> &section, const QList<qsizetype> &order)
{
    // The whole section in its own order is the section itself, shared.
    if (order.size() == section.size()) {
        bool same = true;
        for (qsizetype i = 0; i < order.size() && same; ++i)
            same = order[i] == i;
        if (same)
            return section;
    }
    QList<Item> out;
    out.reserve(order.size());
    for (qsizetype i : order)
        out.append(section[i]);
    return out;
}

} // namespace vellora

namespace vellora {

// What decides one visible item's place, copied from its record.
struct VisibleList::Row {
    QString id;
    // Compared before the id when looking one up.
    size_t idHash = 0;
    qsizetype position = 0;
    double dateAdded = 0;
    qint64 openCount = 0;
    double lastOpenedAt = 0;
    double trashedAt = 0;
    int score = 0;
    float distance = std::numeric_limits<float>::infinity();
    // Shared, so that rows move without copying (the key has no cheap move).
    std::shared_ptr<const QCollatorSortKey> nameKey;
};

struct VisibleList::Data {
    std::vector<Row> rows;
    VisibleFilter filter;
    QString needle;
    bool trashOrder = false;

    enum class Mode { Ranked, Similar, Newest, Oldest, AZ, ZA, Opened, Section } mode = Mode::Section;

    void setFilter(const VisibleFilter &f)
    {
        filter = f;
        needle = f.query.isEmpty() ? QString() : searchFolded(f.query);
        if (f.ranked && !f.ranked->isEmpty())
            mode = Mode::Ranked;
        else if (f.similar)
            mode = Mode::Similar;
        else if (f.sort == QLatin1String("newest"))
            mode = Mode::Newest;
        else if (f.sort == QLatin1String("oldest"))
            mode = Mode::Oldest;
        else if (f.sort == QLatin1String("az"))
            mode = Mode::AZ;
        else if (f.sort == QLatin1String("za"))
            mode = Mode::ZA;
        else if (f.sort == QLatin1String("opened"))
            mode = Mode::Opened;
        else
            mode = Mode::Section;
    }

    // Whether the record shows under the filter (the section aside).
    bool passes(const Item &item, SearchKeyCache *cache) const
    {
        if (mode == Mode::Ranked)
            return filter.ranked->contains(item.id);
        if (!filter.query.isEmpty()) {
            if (needle.isEmpty())
                return false;
            const QString text = cache ? cache->key(item) : searchFolded(searchableText(item));
            if (!text.contains(needle))
                return false;
        }
        return !filter.hueFilter || passesHueFilter(item.palette, *filter.hueFilter);
    }

    Row row(const Item &item, qsizetype position) const
    {
        Row r;
        r.id = item.id;
        r.idHash = qHash(item.id);
        r.position = position;
        r.dateAdded = item.dateAdded;
        r.openCount = item.openCount.value_or(0);
        r.lastOpenedAt = item.lastOpenedAt.value_or(0.0);
        r.trashedAt = item.trashedAt.value_or(0.0);
        if (mode == Mode::Ranked)
            r.score = filter.ranked->value(item.id);
        else if (mode == Mode::Similar)
            r.distance = filter.similar(item.id).value_or(std::numeric_limits<float>::infinity());
        else if (mode == Mode::AZ || mode == Mode::ZA)
            r.nameKey = std::make_shared<const QCollatorSortKey>(nameCollator().sortKey(item.originalFilename));
        return r;
    }

    // The order of the section itself: the store's, or in the trash the item
    // trashed last first.
    bool sectionBefore(const Row &a, const Row &b) const
    {
        if (trashOrder && a.trashedAt != b.trashedAt)
            return a.trashedAt > b.trashedAt;
        return a.position < b.position;
    }

    // The display order: the stable sorts of filteredSortedItems(), with the
    // section's order breaking every tie.
    bool before(const Row &a, const Row &b) const
    {
        switch (mode) {
        case Mode::Ranked:
            if (a.score != b.score)
                return a.score > b.score;
            break;
        case Mode::Similar:
            if (a.distance < b.distance)
                return true;
            if (b.distance < a.distance)
                return false;
            break;
        case Mode::Newest:
            if (a.dateAdded > b.dateAdded)
                return true;
            if (b.dateAdded > a.dateAdded)
                return false;
            break;
        case Mode::Oldest:
            if (a.dateAdded < b.dateAdded)
                return true;
            if (b.dateAdded < a.dateAdded)
                return false;
            break;
        case Mode::AZ:
        case Mode::ZA: {
            const int c = a.nameKey->compare(*b.nameKey);
            if (c != 0)
                return mode == Mode::AZ ? c < 0 : c > 0;
            break;
        }
        case Mode::Opened:
            if (a.openCount != b.openCount)
                return a.openCount > b.openCount;
            if (a.lastOpenedAt > b.lastOpenedAt)
                return true;
            if (b.lastOpenedAt > a.lastOpenedAt)
                return false;
            break;
        case Mode::Section:
            break;
        }
        return sectionBefore(a, b);
    }

    qsizetype find(const QString &id) const
    {
        const size_t hash = qHash(id);
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i].idHash == hash && rows[i].id == id)
                return qsizetype(i);
        return -1;
    }
    // Room to grow, so that one more row is not a copy of all of them.
    void makeRoom(size_t more)
    {
        if (rows.capacity() < rows.size() + more)
            rows.reserve(rows.size() + more + rows.size() / 4 + 64);
    }
};

VisibleList::VisibleList() : d(new Data) {}
VisibleList::~VisibleList() { delete d; }

void VisibleList::reset(const QList<Item> &visible, const QList<qsizetype> &storePositions, const VisibleFilter &filter,
                        bool trashOrder)
{
    d->setFilter(filter);
    d->trashOrder = trashOrder;
    d->rows.clear();
    d->makeRoom(size_t(visible.size()));
    for (qsizetype i = 0; i < visible.size(); ++i)
        d->rows.push_back(d->row(visible[i], storePositions.value(i)));
}

void VisibleList::reset(const QList<Item> &section, const QList<qsizetype> &order,
                        const QList<qsizetype> &storePositions, const VisibleFilter &filter, bool trashOrder)
{
    d->setFilter(filter);
    d->trashOrder = trashOrder;
    d->rows.clear();
    d->makeRoom(size_t(order.size()));
    for (qsizetype i = 0; i < order.size(); ++i)
        d->rows.push_back(d->row(section[order[i]], storePositions.value(i)));
}

void VisibleList::removedAt(qsizetype position)
{
    for (Row &row : d->rows)
        if (row.position > position)
            --row.position;
}

VisibleDiff VisibleList::update(const QStringList &ids, const QList<std::pair<qsizetype, Item>> &records,
                                const std::function<bool(const Item &)> &member, SearchKeyCache *cache)
{
    VisibleDiff diff;
    for (const QString &id : ids) {
        const qsizetype at = d->find(id);
        if (at < 0)
            continue;
        d->rows.erase(d->rows.begin() + at);
        diff.removed.append(id);
    }
    auto before = [this](const Row &a, const Row &b) { return d->before(a, b); };
    QList<std::pair<Row, const Item *>> shown;
    d->makeRoom(size_t(records.size()));
    for (const auto &record : records) {
        const Item &item = record.second;
        if (!ids.contains(item.id) || !member(item) || !d->passes(item, cache))
            continue;
        Row row = d->row(item, record.first);
        d->rows.insert(std::upper_bound(d->rows.begin(), d->rows.end(), row, before), row);
        shown.append({std::move(row), &item});
    }
    // Positions in the final list, lowest first: no two rows tie (their
    // places in the store differ), so a search finds each.
    for (const auto &[row, item] : shown) {
        const auto at = std::lower_bound(d->rows.begin(), d->rows.end(), row, before);
        diff.inserted.append({qsizetype(at - d->rows.begin()), *item});
    }
    std::sort(diff.inserted.begin(), diff.inserted.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    return diff;
}

qsizetype VisibleList::size() const { return qsizetype(d->rows.size()); }

QStringList VisibleList::ids() const
{
    QStringList out;
    out.reserve(qsizetype(d->rows.size()));
    for (const Row &row : d->rows)
        out.append(row.id);
    return out;
}

QString VisibleList::idAt(qsizetype index) const
{
    return index >= 0 && size_t(index) < d->rows.size() ? d->rows[size_t(index)].id : QString();
}

} // namespace vellora
