#pragma once
// The drops scan and change tracking on the real library store: where its
// drops folder is, the store behind DropsLibrary and SyncedLibrary, the
// scan's start with the import count raised, and the window's triggers.
// It lives above the library because a shared link goes down the link road
// (addLink, fetchLinkMetadata); the scan itself only knows DropsLibrary.
//
// Main thread unless stated otherwise.

#include "library/Drops.h"
#include "library/LibrarySync.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

namespace vellora {

class LibraryStore;

// The store's drops folder: <root>/Drops when VELLORA_ROOT is set or there is
// no cloud container, else the container's "Data/Drops" (shared by every
// library location). Creates nothing.
QString dropsDirectory(const LibraryStore &store);

// The store as the scan and change tracking see it. Holds the store weakly.
std::shared_ptr<SyncedLibrary> syncedLibrary(LibraryStore &store);

// Raises the store's import count and runs one drops scan on a worker thread;
// `completion` runs on the main thread after the scan has lowered the count.
void startDropsScan(LibraryStore &store, std::function<void(const DropsScanReport &)> completion = {});

// What keepAsDrops could not keep: for the caller to hold on to instead.
struct UnkeptDrops {
    QStringList files;
    QStringList links;
    QStringList reasons; // one line per file or link not kept
};

// Keeps pictures and links handed to the window while its library cannot be
// read in the store's drops folder (keepPictureAsDrop, keepLinkAsDrop), on a
// worker thread, so that a quit before the library loads loses none of
// them. `done` runs on `context`'s thread, unless it is gone by then.
void keepAsDrops(const LibraryStore &store, const QStringList &files, const QStringList &links, QObject *context,
                 std::function<void(const UnkeptDrops &)> done);

// Makes the store start change tracking (LibrarySync::shared()) after every
// load and reopen. Once at start-up, before the shared store loads.
void installChangeTracking();

// The main window's drops triggers: a scan each time the window is shown
// (call windowShown()) and whenever the application becomes active, once the
// library has loaded and only while no import runs; a trigger that finds an
// import running is dropped (the folder watcher retries on its own).
class IngestDrops : public QObject {
    Q_OBJECT
public:
    explicit IngestDrops(LibraryStore &store, QObject *parent = nullptr);
    void windowShown();
    void applicationBecameActive();

signals:
    void scanFinished(const vellora::DropsScanReport &report);

private:
    void trigger();
    QPointer<LibraryStore> m_store;
};

} // namespace vellora
