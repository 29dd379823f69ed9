#pragma once
// The tag and collection edits of the inspector as plain functions over
// items, free of widgets, so that one picked item and several picked items
// are edited by the same rules.

#include "library/Item.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace vellora {

// The tags a typed entry stands for: one per comma-separated fragment, trimmed
// and lower-cased; empty fragments and repeats are dropped.
QStringList parseTagEntry(const QString &entry);

// The tags every one of the items carries, in the first item's order.
QStringList sharedTags(const QList<Item> &items);
// The collection ids every one of the items belongs to.
QStringList sharedCollections(const QList<Item> &items);
// The collection ids at least one of the items belongs to.
QStringList anyCollections(const QList<Item> &items);

// `tags` with `added` appended (those it lacks, ignoring case).
QStringList withTagsAdded(const QStringList &tags, const QStringList &added);
// `tags` without `removed` (ignoring case).
QStringList withTagsRemoved(const QStringList &tags, const QStringList &removed);

} // namespace vellora
