#include "TagEdits.h"

#include <QSet>

namespace vellora {

QStringList parseTagEntry(const QString &entry)
{
    QStringList tags;
    for (const QString &fragment : entry.split(QLatin1Char(','))) {
        const QString tag = fragment.trimmed().toLower();
        if (!tag.isEmpty() && !tags.contains(tag))
            tags << tag;
    }
    return tags;
}

namespace {

// The values of the first item that every item has too, in the first item's
// order and each once.
template <typename Values>
QStringList sharedValues(const QList<Item> &items, Values values, Qt::CaseSensitivity sensitivity)
{
    if (items.isEmpty())
        return {};
    QStringList shared;
    for (const QString &value : values(items.first())) {
        bool everywhere = true;
        for (const Item &item : items)
            everywhere = everywhere && values(item).contains(value, sensitivity);
        if (everywhere && !shared.contains(value, sensitivity))
            shared << value;
    }
    return shared;
}

} // namespace

QStringList sharedTags(const QList<Item> &items)
{
    return sharedValues(items, [](const Item &item) { return item.tags.value_or(QStringList()); },
                        Qt::CaseInsensitive);
}

QStringList sharedCollections(const QList<Item> &items)
{
    return sharedValues(items, [](const Item &item) { return item.collectionIds; }, Qt::CaseSensitive);
}

QStringList anyCollections(const QList<Item> &items)
{
    QStringList any;
    for (const Item &item : items)
        for (const QString &id : item.collectionIds)
            if (!any.contains(id))
                any << id;
    return any;
}

QStringList withTagsAdded(const QStringList &tags, const QStringList &added)
{
    QStringList result = tags;
    for (const QString &tag : added)
        if (!result.contains(tag, Qt::CaseInsensitive))
            result << tag;
    return result;
}

QStringList withTagsRemoved(const QStringList &tags, const QStringList &removed)
{
    QStringList result;
    for (const QString &tag : tags)
        if (!removed.contains(tag, Qt::CaseInsensitive))
            result << tag;
    return result;
}

} // namespace vellora
