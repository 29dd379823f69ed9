#pragma once
// What a section of the sidebar shows, where new material goes while it is
// shown, and the two operations that every way in (drops, paste, the
// drop shelf, Services) and every way out (the permanent delete) share.
//
// Main thread only: they read and change the store's published state.

#include "library/Records.h"
#include "library/Sections.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class QWidget;

class QMimeData;

namespace vellora {

class LibraryStore;

// The members of a section (sectionMembership()), copied, in the store's
// order; the trash shows the item trashed last first (ties keep the store's
// order). The header bar's sort order is the caller's business.
QList<Item> itemsInCollection(const LibraryStore &store, const QString &sectionId);

// The collection that receives drops and pastes while `sectionId` is shown:
// the id itself when a collection has exactly that id, else the first
// collection's (empty when the library has none).
QString resolveBoardId(const LibraryStore &store, const QString &sectionId);

// Brings dropped or pasted addresses into a collection. The local files go,
// in their order and all at once, to the store's file import (which returns
// at once); a picture the library already holds is not imported again, its
// item joins the collection. Every other address is read as a link
// (normalizedLinkURL); each accepted one is added and enriched on a later
// turn of the event loop, the rest are dropped without a word.
void importURLs(const QList<QUrl> &urls, LibraryStore &store, const QString &boardId);

// The MIME type that carries the ids of library items while they are
// dragged (one id a line), beside their export addresses.
inline constexpr const char *kItemIdsMime = "application/x-vellora-item-ids";
// The item ids a drag carries; none when it comes from elsewhere.
QStringList draggedItemIds(const QMimeData &data);

// The question before something is destroyed: true when the user chose the
// destructive button. The default shows a modal QMessageBox with the
// destructive button first; tests install their own answer.
using DestructiveAlert = std::function<bool(QWidget *parent, const QString &message, const QString &informative,
                                            const QString &destructiveButton)>;
// The alert in use; never empty.
DestructiveAlert &destructiveAlert();
// Replaces the alert (an empty one restores the default).
void setDestructiveAlert(DestructiveAlert alert);

// Asks "Delete this item permanently?" (one id) or "Delete <n> items
// permanently?" with "You can't undo this." and, only on "Delete", deletes
// each id in order through the store: its files go too. An empty list asks
// nothing. Returns whether anything was deleted.
bool confirmDeletePermanently(const QStringList &ids, LibraryStore &store, QWidget *parent = nullptr);

} // namespace vellora
