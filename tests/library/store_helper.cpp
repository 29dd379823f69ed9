// A second process for the store's tests.
//   store_helper write-loop <root> <count>  adds the items CHILD-1 ...
//       CHILD-<count> to library.json one at a time, each as a coordinated
//       read-modify-write the way another program would.
//   store_helper save-loop <root>  opens a store and saves a growing
//       library until it is killed; "ready" once the first save is done.
//   store_helper background-save-loop <root> <items>  opens a store with
//       that many items and, on the running event loop, creates one
//       collection after another, each handed to the background writer at
//       once, until it is killed; "ready" once the first save is done.
//   store_helper edit-and-wait <root>  opens a store, creates the collection
//       "Pending" (a save that waits in the debounce, which never fires
//       here) and says "ready"; then waits to be told to end by a signal.

#include "ManualScheduler.h"
#include "ScopedScheduler.h"

#include "library/LibraryStore.h"

#include "platform/FileCoordination.h"
#include "platform/Scheduler.h"

#include "StoreFixtures.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <thread>

using namespace vellora;
using namespace storetest;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    const QString mode = args.at(1);
    const QString root = args.at(2);

    if (mode == "write-loop" && args.size() >= 4) {
        const int count = args.at(3).toInt();
        for (int k = 1; k <= count; ++k) {
            coordinateWriting(root + "/library.json", [&](const QString &path) {
                LibraryFile file = LibraryFile::decode(readWholeFile(path).value_or(QByteArray()));
                file.items.append(item(QStringLiteral("CHILD-%1").arg(k), {file.collections.first().id}));
                writeFileAtomically(path, file.encode());
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        std::puts("done");
        return 0;
    }

    if (mode == "edit-and-wait") {
        ManualScheduler scheduler; // the debounce never fires on its own
        ScopedScheduler scoped(&scheduler);
        LibraryStore store(root, false);
        if (!store.loaded())
            return 3;
        store.createCollection(QStringLiteral("Pending"));
        std::puts("ready");
        std::fflush(stdout);
        return app.exec();
    }

    if (mode == "background-save-loop" && args.size() >= 4) {
        LibraryStore store(root, false);
        if (!store.loaded())
            return 3;
        QList<Item> items;
        const int count = args.at(3).toInt();
        for (int k = 0; k < count; ++k) {
            Item made = item(QStringLiteral("ITEM-%1").arg(k), {store.defaultBoardId()});
            made.ocrText = QStringLiteral("Recognised text of picture %1, long enough to make the file big.").arg(k);
            items.append(made);
        }
        store.appendItems(items);
        if (!store.save())
            return 4;
        std::puts("ready");
        std::fflush(stdout);
        int next = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            store.createCollection(QString::number(next++));
            store.saveSoon();
        });
        tick.start(1);
        return app.exec();
    }

    if (mode == "save-loop") {
        LibraryStore store(root, false);
        if (!store.loaded())
            return 3;
        QList<Item> items;
        for (int k = 0; k < 300; ++k)
            items.append(item(QStringLiteral("ITEM-%1").arg(k), {store.defaultBoardId()}));
        store.appendItems(items);
        if (!store.save())
            return 4;
        std::puts("ready");
        std::fflush(stdout);
        for (int i = 0;; ++i) {
            store.createCollection(QString::number(i));
            store.save();
        }
    }
    return 2;
}
