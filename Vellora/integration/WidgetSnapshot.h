#pragma once
// The small picture set a desktop widget shows: up to 12 random items of the
// library as JPEGs of at most 400 pixels, with "index.json" listing the ids
// whose picture was written, in the folder "Widget" of the application group
// container ($XDG_DATA_HOME/Vellora/Group).
//
// A reader never sees a half-written folder: each pass fills a fresh sibling
// folder and swaps it in with one rename. After each pass "Widget.stamp"
// beside the folder is rewritten (for readers that poll) and the signal
// WidgetSnapshotChanged goes out on the program's D-Bus interface.

#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace vellora {

class LibraryStore;
struct Item;

struct WidgetSnapshotEntry {
    QString id;
    // Written from the cover when that file exists, else from the thumbnail.
    QString coverPath;
    QString thumbnailPath;

    bool operator==(const WidgetSnapshotEntry &) const = default;
};

class WidgetSnapshot {
public:
    WidgetSnapshot() = delete;

    static constexpr int kMaxItems = 12;
    static constexpr int kMaxPixelSize = 400;
    static constexpr double kQuality = 0.8;

    // Picks up to 12 items outside the trash at random and writes them. With
    // `sync` the pass runs on the calling thread; otherwise this returns at
    // once and one background writer runs it; refreshes that come while it
    // writes are folded into one more pass with the latest list. Does nothing
    // in a process without the application's identity (tests, bare tools).
    static void refresh(const LibraryStore &store, bool sync);

    // The work list for these items: items whose id is not one plain file
    // name are left out, the rest shuffled with `random` (uniform below its
    // argument; the system's random source when empty) and cut to 12.
    static QList<WidgetSnapshotEntry> workList(QList<Item> items, const QString &root,
                                               const std::function<quint64(quint64)> &random = {});

    // Writes one pass. Any thread; passes never overlap.
    static void write(const QList<WidgetSnapshotEntry> &entries);

    // $XDG_DATA_HOME/Vellora/Group, created when missing; nothing when it
    // cannot be had.
    static std::optional<QString> container();
    // Blocks until the background writer is idle (tests, the end of a mode).
    static void waitForIdle();
};

} // namespace vellora
