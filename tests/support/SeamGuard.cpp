#include "SeamGuard.h"

#include "enrichment/AddressPolicy.h"
#include "enrichment/LinkPipeline.h"
#include "enrichment/PageSnapshotter.h"
#include "library/Drops.h"
#include "library/LibraryLocation.h"
#include "library/Services.h"
#include "platform/Clock.h"
#include "platform/FileManager.h"
#include "platform/Scheduler.h"
#include "platform/Ubiquity.h"
#include "views/CollectionContents.h"

namespace vellora {

struct SeamGuard::Saved {
    Clock *clock = &Clock::current();
    Scheduler *scheduler = &Scheduler::main();
    Ubiquity *ubiquity = &Ubiquity::current();
    LibraryServices libraryServices = LibraryServices::installed();
    LinkPipelineServices linkServices = LinkPipelineServices::installed();
    PageSnapshotFactory pageSnapshots = currentPageSnapshotFactory();
    FileManager::OpenFolder openFolder = FileManager::currentOpenFolder();
    DestructiveAlert alert = destructiveAlert();
    AddressPolicy::Rules addressRules = AddressPolicy::Rules::installed();
};

SeamGuard::SeamGuard() : m_saved(std::make_unique<Saved>()) {}

SeamGuard::~SeamGuard()
{
    Clock::setCurrent(m_saved->clock);
    Scheduler::setMain(m_saved->scheduler);
    Ubiquity::setCurrent(m_saved->ubiquity);
    LibraryServices::installed() = std::move(m_saved->libraryServices);
    LinkPipelineServices::installed() = std::move(m_saved->linkServices);
    setPageSnapshotFactory(std::move(m_saved->pageSnapshots));
    FileManager::setOpenFolder(std::move(m_saved->openFolder));
    setDestructiveAlert(std::move(m_saved->alert));
    AddressPolicy::Rules::installed() = std::move(m_saved->addressRules);
    LibraryLocation::setMoveHookForTesting({});
    // Also forgets the synced folder read from the settings.
    LibraryLocation::resetForTesting();
    resetDropAttempts();
}

} // namespace vellora
