#pragma once
// The main window's content area: the items of the shown section as tiles of
// the scatter grid, and the answers to everything the grid reports.
//
//   content      thumbnails/<id>.jpg of the library; when the grid asks for
//                the full resolution (an opened tile), the original, read
//                under file coordination and decoded at the stage size. A
//                link without a picture gets its rendered cover. All of it
//                on the grid's decode threads.
//   click        a link opens in the browser (and the open is counted); a
//                picture opens on the stage with the stage overlay and its
//                live text.
//   Delete       outside the trash: the targets go to the trash; in the
//                trash: the permanent-delete alert (confirmDeletePermanently).
//                The targets are the selection when it holds the tile, else
//                the tile alone.
//   drop/paste   into the section's collection (resolveBoardId): files are
//                imported, addresses added as links; a pasted picture is
//                written to a temporary file, added, and the file removed.
//   keys         Ctrl+Return opens a link; Space toggles Quick Look of the
//                focused item's original; Ctrl+C copies the live-text
//                selection; Escape closes Quick Look.
//   right click  the tile menu (tileMenu()).
//   drag out     the item's export URL.
//
// It owns no library state: the main window hands it the section id and the
// items to show (already filtered and sorted) and listens to openedIdChanged
// and selectedIdsChanged. Every change goes through the store. Main thread.

#include "library/Records.h"

#include "ZezevavEri/ScatterGrid.h"

#include <QHash>
#include <QPointer>
#include <QSet>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QMenu;
class QMimeData;

namespace vellora {

class LibraryStore;
class LiveText;
class QuickLook;
class StageOverlay;

class GridScreen : public QWidget {
    Q_OBJECT
public:
    // Without a controller the screen makes one of its own. The store must
    // outlive the screen.
    explicit GridScreen(LibraryStore &store, zezevaveri::ScatterGridController *controller = nullptr,
                        QWidget *parent = nullptr);
    ~GridScreen() override;

    // --- What the main window hands in ---
    // The shown section: "all", "inbox", "links", "trash", a collection's or
    // a smart folder's id. Decides the delete rule and where drops go.
    QString collectionId() const { return m_collectionId; }
    void setCollectionId(const QString &id);
    // The items to show, in display order.
    const QList<Item> &visibleItems() const;
    void setVisibleItems(const QList<Item> &items);
    // The same given as the positions `order` in `section`, which is shared,
    // not copied.
    void setVisibleItems(const QList<Item> &section, const QList<qsizetype> &order);
    // From this many records in a section, the lists its first filter fills
    // are made on a worker thread once it is shown.
    void setRoomAheadFrom(qsizetype records) { m_roomAheadFrom = records; }
    // The change of the shown items by id (see VisibleDiff): the `removed`
    // ids leave, then each of `inserted` takes its position in the new list,
    // lowest first. Tiles of the other items stay as they are.
    void applyVisibleChange(const QStringList &removed, const QList<std::pair<qsizetype, Item>> &inserted);
    // The change of the shown items by position, as a search over the same
    // section makes it: the `removed` indexes of the current list leave
    // (ascending), then each of `inserted` (its index in the new list, the
    // position of its record in `section`) comes in, ascending. The ranks
    // are the items' places in the sort order that every such change until
    // the next setVisibleItems() follows. The section is shared, not copied,
    // and nothing is done per item that stays.
    void applyShownChange(const QList<Item> &section, const std::vector<size_t> &removed,
                          const std::vector<qsizetype> &removedRanks,
                          const QList<std::pair<qsizetype, qsizetype>> &inserted,
                          const std::vector<qsizetype> &insertedRanks);
    // Whether the inspector is shown; a change makes the tiles glide to
    // their new places, as does a change of section.
    bool inspector() const { return m_inspector; }
    void setInspector(bool shown);
    // Content laid above the first row (the page title); the grid takes it
    // as a child. Null removes it.
    void setHeader(QWidget *header);
    // Called by "Find Similar" with the clicked item's id.
    std::function<void(const QString &itemId)> findSimilar;
    // Ids whose files are still on their way from the cloud: their tiles
    // show a spinner. Unset means none.
    std::function<bool(const QString &itemId)> waitingForCloud;
    // Called on the main thread when a picture's thumbnail was asked for and
    // is not on this computer (a shared item that came without its file).
    std::function<void(const QString &itemId)> fileMissing;
    // The answers of waitingForCloud changed: the tiles shown are told again.
    void refreshWaiting();

    // --- What it reports ---
    std::optional<QString> openedId() const { return m_openedId; }
    QStringList selectedIds() const { return m_selectedIds; }

