#include "Application.h"

#include "CommandLineModes.h"
#include "HeadlessRunner.h"
#include "MainWindow.h"
#include "StartupMode.h"

#include "enrichment/LinkPipeline.h"
#include "enrichment/PageSnapshot.h"
#include "integration/SearchProvider.h"
#include "integration/SystemIntegration.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"
#include "library/SettingsSync.h"
#include "library/StoreDrops.h"
#include "platform/Bundle.h"
#include "platform/Defaults.h"
#include "platform/Logging.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>

#include <memory>

namespace vellora {

namespace {

QStringList argumentList(int argc, char **argv)
{
    // Taken before any application object exists: Qt removes the options it
    // knows ("-platform", "-style", ...), and a path after "--import" may
    // look like one.
    QStringList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

// The services the library store calls once it has loaded; before the
// shared store's first use.
void installServices()
{
    installMediaServices();
    installSystemIntegration();
}

std::unique_ptr<QCoreApplication> makeHeadlessApplication(HeadlessApplication kind, int &argc, char **argv)
{
    if (kind == HeadlessApplication::Core)
        return std::make_unique<QCoreApplication>(argc, argv);
    // No display is needed, whatever the session offers.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (kind == HeadlessApplication::Gui)
        return std::make_unique<QGuiApplication>(argc, argv);
    preparePageSnapshots();
    auto application = std::make_unique<QApplication>(argc, argv);
    installPageSnapshots();
    return application;
}

[[noreturn]] void runHeadless(const StartupChoice &choice, const QStringList &arguments,
                              const QProcessEnvironment &environment, int argc, char **argv)
{
    auto application = makeHeadlessApplication(applicationFor(choice.mode), argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Vellora"));
    Defaults::standard().setArgumentDomain(choice.defaultsArguments(arguments));
    installServices();
    const int status = runHeadlessMode(choice, arguments, environment);
    finishSystemIntegration();
    finishProcess(status);
}

int runNormalStart(const QStringList &arguments, int argc, char **argv)
{
    preparePageSnapshots();
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Vellora"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Vellora"));
    Defaults::standard().setArgumentDomain(arguments);
    installPageSnapshots();
    installServices();
    installDesktopSearch();

    SettingsSync::start();
    // Change tracking starts with every load of the library.
    installChangeTracking();
    // The first use starts the library's background load; the store saves
    // itself when the application quits.
    LibraryStore &store = LibraryStore::shared();
    installLinkPipelineServices();
    IngestDrops ingestDrops(store);

    zezevaveri::ScatterGridController grid;
    MainWindow window(store, grid);
    window.show();
    ingestDrops.windowShown();
    // Links whose page text is missing are fetched again, one at a time.
    refreshLinksWhenLoaded(store);
    return application.exec();
}

} // namespace

int runVellora(int argc, char **argv)
{
    setBundleIdentifier(QString::fromLatin1(kVelloraBundleIdentifier));
    installLogHandler();
    const QStringList arguments = argumentList(argc, argv);
    // Started by the session bus for the desktop's search; never a window.
    if (arguments.contains(QStringLiteral("--search-provider")))
        return runSearchProvider(argc, argv);
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const StartupChoice choice = chooseStartupMode(arguments, environment);
    if (choice.mode != StartupMode::Normal)
        runHeadless(choice, arguments, environment, argc, argv);
    return runNormalStart(arguments, argc, argv);
}

} // namespace vellora
