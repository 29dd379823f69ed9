#pragma once
// The headless modes about where the library lives.

#include <QMap>
#include <QString>

namespace vellora {

// Prints the cloud container's folder, or why there is none. Status 0.
int runPrintContainer();
// Moves the library to the named location ("local", "icloud",
// "iclouddrive") and prints what was moved. Status 1 when the move failed.
int runMigrate(const QString &location);

// The moved table as the mode prints it: ["originals": 3, "thumbnails": 2],
// or [:] when empty.
QString movedTableText(const QMap<QString, int> &moved);

} // namespace vellora
