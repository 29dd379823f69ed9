#include "CommandLineModes.h"

#include "AddLinkMode.h"
#include "AddToLibraryMode.h"
#include "HeadlessRunner.h"
#include "ImportModes.h"
#include "IngestDropsMode.h"
#include "LocationModes.h"

#include "platform/Console.h"
#include "SelfCheck.h"
#include "SharedStoreExit.h"

#include "library/LibraryStore.h"
#include "sharing/CollectionSharing.h"
#include "sharing/ShareCommand.h"
#include "UpdateMode.h"

namespace vellora {

HeadlessApplication applicationFor(StartupMode mode)
{
    switch (mode) {
    case StartupMode::SelfCheck:
    // The link road renders pages in an off-screen web view, which is a widget.
    case StartupMode::AddLink:
    case StartupMode::IngestDrops:
    case StartupMode::AddToLibrary:
        return HeadlessApplication::Widgets;
    case StartupMode::PrintContainer:
    case StartupMode::Migrate:
    case StartupMode::Share:
    case StartupMode::Update:
        return HeadlessApplication::Core;
    case StartupMode::Normal:
    case StartupMode::Import:
    case StartupMode::ImportLibrary:
        return HeadlessApplication::Gui;
    }
    return HeadlessApplication::Gui;
}

int modeNotBuilt(StartupMode mode)
{
    QString word = startupModeName(mode);
    while (word.startsWith(QLatin1Char('-')))
        word.remove(0, 1);
    printLine(word + QStringLiteral(": not built yet"));
    return 1;
}

namespace {

// "--share <name>": prints the share URL or why there is none; status 0
// unless the library itself could not be used.
int runShare(const QStringList &arguments)
{
    LibraryStore &store = LibraryStore::shared();
    CompletionFlag flag = makeCompletionFlag();
    auto loaded = std::make_shared<bool>(false);
    cliShareTask(store, CollectionSharing::shared(), arguments.value(0), printLine, [flag, loaded](bool ok) {
        *loaded = ok;
        *flag = true;
    });
    waitForCompletion(flag);
    return *loaded && settleSharedStore(store) ? 0 : 1;
}

} // namespace

int runHeadlessMode(const StartupChoice &choice, const QStringList &arguments,
                    const QProcessEnvironment &environment)
{
    switch (choice.mode) {
    case StartupMode::Normal:
        return 0;
    case StartupMode::SelfCheck:
        return runSelfCheck();
    case StartupMode::PrintContainer:
        return runPrintContainer();
    case StartupMode::Migrate:
        return runMigrate(environment.value(QStringLiteral("VELLORA_MIGRATE")));
    case StartupMode::Import:
        return runImportFiles(choice.argumentsAfter(arguments));
    case StartupMode::ImportLibrary:
        return runImportLibrary(choice.argumentsAfter(arguments));
    case StartupMode::AddLink:
        return runAddLink(choice.argumentsAfter(arguments));
    case StartupMode::Share:
        return runShare(choice.argumentsAfter(arguments));
    case StartupMode::Update:
        return runUpdate();
    case StartupMode::IngestDrops:
        return runIngestDrops();
    case StartupMode::AddToLibrary:
        return runAddToLibrary(choice.argumentsAfter(arguments));
    }
    return 1;
}

} // namespace vellora
