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

QStringList sharedTags(const QList<Item> &items)
{
    if (items.isEmpty())
        return {};
    QStringList shared;
    for (const QString &tag : items.first().tags.value_or(QStringList())) {
        bool everywhere = true;
        for (const Item &item : items)
            everywhere = everywhere && item.tags.value_or(QStringList()).contains(tag, Qt::CaseInsensitive);
        if (everywhere && !shared.contains(tag, Qt::CaseInsensitive))
            shared << tag;
    }
    return shared;
}

QStringList sharedCollections(const QList<Item> &items)
{
    if (items.isEmpty())
        return {};
    QStringList shared;
    for (const QString &id : items.first().collectionIds) {
        bool everywhere = true;
        for (const Item &item : items)
            everywhere = everywhere && item.collectionIds.contains(id);
        if (everywhere && !shared.contains(id))
            shared << id;
    }
    return shared;
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
