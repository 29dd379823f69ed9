#pragma once
// The program's desktop entry, "vellora.desktop": its name, its icon, its
// command, the vellora: scheme it handles and the picture types it opens,
// so that the desktop hands vellora:// addresses (from the widget, a
// browser, a script) and "Open With" files to the program.
//
// The same files serve two places: the user's data folder, which the window
// keeps up to date at every start, and <prefix>/share, which a system-wide
// install fills (vellora-install-files, run by the build and by
// `cmake --install` into another prefix).

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>

#include <utility>

namespace vellora {

// The entry's text for the program at `program` (an absolute path).
QString desktopEntryText(const QString &program);

// The entry's place: the user's XDG applications folder.
QString desktopEntryPath();

// The program's icon, drawn at `size` x `size` pixels.
QImage applicationIcon(int size);
// The sizes of the hicolor icon set.
const QList<int> &applicationIconSizes();

// Every file a desktop needs to find the program at `program`, each with its
// place below a data folder: applications/vellora.desktop, the hicolor icon
// set, and the search providers' files (DesktopSearch.h).
QList<std::pair<QString, QByteArray>> desktopFiles(const QString &program);

// Writes desktopFiles() below `dataFolder`, each replaced whole and only when
// its text changed. The number of files written, or -1 (with the reason)
// when one could not be.
int writeDesktopFiles(const QString &dataFolder, const QString &program, QString *error = nullptr);

// Makes the desktop see the entries of `applicationsFolder`: rebuilds its
// MIME cache (update-desktop-database, when installed), and, when
// `mimeappsList` names no default for vellora: addresses yet, makes
// vellora.desktop that default there. False when the cache could not be
// made. Starts a process and waits for it: never on the main thread.
bool registerDesktopEntry(const QString &applicationsFolder, const QString &mimeappsList);

// Writes the user's entry and icons when they are missing or differ (the
// program moved, or a newer build says more), atomically, and registers the
// entry when it was written or is not registered yet. Returns whether it
// wrote. Touches the disk and starts a process: call it off the main thread.
bool installDesktopEntry(const QString &program);

} // namespace vellora
