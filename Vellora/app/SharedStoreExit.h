#pragma once
// The end of a headless mode that used the application's shared store.

namespace vellora {

class LibraryStore;

// Stops change tracking, so no further drop is claimed, lets a running
// import or drops scan finish (a claimed drop is removed only once the
// library holds it), then saves. False when the library could not be saved.
bool settleSharedStore(LibraryStore &store);

} // namespace vellora
