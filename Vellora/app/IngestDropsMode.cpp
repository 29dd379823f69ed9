#include "IngestDropsMode.h"

#include "HeadlessRunner.h"

#include "enrichment/StoreDrops.h"
#include "library/LibraryStore.h"
#include "platform/Console.h"

namespace vellora {

int runIngestDrops()
{
    LibraryStore &store = LibraryStore::shared();
    // A library that did not load keeps its drops: importing into a store
    // that may not save would remove drops the library never got.
    const bool loaded = store.waitUntilLoaded();
    auto flag = makeCompletionFlag();
    bool written = true;
    if (!loaded) {
        *flag = true;
    } else if (store.importing() != 0) {
        written = store.save();
        *flag = true;
    } else {
        startDropsScan(store, [&store, &written, flag](const DropsScanReport &) {
            written = store.save();
            *flag = true;
        });
    }
    waitForCompletion(flag);

    int links = 0;
    for (const Item &item : store.items())
        links += item.kind == QLatin1String("link") ? 1 : 0;
    printLine(QStringLiteral("library: %1 items (%2 links)").arg(store.items().size()).arg(links));
    // The drops that were not saved stay in the drops folder; the run still failed.
    if (!loaded) {
        printErrorLine(store.loadError());
        return 1;
    }
    if (!written) {
        printErrorLine(QStringLiteral("library.json not saved: ") + store.lastSaveError());
        return 1;
    }
    return 0;
}

} // namespace vellora
