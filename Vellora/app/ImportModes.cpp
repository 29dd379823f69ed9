#include "ImportModes.h"

#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "library/OldLibrary.h"
#include "platform/Console.h"

#include <QDir>
#include <QFileInfo>

namespace vellora {

namespace {

// A library.json that exists but could not be used stays as it is: the store
// has said why and refuses to save, so the import ends there.
bool usable(const LibraryStore &store)
{
    return store.loadError().isEmpty();
}

// The import reported its count; a library.json that did not take the new
// items is no success.
bool saved(const LibraryStore &store)
{
    return !store.hasUnsavedChanges();
}

QString absolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

int runImportFiles(const QStringList &paths)
{
    LibraryStore store(LibraryLocation::root(), false);
    if (!usable(store)) {
        printErrorLine(store.loadError());
        return 1;
    }
    QStringList files;
    files.reserve(paths.size());
    for (const QString &path : paths)
        files.append(absolute(path));
    const ImportReport report = files.isEmpty() ? ImportReport{} : addFilesReporting(store, files, store.defaultBoardId());
    printLine(QStringLiteral("imported ") + QString::number(report.added) + QStringLiteral(" into Inbox"));
    // Files that were no pictures are no failure; a library that could not
    // take the files, or whose library.json kept the old state, is.
    if (!report.writeError.isEmpty()) {
        printErrorLine(QStringLiteral("the library could not be written: ") + report.writeError);
        return 1;
    }
    if (!saved(store)) {
        printErrorLine(QStringLiteral("library.json not saved: ") + store.lastSaveError());
        return 1;
    }
    return 0;
}

int runImportLibrary(const QStringList &arguments)
{
    if (arguments.isEmpty()) {
        printLine(QStringLiteral("usage: Vellora --import-library <path>"));
        return 1;
    }
    const QString folder = absolute(arguments.first());
    LibraryStore store(LibraryLocation::root(), false);
    if (!usable(store))
        return 1;
    // The import itself says when the folder holds no usable library.json.
    const bool readable = readOldLibrary(folder).has_value();
    const LibraryImportCounts counts = importLibrary(store, folder);
    if (!readable)
        return 1;
    printLine(QStringLiteral("imported %1, skipped %2 (videos/missing), deduped %3")
                  .arg(counts.imported)
                  .arg(counts.skipped)
                  .arg(counts.deduped));
    for (const Board &collection : store.collections()) {
        int members = 0;
        for (const Item &item : store.items()) {
            if (item.collectionIds.contains(collection.id))
                ++members;
        }
        printLine(QStringLiteral("  ") + collection.name + QStringLiteral(": ") + QString::number(members));
    }
    if (!saved(store)) {
        printErrorLine(QStringLiteral("library.json not saved: ") + store.lastSaveError());
        return 1;
    }
    return 0;
}

} // namespace vellora
