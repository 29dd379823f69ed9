#include "StartupMode.h"

#include "platform/Defaults.h"

namespace vellora {

QStringList StartupChoice::argumentsAfter(const QStringList &arguments) const
{
    if (optionIndex < 0)
        return {};
    return arguments.mid(optionIndex + 1);
}

QStringList StartupChoice::defaultsArguments(const QStringList &arguments) const
{
    switch (mode) {
    case StartupMode::Import:
    case StartupMode::ImportLibrary:
    case StartupMode::AddLink:
    case StartupMode::AddToLibrary:
        return arguments.mid(0, optionIndex);
    default:
        return arguments;
    }
}

StartupChoice chooseStartupMode(const QStringList &arguments, const QProcessEnvironment &environment)
{
    // The program path is never an option.
    const auto find = [&](const char *option) -> qsizetype {
        const QString wanted = QString::fromLatin1(option);
        for (qsizetype i = 1; i < arguments.size(); ++i) {
            if (arguments.at(i) == wanted)
                return i;
        }
        return -1;
    };

    if (qsizetype i = find("--selfcheck"); i >= 0)
        return {StartupMode::SelfCheck, i};
    if (environment.contains(QStringLiteral("VELLORA_PRINT_CONTAINER")))
        return {StartupMode::PrintContainer, -1};
    if (environment.contains(QStringLiteral("VELLORA_MIGRATE")))
        return {StartupMode::Migrate, -1};
    if (qsizetype i = find("--import"); i >= 0)
        return {StartupMode::Import, i};
    if (qsizetype i = find("--import-library"); i >= 0)
        return {StartupMode::ImportLibrary, i};
    if (qsizetype i = find("--add-link"); i >= 0)
        return {StartupMode::AddLink, i};
    // "--share" needs the collection's name after it; without one it is no hit.
    if (qsizetype i = find("--share"); i >= 0 && i + 1 < arguments.size())
        return {StartupMode::Share, i};
    if (qsizetype i = find("--update"); i >= 0)
        return {StartupMode::Update, i};
    if (qsizetype i = find("--ingest-drops"); i >= 0)
        return {StartupMode::IngestDrops, i};
    if (qsizetype i = find("--add-to-library"); i >= 0)
        return {StartupMode::AddToLibrary, i};
    return {};
}

QString startupModeName(StartupMode mode)
{
    switch (mode) {
    case StartupMode::Normal:
        return {};
    case StartupMode::SelfCheck:
        return QStringLiteral("--selfcheck");
    case StartupMode::PrintContainer:
        return QStringLiteral("VELLORA_PRINT_CONTAINER");
    case StartupMode::Migrate:
        return QStringLiteral("VELLORA_MIGRATE");
    case StartupMode::Import:
        return QStringLiteral("--import");
    case StartupMode::ImportLibrary:
        return QStringLiteral("--import-library");
    case StartupMode::AddLink:
        return QStringLiteral("--add-link");
    case StartupMode::Share:
        return QStringLiteral("--share");
    case StartupMode::Update:
        return QStringLiteral("--update");
    case StartupMode::IngestDrops:
        return QStringLiteral("--ingest-drops");
    case StartupMode::AddToLibrary:
        return QStringLiteral("--add-to-library");
    }
    return {};
}

QString initialSelection(const Defaults &defaults)
{
    const QVariant stored = defaults.value(QStringLiteral("lastBoard"));
    if (!stored.isValid() || stored.typeId() != QMetaType::QString)
        return QStringLiteral("inbox");
    const QString text = stored.toString();
    if (text == QLatin1String("instagram"))
        return QStringLiteral("inbox");
    return text;
}

} // namespace vellora
