#include "Application.h"

#include "CommandLineModes.h"
#include "HeadlessRunner.h"
#include "AppState.h"
#include "ApplicationBus.h"
#include "Capture.h"
#include "DesktopEntry.h"
#include "MainWindow.h"
#include "ServiceProvider.h"
#include "WindowServices.h"
#include "StartupMode.h"

#include "enrichment/Analyzer.h"
#include "enrichment/LinkPipeline.h"
#include "enrichment/PageSnapshot.h"
#include "enrichment/StoreDrops.h"
#include "integration/SearchProvider.h"
#include "integration/SystemIntegration.h"
#include "integration/WidgetSnapshot.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"
#include "library/SettingsSync.h"
#include "sharing/CollectionSharing.h"
#include "sharing/SharingMenu.h"
#include "platform/Bundle.h"
#include "update/Updater.h"
#include "views/WindowLook.h"
#include "platform/Defaults.h"
#include "platform/Logging.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <cstdio>
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
    installCollectionSharing();
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

// The addresses among the arguments, in order: vellora: addresses, the
// share addresses of a sharing service ("<service>/share/<token>"), web
// links, file URLs, and paths of existing files (made absolute here: the
// running window that may take them has a working folder of its own).
QStringList addressArguments(const QStringList &arguments)
{
    QStringList addresses;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        const bool web = argument.startsWith(QLatin1String("https://")) || argument.startsWith(QLatin1String("http://"));
        if (argument.startsWith(QLatin1String("vellora:")) || web) {
            addresses << argument;
        } else if (argument.startsWith(QLatin1String("file:"))) {
            const QUrl url(argument);
            if (url.isLocalFile())
                addresses << url.toString(QUrl::FullyEncoded);
        } else if (!argument.startsWith(QLatin1Char('-')) && QFileInfo(argument).isFile()) {
            addresses << QUrl::fromLocalFile(QFileInfo(argument).absoluteFilePath()).toString(QUrl::FullyEncoded);
        }
    }
    return addresses;
}

int runNormalStart(const QStringList &arguments, int argc, char **argv)
{
    preparePageSnapshots();
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Vellora"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Vellora"));
    QGuiApplication::setDesktopFileName(QStringLiteral("vellora"));
    applyWindowLook(application);
    Defaults::standard().setArgumentDomain(arguments);

    // One window per user: a second start hands its addresses to the first.
    const QStringList addresses = addressArguments(arguments);
    ApplicationBus bus;
    switch (bus.claim()) {
    case ApplicationBus::Claim::Primary:
        break;
    case ApplicationBus::Claim::AlreadyRunning:
        if (ApplicationBus::handOver(addresses))
            return 0;
        std::fputs("vellora: another Vellora is running but did not answer on the session bus\n", stderr);
        return 1;
    case ApplicationBus::Claim::NoBus:
        qCInfo(lcVellora) << "bus: no session bus, running on its own";
        break;
    }

    installPageSnapshots();
    installServices();
    installDesktopSearch();
    // The desktop's URL handler finds the program through its entry.
    const QString program = QCoreApplication::applicationFilePath();
    QThreadPool::globalInstance()->start([program] { installDesktopEntry(program); });

    SettingsSync::start();
    // Change tracking starts with every load of the library.
    installChangeTracking();
    // The first use starts the library's background load; the store saves
    // itself when the application quits.
    LibraryStore &store = LibraryStore::shared();
    installLinkPipelineServices();
    IngestDrops ingestDrops(store);
    QObject::connect(&application, &QGuiApplication::applicationStateChanged, &ingestDrops,
                     [&ingestDrops](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive)
                             ingestDrops.applicationBecameActive();
                     });

    zezevaveri::ScatterGridController grid;
    AppState state(store, Defaults::standard(), grid);
    Analyzer &analyzer = Analyzer::shared();
    state.setHooks(windowHooks(&analyzer));
    MainWindow window(state);
    WindowServices::scheduleUpdateChecks() = [] { Updater::shared().scheduleChecks(); };
    // The installed update is on its way; it takes over once this process
    // has saved and gone.
    QObject::connect(&Updater::shared(), &Updater::relaunchStarted, &application, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // Once per process, however often the window is shown.
    WindowServices::registerServiceProvider() = [&bus, connected = false]() mutable {
        if (connected)
            return;
        connected = true;
        QObject::connect(&bus, &ApplicationBus::addToVelloraRequested, &ServiceProvider::shared(),
                         &ServiceProvider::AddToVellora);
    };
    WindowServices::startCapture() = [](QWidget *shown) { Capture::shared().start(shown); };
    WindowServices::refreshWidgetSnapshot() = [](LibraryStore &library) { WidgetSnapshot::refresh(library, false); };
    WindowServices services(state, window, analyzer);
    services.startUp();

    auto bringForward = [&window] {
        window.show();
        window.raise();
        window.activateWindow();
    };
    QObject::connect(&bus, &ApplicationBus::activateRequested, &window, bringForward);
    // A share address is an invitation to accept; every other address is the window's.
    SharingAppDelegate sharingDelegate(CollectionSharing::shared());
    auto openAddresses = [&state, &sharingDelegate](const QStringList &addresses) {
        QStringList rest;
        for (const QString &address : addresses)
            if (!sharingDelegate.openURL(QUrl(address)))
                rest << address;
        state.openAddresses(rest);
    };
    QObject::connect(&bus, &ApplicationBus::openRequested, &window, [openAddresses, bringForward](const QStringList &uris) {
        bringForward();
        openAddresses(uris);
    });
    QObject::connect(&bus, &ApplicationBus::continueActivityRequested, &state, &AppState::continueActivity);

    window.show();
    ingestDrops.windowShown();
    services.windowShown();
    // Addresses this process was started with, once the window is up.
    QTimer::singleShot(0, &state, [openAddresses, addresses] { openAddresses(addresses); });
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
