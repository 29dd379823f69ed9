#include "CommandLineModes.h"

#include "HeadlessRunner.h"
#include "IngestDropsMode.h"
#include "LocationModes.h"

#include "platform/Console.h"
#include "SelfCheck.h"

namespace vellora {

HeadlessApplication applicationFor(StartupMode mode)
{
    switch (mode) {
    case StartupMode::SelfCheck:
        return HeadlessApplication::Widgets;
    case StartupMode::PrintContainer:
    case StartupMode::Migrate:
    case StartupMode::Share:
    case StartupMode::Update:
        return HeadlessApplication::Core;
    case StartupMode::Normal:
    case StartupMode::Import:
    case StartupMode::ImportLibrary:
    case StartupMode::AddLink:
    case StartupMode::IngestDrops:
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

int runHeadlessMode(const StartupChoice &choice, const QStringList &arguments,
                    const QProcessEnvironment &environment)
{
    Q_UNUSED(arguments);
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
    case StartupMode::ImportLibrary:
    case StartupMode::AddLink:
    case StartupMode::Share:
    case StartupMode::Update:
        return modeNotBuilt(choice.mode);
    case StartupMode::IngestDrops:
        return runIngestDrops();
    }
    return 1;
}

} // namespace vellora
