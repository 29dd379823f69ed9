// vellora-install-files SHARE-FOLDER PROGRAM: writes what a desktop needs to
// find the installed program (its entry, the hicolor icons, the search
// providers' files) below SHARE-FOLDER, for the program at PROGRAM. The build
// runs it for the configured prefix, and `cmake --install` into another
// prefix once more; the same files the window writes for the user.
#include "DesktopEntry.h"

#include <QGuiApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    // Drawing the icons needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        std::fputs("usage: vellora-install-files SHARE-FOLDER PROGRAM\n", stderr);
        return 1;
    }
    QString error;
    if (vellora::writeDesktopFiles(arguments[1], arguments[2], &error) < 0) {
        std::fprintf(stderr, "vellora-install-files: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
