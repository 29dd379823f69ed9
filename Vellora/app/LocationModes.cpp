#include "LocationModes.h"

#include "library/LibraryLocation.h"
#include "platform/Console.h"
#include "platform/FileCoordination.h"

#include <QDir>

#include <exception>

namespace vellora {

QString movedTableText(const QMap<QString, int> &moved)
{
    if (moved.isEmpty())
        return QStringLiteral("[:]");
    QStringList entries;
    for (auto it = moved.begin(); it != moved.end(); ++it)
        entries.append(QLatin1Char('"') + it.key() + QStringLiteral("\": ") + QString::number(it.value()));
    return QLatin1Char('[') + entries.join(QStringLiteral(", ")) + QLatin1Char(']');
}

int runPrintContainer()
{
    if (const auto container = LibraryLocation::iCloudContainerURL())
        printLine(QDir::cleanPath(*container));
    else
        printLine(QStringLiteral("no iCloud container (signed build with the iCloud entitlement needed)"));
    return 0;
}

int runMigrate(const QString &location)
{
    LibraryLocation::MigrationResult result;
    try {
        result = LibraryLocation::migrate(location);
    } catch (const FileError &error) {
        printLine(QStringLiteral("migration failed: ") + error.description());
        return 1;
    } catch (const std::exception &error) {
        printLine(QStringLiteral("migration failed: ") + QString::fromUtf8(error.what()));
        return 1;
    }
    if (result.reusedExisting) {
        printLine(QStringLiteral("target already has a library; switched without moving"));
        return 0;
    }
    printLine(QStringLiteral("moved ") + movedTableText(result.moved) + QStringLiteral(", backup at ")
              + (result.backup ? *result.backup : QStringLiteral("-")));
    return 0;
}

} // namespace vellora
