#pragma once
// The Share menu that stands in for the system's sharing-service picker:
//   "Copy"                  the items as text/uri-list (and their addresses as text),
//   "Open With…"            each item in the desktop's default application,
//   "Show in File Manager"  the originals selected in the file manager (only for
//                           images).
// Images are handed over as private copies of their originals (exportFile),
// made on a worker thread when an entry is chosen, so building the menu
// never touches the disk.

#include "library/Records.h"

#include <QList>
#include <QUrl>

#include <functional>

class QMenu;
class QWidget;

namespace vellora {

class LibraryStore;

// Whether an item has something to hand over (a link with a usable address,
// an image whose names are safe); the menu leaves the others out.
bool hasExport(const Item &item);

// The export URLs of the items, made off the main thread; `done` runs on the
// main thread while `context` exists. Items without one are left out.
void exportURLsInBackground(const QString &root, const QList<Item> &items, QObject *context,
                            std::function<void(QList<QUrl>)> done);

// Copies the URLs to the clipboard as text/uri-list, with one address per
// line as text.
void copyURLsToClipboard(const QList<QUrl> &urls);

// The "Share" submenu over the items that have an export (nothing when none
// has). The menu belongs to `parent`.
QMenu *makeShareMenu(const LibraryStore &store, const QList<Item> &items, QWidget *parent);

} // namespace vellora
