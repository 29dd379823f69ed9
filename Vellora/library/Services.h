#pragma once
// What the store calls in the services around it: collection sharing, the
// system search index, the media passes that run after a load, and change
// tracking. Each service installs its hooks once at start-up; a hook that is
// not installed does nothing, so the store works (and is tested) on its own.
// All hooks run on the main thread.

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace vellora {

class LibraryStore;
struct Item;

struct LibraryServices {
    // Collection sharing: fetch and apply the shared collections' changes,
    // then push local ones; `done` runs when it has finished, in every case.
    std::function<void(LibraryStore &, std::function<void()> done)> syncCollections;
    // Collection sharing: upload the changed memberships of shared collections.
    std::function<void(LibraryStore &)> pushSharedChanges;

    // System search index.
    std::function<void(LibraryStore &, const QList<Item> &)> indexInSpotlight;
    std::function<void(LibraryStore &, const QStringList &ids)> removeFromSpotlight;
    std::function<void(LibraryStore &)> reindexSpotlightIfNeeded;

    // Media: the storage cap (with the id of an item whose original stays),
    // the cover back-fill and the thumbnail downloads.
    std::function<void(LibraryStore &, const std::optional<QString> &keep)> enforceStorageCap;
    std::function<void(LibraryStore &)> backfillCovers;
    std::function<void(LibraryStore &, const QList<Item> &)> prefetchThumbnails;

    // Change tracking: start watching the store's folder.
    std::function<void(LibraryStore &)> startSync;

    // The hooks of this process. Install before the shared store loads.
    static LibraryServices &installed();
};

} // namespace vellora
