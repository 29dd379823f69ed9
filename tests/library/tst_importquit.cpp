// Quitting while a background file import runs: the import's worker waits for
// the main thread, whose event loop has ended, while the application's
// destructor waits for that worker. The process must still end.
//
// A program of its own, since the application object is made and destroyed
// here; a watchdog turns a hang into a failure.

#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"

#include "platform/ImageIO.h"

#include "PictureFixtures.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace vellora;

int main(int argc, char **argv)
{
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(30));
        std::fputs("FAIL: the process did not end after quitting during an import\n", stderr);
        ::_exit(1);
    }).detach();

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    QStringList files;
    for (int i = 0; i < 300; ++i) {
        const QString path = dir.path() + QStringLiteral("/src/img%1.png").arg(i);
        fixtures::writeFile(path, encodePNG(fixtures::flatTestImage(i, 64, 48)));
        files << path;
    }

    bool stillRunning = false;
    {
        QCoreApplication app(argc, argv);
        LibraryStore store(dir.path() + QStringLiteral("/Library"), false);
        importFiles(store, files, store.defaultBoardId());
        // Quit at once: the import's worker is about to ask the main thread
        // for the library's content hashes, or to hand it its items.
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
        app.exec();
        stillRunning = store.importing() > 0;
    }
    std::fprintf(stderr, "%s\n", stillRunning ? "PASS: quit during an import ends the process"
                                              : "SKIP: the import ended before the quit");
    return 0;
}
