#pragma once
// "--add-to-library FILE-OR-URL...": what the desktop file's "Add to Vellora"
// runs. With the program already running, the request goes to it over the
// session bus; otherwise this process does the same work on the library
// itself and ends when it is saved.

#include <QList>
#include <QStringList>
#include <QUrl>

namespace vellora {

// The addresses the arguments name: an existing path becomes a file URL
// (relative to the working folder), an absolute URL stays as it is, other
// words go through the link parser; what is none of these is left out.
QStringList addToLibraryURIs(const QStringList &arguments);

// Sends the request to the running program. True when it took it; false
// when no instance is on the bus (`error` empty) or it answered an error
// (`error` says which).
bool sendToRunningInstance(const QStringList &uris, QString *error);

int runAddToLibrary(const QStringList &arguments);

} // namespace vellora
