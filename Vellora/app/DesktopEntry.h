#pragma once
// The program's desktop entry, "vellora.desktop": its name, its command and
// the vellora: scheme it handles, so that the desktop hands vellora://
// addresses (from the widget, a browser, a script) to the program.

#include <QString>

namespace vellora {

// The entry's text for the program at `program` (an absolute path).
QString desktopEntryText(const QString &program);

// The entry's place: the user's XDG applications folder.
QString desktopEntryPath();

// Writes the entry when it is missing or differs (the program moved, or a
// newer build says more), atomically. Returns whether it wrote. Touches the
// disk: call it off the main thread.
bool installDesktopEntry(const QString &program);

} // namespace vellora
