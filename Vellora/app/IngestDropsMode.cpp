#include "IngestDropsMode.h"

#include "HeadlessRunner.h"

#include "library/LibraryStore.h"
#include "library/StoreDrops.h"
#include "platform/Console.h"

namespace vellora {

int runIngestDrops()
{
    LibraryStore &store = LibraryStore::shared();
    // A library that did not load keeps its drops: importing into a store
    // that may not save would remove drops the library never got.
    const bool loaded = store.waitUntilLoaded();
    auto flag = makeCompletionFlag();
    if (!loaded) {
        *flag = true;
    } else if (store.importing() != 0) {
        store.save();
        *flag = true;
    } else {
        startDropsScan(store, [&store, flag](const DropsScanReport &) {
            store.save();
            *flag = true;
        });
    }
    waitForCompletion(flag);

    int links = 0;
    for (const Item &item : store.items())
        links += item.kind == QLatin1String("link") ? 1 : 0;
    printLine(QStringLiteral("library: %1 items (%2 links)").arg(store.items().size()).arg(links));
    return loaded ? 0 : 1;
}

} // namespace vellora
