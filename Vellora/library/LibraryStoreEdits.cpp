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
    bool itemsTouched = false;
    for (Item &item : m_items) {
        if (!item.collectionIds.contains(id))
            continue;
        item.collectionIds.removeAll(id);
        if (item.collectionIds.isEmpty())
            item.collectionIds = QStringList{fallback};
        itemsTouched = true;
    }
    emit collectionsChanged();
    if (itemsTouched)
        emit itemsChanged();
    scheduleSave();
}

void LibraryStore::setCollections(const QStringList &collectionIds, const QString &itemId)
{
    const QStringList chosen = collectionIds.isEmpty() ? QStringList{defaultBoardId()} : collectionIds;
    for (Item &item : m_items) {
        if (item.id == itemId) {
            item.collectionIds = chosen;
            emit itemsChanged();
            scheduleSave();
            return;
        }
    }
}

void LibraryStore::trash(const QStringList &ids)
{
    const double moment = now();
    bool changed = false;
    for (const QString &id : ids) {
        for (Item &item : m_items) {
            if (item.id != id)
                continue;
            if (!item.trashedAt) {
                item.trashedFrom = item.collectionIds;
                item.collectionIds.clear();
                item.trashedAt = moment;
                changed = true;
            }
            break;
        }
    }
    if (changed)
        emit itemsChanged();
    scheduleSave();
    removeFromSpotlight(ids);
}

void LibraryStore::restore(const QStringList &ids)
{
    QSet<QString> existing;
    for (const Board &board : m_collections)
        existing.insert(board.id);
    bool changed = false;
    QList<Item> restored;
    for (const QString &id : ids) {
        for (Item &item : m_items) {
            if (item.id != id)
                continue;
            // Only an item in the trash has somewhere to come back to; one
            // outside it keeps its collections.
            if (item.trashedAt) {
                QStringList back;
                for (const QString &collectionId : item.trashedFrom.value_or(QStringList()))
                    if (existing.contains(collectionId))
                        back.append(collectionId);
                item.collectionIds = back.isEmpty() ? QStringList{defaultBoardId()} : back;
                item.trashedAt.reset();
                item.trashedFrom.reset();
                changed = true;
                restored.append(item);
            }
            break;
        }
    }
    if (changed)
        emit itemsChanged();
    scheduleSave();
    // Trashing took them out of the search index; they belong in it again.
    if (!restored.isEmpty())
        indexInSpotlight(restored);
}

void LibraryStore::deletePermanently(const QString &id)
{
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        const Item &item = m_items.at(i);
        if (item.id != id)
            continue;
        // Names from the document are used only as one plain component
        // inside the library's own folders.
        removeLibraryFile(m_root, QStringLiteral("originals"), item.storedFilename);
        removeLibraryFile(m_root, QStringLiteral("thumbnails"), item.thumbnailFilename);
        removeLibraryFile(m_root, QStringLiteral("covers"), item.thumbnailFilename);
        if (item.faviconFilename)
            removeLibraryFile(m_root, QStringLiteral("favicons"), *item.faviconFilename);
        m_items.removeAt(i);
        emit itemsChanged();
        scheduleSave();
        removeFromSpotlight(QStringList{id});
        return;
    }
}

void LibraryStore::purgeTrash(double olderThanDays)
{
    const double cutOff = now() - olderThanDays * 86400.0;
    QStringList expired;
    for (const Item &item : m_items) {
        if (item.trashedAt && *item.trashedAt <= cutOff)
            expired.append(item.id);
    }
    for (const QString &id : expired)
        deletePermanently(id);
}

void LibraryStore::markOpened(const QString &id)
{
    for (Item &item : m_items) {
        if (item.id == id) {
            item.openCount = item.openCount.value_or(0) + 1;
            item.lastOpenedAt = now();
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
