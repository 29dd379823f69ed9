#include "SharedStoreExit.h"

#include "HeadlessRunner.h"

#include "library/LibraryStore.h"
#include "library/LibrarySync.h"

namespace vellora {

bool settleSharedStore(LibraryStore &store)
{
    LibrarySync::shared().stop();
    runEventLoopUntil([&store] { return store.importing() == 0; });
    if (!store.loaded())
        return false;
    return store.save();
}

} // namespace vellora
