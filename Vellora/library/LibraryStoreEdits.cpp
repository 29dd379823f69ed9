// The edits of the library: collections, trash, permanent deletion, opening
// counts and smart folders. Each changes the published lists and then asks
// for the debounced save; none writes library.json at once.

#include "LibraryStore.h"

#include "SafeNames.h"

#include "platform/Clock.h"
#include "platform/Uuid.h"

#include <QSet>

namespace vellora {

QString LibraryStore::createCollection(const QString &name)
{
    Board board;
    board.id = newUUIDString();
    board.name = name;
    board.dateCreated = now();
    m_collections.append(board);
    emit collectionsChanged();
    scheduleSave();
    return board.id;
}

void LibraryStore::renameCollection(const QString &id, const QString &name)
{
    for (Board &board : m_collections) {
        if (board.id == id) {
            board.name = name;
            emit collectionsChanged();
            scheduleSave();
            return;
        }
    }
}

void LibraryStore::deleteCollection(const QString &id)
{
    const QString fallback = defaultBoardId();
    if (id == fallback)
        return;
    m_collections.removeIf([&](const Board &board) { return board.id == id; });
    ItemChanges touched;
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        if (!std::as_const(m_items)[i].collectionIds.contains(id))
            continue;
        Item &item = m_items[i];
        item.collectionIds.removeAll(id);
        if (item.collectionIds.isEmpty())
            item.collectionIds = QStringList{fallback};
        touched.change(item.id, i);
    }
    emit collectionsChanged();
    if (!touched.isEmpty()) {
        emit itemsEdited(touched);
        emit itemsChanged();
    }
    scheduleSave();
}

bool LibraryStore::moveCollection(const QString &id, int index)
{
    qsizetype from = -1;
    for (qsizetype i = m_collections.size() - 1; i >= 0 && from < 0; --i)
        if (m_collections.at(i).id == id)
            from = i;
    // The first collection is the default one (the Inbox); moving it, or
    // moving another in front of it, would change what the Inbox shows.
    if (from <= 0)
        return false;
    qsizetype to = qBound(qsizetype(1), qsizetype(index), m_collections.size());
    if (to > from)
        --to; // the list shrinks by the moved entry first
    if (to == from)
        return false;
    m_collections.move(from, to);
    touch();
    emit collectionsChanged();
    scheduleSave();
    return true;
}

void LibraryStore::setCollections(const QStringList &collectionIds, const QString &itemId)
{
    const QStringList chosen = collectionIds.isEmpty() ? QStringList{defaultBoardId()} : collectionIds;
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        if (std::as_const(m_items)[i].id == itemId) {
            Item &item = m_items[i];
            item.collectionIds = chosen;
            ItemChanges changes;
            changes.change(itemId, i);
            emit itemsEdited(changes);
            emit itemsChanged();
            scheduleSave();
            return;
        }
    }
}

void LibraryStore::trash(const QStringList &ids)
{
    const double moment = now();
    ItemChanges changes;
    for (const QString &id : ids) {
        for (qsizetype i = 0; i < m_items.size(); ++i) {
            if (std::as_const(m_items)[i].id != id)
                continue;
            if (!std::as_const(m_items)[i].trashedAt) {
                Item &item = m_items[i];
                item.trashedFrom = item.collectionIds;
                item.collectionIds.clear();
                item.trashedAt = moment;
                changes.change(id, i);
                --changes.activeDelta;
            }
            break;
        }
    }
    if (!changes.isEmpty()) {
        emit itemsEdited(changes);
        emit itemsChanged();
    }
    scheduleSave();
    removeFromSpotlight(ids);
}

void LibraryStore::restore(const QStringList &ids)
{
    QSet<QString> existing;
    for (const Board &board : m_collections)
        existing.insert(board.id);
    ItemChanges changes;
    QList<Item> restored;
    for (const QString &id : ids) {
        for (qsizetype i = 0; i < m_items.size(); ++i) {
            if (std::as_const(m_items)[i].id != id)
                continue;
            // Only an item in the trash has somewhere to come back to; one
            // outside it keeps its collections.
            if (std::as_const(m_items)[i].trashedAt) {
                Item &item = m_items[i];
                QStringList back;
                for (const QString &collectionId : item.trashedFrom.value_or(QStringList()))
                    if (existing.contains(collectionId))
                        back.append(collectionId);
                item.collectionIds = back.isEmpty() ? QStringList{defaultBoardId()} : back;
                item.trashedAt.reset();
                item.trashedFrom.reset();
                changes.change(id, i);
                ++changes.activeDelta;
                restored.append(item);
            }
            break;
        }
    }
    if (!changes.isEmpty()) {
        emit itemsEdited(changes);
        emit itemsChanged();
    }
    scheduleSave();
    // Trashing took them out of the search index; they belong in it again.
    if (!restored.isEmpty())
        indexInSpotlight(restored);
}

