#pragma once
// The store's media operations: file import, export, the import of another
// library folder, and the passes that run after a load (storage cap, cover
// back-fill, thumbnail downloads), which the store reaches through its
// service hooks once installMediaServices() has run.
//
// Main thread unless stated otherwise.

#include "library/LibraryStore.h"

#include <QStringList>
#include <QUrl>
#include <nlohmann/json.hpp>
#include <optional>

namespace vellora {

// Installs the storage cap, the cover back-fill and the thumbnail downloads
// as the store's hooks (LibraryServices). Once at start-up, before the shared
// store loads; tests install them too.
void installMediaServices();

// What an import does with a file whose picture the library already holds.
enum class KnownPictures {
    // Nothing: the file adds no item.
    Skip,
    // The item that holds it joins the collection (and leaves the trash).
    JoinCollection,
};

// Starts importing picture files into a collection and returns at once: the
// store's importing count goes up now and down on the main thread once every
// item of the import is in the store.
void importFiles(LibraryStore &store, const QStringList &files, const QString &collectionId,
                 KnownPictures known = KnownPictures::Skip);

// Imports picture files into a collection and returns how many items were
// added; blocks until every file is processed. Files that are not pictures,
// are damaged, or whose content is already in the library (trash included) or
// earlier in the list add nothing.
// On the main thread the items are inserted and the library saved before it
// returns. From any other thread they reach the store in batches of 100, each
// with a debounced save, and it returns once the last batch is in.
int addFiles(LibraryStore &store, const QStringList &files, const QString &collectionId,
             KnownPictures known = KnownPictures::Skip);

// What one addFiles call did, for callers that must tell a file that was no
// picture from a library that could not be written.
struct ImportReport {
    int added = 0;
    int duplicates = 0;
    int skipped = 0;
    // Known pictures that joined the collection (KnownPictures::JoinCollection).
    int joined = 0;
    // Why the library's folders refused a file; empty when they did not.
    QString writeError;
    // On the main thread: whether library.json took the new items.
    bool saved = true;
};
ImportReport addFilesReporting(LibraryStore &store, const QStringList &files, const QString &collectionId,
                               KnownPictures known = KnownPictures::Skip);

// Adds items to a collection, keeping the collections they are in; an item in
// the trash comes back first. Unknown ids and unknown collections are
// ignored. Returns how many items were not in the collection before.
int addToCollection(LibraryStore &store, const QStringList &ids, const QString &collectionId);

// What other applications get for an item: the web address of a link, or a
// private copy of an image's original (see exportFile in Media.h). Nothing
// for an unknown id or a link without a valid address.
std::optional<QUrl> exportURL(const LibraryStore &store, const QString &id);

struct LibraryImportCounts {
    int imported = 0;
    int skipped = 0;
    int deduped = 0;
    bool operator==(const LibraryImportCounts &) const = default;
};

// Brings the collections, pictures and links of an older library folder into
// the store, one entry after the other, then saves and indexes the new items.
// A folder without a usable library.json prints "no library.json in <path>"
// and changes nothing.
LibraryImportCounts importLibrary(LibraryStore &store, const QString &folder);

// One link entry of an older library: a new link item with the favicon and
// page snapshot files of the old folder. False when the entry has no address
// or its address is already in the library.
bool importLinkEntry(LibraryStore &store, const nlohmann::json &entry, const QString &folder,
                     const QString &collectionId);

} // namespace vellora