    // --- The parts, for the window and for tests ---
    zezevaveri::ScatterGridView *gridView() const { return m_view; }
    zezevaveri::ScatterGridController *controller() const { return m_controller; }
    StageOverlay *stageOverlay() const { return m_stage; }
    LiveText *liveText() const;
    QuickLook *quickLook() const { return m_quickLook; }

    // --- The answers, callable directly (the menus of the window use them) ---
    // What one item becomes in the grid.
    static zezevaveri::ScatterItem scatterItem(const Item &item, bool waitingForCloud = false);
    // The key whose change makes the grid glide: section id + "true"/"false".
    QString glideKey() const;
    // The items an action on `id` applies to: the selection when it holds
    // `id`, else `id` alone.
    QStringList targetsFor(const QString &id) const;
    // What a tile dragged out carries: the export addresses and ids
    // (kItemIdsMime) of targetsFor(id); null when none has an export. The
    // caller owns it.
    QMimeData *dragData(const QString &id) const;
    // The tile menu of `id`, built afresh; the caller owns it.
    QMenu *tileMenu(const QString &id, QWidget *parent = nullptr);
    // The delete rule over `ids` (see above).
    void deleteItems(const QStringList &ids);
    // Reads the clipboard in order: addresses, picture data, a link as text.
    void paste();
    void paste(const QMimeData &data);
    // Toggles Quick Look of the item's original; false for an unknown item.
    bool quickLookItem(const QString &id);
    // Copy: the live-text selection of the opened picture when it has one,
    // else the selected items (or the opened one) as their files and
    // addresses, which are put on the clipboard once exported. False when
    // there is nothing to copy.
    bool copyItems();

signals:
    // The item open on the stage changed; empty when the stage closed.
    void openedIdChanged(const QString &id);
    void selectedIdsChanged(const QStringList &ids);
    // A pasted picture has been added (or failed to be); for tests and the
    // window's status.
    void pasteFinished(int added);
    // What copyItems() handed over is on the clipboard: `count` addresses.
    void itemsCopied(int count);

private:
    struct ContentState;

    void refresh();
    // Closes the stage and trims the selection to the ids `shownIds` reports.
    void keepShown(const std::function<void(const std::function<void(const QString &)> &)> &shownIds);
    void handleOpen(const std::optional<QString> &id);
    void handleSelect(const QStringList &ids);
    bool handleKey(QKeyEvent *event, const std::optional<QString> &id);
    void closeStage();
    void pasteImage(const QByteArray &bytes, const QString &extension);
    void loadIcons(const QList<Item> &items);
    zezevaveri::ScatterItem tileFor(const Item &item);
    QWidget *makeHoverOverlay(const zezevaveri::ScatterItem &item, std::function<void()> open);

    LibraryStore &m_store;
    QPointer<zezevaveri::ScatterGridController> m_controller;
    zezevaveri::ScatterGrid m_bridge;
    zezevaveri::ScatterGrid::Coordinator m_coordinator;
    zezevaveri::ScatterGridView *m_view = nullptr;
    StageOverlay *m_stage = nullptr;
    QuickLook *m_quickLook = nullptr;
    std::shared_ptr<ContentState> m_content;

    QString m_collectionId = QStringLiteral("all");
    // The shown items; after a change by id made again when asked for.
    mutable QList<Item> m_visible;
    mutable bool m_visibleStale = false;
    // The bridge's items lag behind the grid after a change by id.
    bool m_bridgeStale = false;
    bool m_inspector = false;
    std::optional<QString> m_openedId;
    QStringList m_selectedIds;
    // Favicons of the links shown, by item id; filled off the main thread.
    QHash<QString, QImage> m_icons;
    QSet<QString> m_iconsAsked;
    // The shown tiles that were given the waiting spinner.
    QSet<QString> m_waitingShown;
    // The tiles of the section's records that are not shown, by rank in the
    // sort order, for the section whose list data this is: a tile moves
    // between the grid and here, made once and never copied.
    std::vector<std::optional<zezevaveri::ScatterItem>> m_sectionTiles;
    std::vector<zezevaveri::ScatterItem> m_leaving;
    // The tiles a change brings in; kept between changes, as the ones that
    // leave are, so that clearing a search over a large section does not
    // fault in a new list of them each time.
    std::vector<std::pair<size_t, zezevaveri::ScatterItem>> m_entering;
    const Item *m_sectionTilesOf = nullptr;
    // The section whose room for leaving and coming tiles is being made.
    const Item *m_roomFor = nullptr;
    // Below this the first filter's fresh memory faults in within a frame.
    qsizetype m_roomAheadFrom = 20000;
    void prepareRoom(const QList<Item> &section);
};

} // namespace vellora