void LibraryStore::deletePermanently(const QString &id)
{
    // Two records may carry one id (a damaged or merged document); the one in
    // the trash is the one the user means, an active namesake stays.
    qsizetype at = -1;
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        if (m_items.at(i).id != id)
            continue;
        if (m_items.at(i).trashedAt) {
            at = i;
            break;
        }
        if (at < 0)
            at = i;
    }
    if (at < 0)
        return;
    removeRecordAt(at);
    scheduleSave();
    // The index keys items by id: keep it while a namesake remains.
    if (!item(id))
        removeFromSpotlight(QStringList{id});
}

void LibraryStore::removeRecordAt(qsizetype index)
{
    const Item gone = m_items.takeAt(index);
    // A file goes only when no remaining record names it: another item may
    // share a stored name with the one that leaves.
    // One pass of plain comparisons: no sets of every name of a large library.
    bool originalNamed = false, thumbnailNamed = false, faviconNamed = false;
    for (const Item &item : std::as_const(m_items)) {
        originalNamed = originalNamed || item.storedFilename == gone.storedFilename;
        thumbnailNamed = thumbnailNamed || item.thumbnailFilename == gone.thumbnailFilename;
        faviconNamed = faviconNamed || (gone.faviconFilename && item.faviconFilename == gone.faviconFilename);
    }
    // Names from the document are used only as one plain component inside
    // the library's own folders.
    if (!originalNamed)
        removeLibraryFile(m_root, QStringLiteral("originals"), gone.storedFilename);
    if (!thumbnailNamed) {
        removeLibraryFile(m_root, QStringLiteral("thumbnails"), gone.thumbnailFilename);
        removeLibraryFile(m_root, QStringLiteral("covers"), gone.thumbnailFilename);
    }
    if (gone.faviconFilename && !faviconNamed)
        removeLibraryFile(m_root, QStringLiteral("favicons"), *gone.faviconFilename);
    ItemChanges changes;
    changes.removed.append(gone.id);
    changes.removedAt.append(index);
    changes.activeDelta = gone.trashedAt ? 0 : -1;
    emit itemsEdited(changes);
    emit itemsChanged();
}

void LibraryStore::purgeTrash(double olderThanDays)
{
    const double cutOff = now() - olderThanDays * 86400.0;
    // By position, not by id: only the expired trashed records themselves,
    // never an active record that happens to share an id with one.
    QList<qsizetype> expired;
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        const Item &item = m_items.at(i);
        if (item.trashedAt && *item.trashedAt <= cutOff)
            expired.append(i);
    }
    if (expired.isEmpty())
        return;
    QStringList gone;
    for (qsizetype i : expired)
        gone.append(m_items.at(i).id);
    for (auto it = expired.crbegin(); it != expired.crend(); ++it)
        removeRecordAt(*it);
    scheduleSave();
    for (const QString &id : gone)
        if (!item(id))
            removeFromSpotlight(QStringList{id});
}

void LibraryStore::markOpened(const QString &id)
{
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        if (std::as_const(m_items)[i].id == id) {
            Item &item = m_items[i];
            item.openCount = item.openCount.value_or(0) + 1;
            item.lastOpenedAt = now();
            ItemChanges changes;
            changes.change(id, i);
            emit itemsEdited(changes);
            emit itemsChanged();
            scheduleSave();
            return;
        }
    }
}

void LibraryStore::saveSmartFolder(const SmartFolder &folder)
{
    bool replaced = false;
    for (SmartFolder &existing : m_smartFolders) {
        if (existing.id == folder.id) {
            existing = folder;
            replaced = true;
            break;
        }
    }
    if (!replaced)
        m_smartFolders.append(folder);
    emit smartFoldersChanged();
    scheduleSave();
}

void LibraryStore::deleteSmartFolder(const QString &id)
{
    m_smartFolders.removeIf([&](const SmartFolder &folder) { return folder.id == id; });
    emit smartFoldersChanged();
    scheduleSave();
}

} // namespace vellora
