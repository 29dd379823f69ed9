#pragma once
// The headless imports. Each works on a store of its own at the current
// library folder and never touches the application's shared store.

#include <QStringList>

namespace vellora {

// Every path becomes a file to import, option-looking ones included.
int runImportFiles(const QStringList &paths);
// The first argument is the other library's folder; the rest is ignored.
int runImportLibrary(const QStringList &arguments);

} // namespace vellora
