#pragma once
// The work of the "--share <collection name>" mode: wait for the library,
// sync the shared collections, share the collection with exactly that name
// and report its URL, then wait for the uploads it started.

#include <QString>

#include <functional>

namespace vellora {

class CollectionSharing;
class LibraryStore;

// `print` gets each line of the mode's output; `done` runs once at the end
// with false only when the library could not be loaded.
void cliShareTask(LibraryStore &store, CollectionSharing &sharing, const QString &name,
                  std::function<void(const QString &)> print, std::function<void(bool loaded)> done);

} // namespace vellora
