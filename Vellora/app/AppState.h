#pragma once
// The window's state and the actions on it: the shown section, the opened and
// selected items, the search, the colour and find-similar filters, the sort
// order, the inspector and sidebar, the inline rename, the sheets; the menu
// commands, the vellora: addresses and handoff act through it. The widgets
// read it and write it back; it holds no widget itself, so its logic runs in
// tests without a window.
//
// Main thread only.

#include "VisibleItems.h"

#include "enrichment/FeaturePrintStore.h"

#include "library/SmartFolder.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

namespace zezevaveri {
class ScatterGridController;
}

namespace vellora {

class Analyzer;
class Defaults;
class LibraryStore;
class Search;

// The two handoff activities and their one user-info entry each.
inline constexpr const char *kBoardActivity = "com.quendle.vellora.board";
inline constexpr const char *kItemActivity = "com.quendle.vellora.item";

struct HandoffActivity {
    QString type;
    QString key;
    QString value;
    bool operator==(const HandoffActivity &) const = default;
};

class AppState : public QObject {
    Q_OBJECT
public:
    // What the state needs of the views and the analyzer; the program installs
    // the real ones, tests may give their own. Each has a plain default.
    struct Hooks {
        // The items of a section, in the section's order.
        std::function<QList<Item>(const LibraryStore &, const QString &section)> sectionItems;
        // Whether a record belongs to a section, as sectionItems decides it.
        // Without it every change of the library computes the visible items
        // afresh.
        std::function<std::function<bool(const Item &)>(const LibraryStore &, const QString &section)> sectionMember;
        // The collection that a section adds into.
        std::function<QString(const LibraryStore &, const QString &section)> resolveBoardId;
        // Find-similar distances to an item.
        std::function<DistanceTable(const QString &id)> distances;
        // Adds a link into a collection and fetches its page.
        std::function<void(LibraryStore &, const QString &url, const QString &collectionId)> addLink;
        // Imports picture files into a collection, in the background.
        std::function<void(LibraryStore &, const QStringList &files, const QString &collectionId)> importFiles;
    };

    // `settings` holds "lastBoard", "inspectorVisible", "gridSortOrder" and
    // "sidebarWidth"; `grid` is the window's handle on its grid.
    AppState(LibraryStore &store, Defaults &settings, zezevaveri::ScatterGridController &grid,
             QObject *parent = nullptr);
    ~AppState() override;

    void setHooks(Hooks hooks);
    const Hooks &hooks() const { return m_hooks; }

    LibraryStore &store() const { return m_store; }
    Defaults &settings() const { return m_settings; }
    Search &search() const { return *m_search; }
    zezevaveri::ScatterGridController &grid() const { return m_grid; }

    // --- State ---
    QString selection() const { return m_selection; }
    std::optional<QString> renaming() const { return m_renaming; }
    QString draft() const { return m_draft; }
    bool showSidebar() const { return m_showSidebar; }
    std::optional<QString> openedId() const { return m_openedId; }
    QStringList selectedIds() const { return m_selectedIds; }
    bool inspectorVisible() const;
    QString sort() const;
    bool searching() const { return m_searching; }
    std::optional<double> hueFilter() const { return m_hueFilter; }
    std::optional<QString> similarTo() const { return m_similarTo; }
    bool addingLink() const { return m_addingLink; }
    std::optional<SmartFolder> editingSmart() const { return m_editingSmart; }
    // The stored "sidebarWidth", else VELLORA_SIDEBAR_WIDTH, else 244.
    double sidebarWidth() const;

    // Setting the selection stores it as "lastBoard", ends find-similar, and
    // leaves the "opened" order outside the Links section.
    void setSelection(const QString &selection);
    void setDraft(const QString &draft);
    // Ends a rename without renaming (Escape in the field).
    void setRenaming(const std::optional<QString> &id);
    void setOpenedId(const std::optional<QString> &id);
    void setSelectedIds(const QStringList &ids);
    void setInspectorVisible(bool visible);
    void setSort(const QString &sort);
    void setSearching(bool searching);
    void setHueFilter(const std::optional<double> &hue);
    void setSimilarTo(const std::optional<QString> &id);
    void setAddingLink(bool adding);
    void setEditingSmart(const std::optional<SmartFolder> &folder);
    void setSidebarWidth(double width);
    // The rename field's focus: losing it commits the rename.
    void setRenameFocused(bool focused);
    bool renameFocused() const { return m_renameFocused; }

    // --- What the window shows ---
    QString selectionTitle() const;
    QList<Item> visibleItems();
    // What the window needs to bring its visible items up to date.
    struct VisibleUpdate {
        // Everything again: the whole visible list is the items of `section`
        // at the positions `order`.
        bool reset = false;
        QList<qsizetype> order;
        // Otherwise what changed since the last update: by id after edits of
        // records,
        VisibleDiff diff;
        // or, after a change of the search text or the colour filter over the
        // same section (`shownChange`), by position: the indexes of the
        // previous list that leave (ascending), then each new index with the
        // position in `section` of its item (ascending). `section` is shared
        // with the state, not copied.
        // The ranks are the places of those items in the section's sort
        // order, which stays the same from one such change to the next.
        bool shownChange = false;
        QList<Item> section;
        std::vector<size_t> removed;
        std::vector<qsizetype> removedRanks;
        QList<std::pair<qsizetype, qsizetype>> inserted;
        std::vector<qsizetype> insertedRanks;
    };
    // After edits of known records only (and nothing else the visible items
    // depend on), the change by id of those records; otherwise the whole
    // list, computed afresh. Edits made in one turn of the event loop come
    // as one change.
    VisibleUpdate updateVisible();
    // The number of visible items as of the last updateVisible().
    qsizetype visibleCount() const { return m_visibleCount; }
    // From this many items in the shown section on, a new search text is
    // looked for on a worker thread: the field takes the next key at once,
    // the list changes when the answer is in, and only the answer to the
    // latest text is used. Until then updateVisible() reports no change.
    void setBackgroundSearchFrom(qsizetype items) { m_backgroundFrom = items; }
    // Whether a search is on its way.
    bool searchPending() const { return m_pending && !m_pending->ready; }
    // Creation date of the shown collection ("inbox": the first one's).
    std::optional<double> shownCollectionCreated() const;
    // The smart folder shown, if one is.
    std::optional<SmartFolder> shownSmartFolder() const;
    // The items the inspector describes: the opened one, else the selection.
    QStringList pickedIds() const;

    // --- Commands ---
    void newBoard();
    // Imports files into the shown collection, or the first one.
    void importFiles(const QStringList &files);
    void showAddLink() { setAddingLink(true); }
    void newSmartFolder();
    void editSmartFolder(const SmartFolder &folder);
    void toggleSidebar();
    void toggleInspector();
    void toggleSearch();
    void selectSection(const QString &id) { setSelection(id); }
    void showNext();
    void showPrevious();
    void startRename(const QString &collectionId);
    void commitRename();
    void findSimilar(const QString &id) { setSimilarTo(id); }
    // Opens an item, first making it visible when a filter or the section hides it.
    void openItem(const QString &id);
    // The links of the vellora://add address and of the add-link sheet.
    void addLinkToDefault(const QString &url);
    void addLinkToSection(const QString &url);
    // Clears the grid's selection (the grid then reports the empty list).
    void clearGridSelection();

    // A vellora: address. Anything else is ignored.
    void handleOpenURL(const QString &address);
    // What the desktop's "Open With" or a second start hands over, once the
    // library has loaded: vellora: addresses as handleOpenURL(); files
    // (file URLs) imported into the shown collection in one import; web
    // links added to it down the link road. Other addresses are dropped.
    // While the library could not be read, the files and links wait for the
    // restore or repair that loads it.
    void openAddresses(const QStringList &addresses);
    // VELLORA_SELECT: a section by its name.
    void selectSectionNamed(const QString &name);

    // --- Handoff ---
    // The section while no item is opened, else the opened item.
    HandoffActivity currentActivity() const;
    // Applies an activity handed over from elsewhere; unknown types and
    // user info without the expected text entry are ignored.
    void continueActivity(const QString &type, const QVariantMap &userInfo);

signals:
    void selectionChanged(const QString &selection);
    void renamingChanged();
    void draftChanged();
    void showSidebarChanged(bool shown);
    void openedIdChanged();
    void selectedIdsChanged();
    void inspectorVisibleChanged(bool visible);
    void sortChanged(const QString &sort);
    void searchingChanged(bool searching);
    void hueFilterChanged();
    void similarToChanged();
    void addingLinkChanged(bool adding);
    void editingSmartChanged();
    void sidebarWidthChanged();
    // A focus request for the rename field or the search field.
    void renameFocusRequested();
    void searchFocusRequested();
    // Anything the visible items depend on changed.
    void visibleChanged();
    // The current handoff activity changed (type or value).
    void handoffChanged(const HandoffActivity &activity);

private:
    void leaveMissingSection();
    void advertise();
    VisibleFilter currentFilter(std::shared_ptr<DistanceTable> &table) const;
    // The next updateVisible() starts over.
    void invalidateVisible();
    // After a change of the filter alone: the change of the shown list by
    // position, when the old and the new list are both the section's sort
    // order filtered.
    std::optional<VisibleUpdate> shownChange();
    // The collection the shown section adds into.
    QString sectionBoardId() const;
    void addLinkTo(const QString &url, const QString &board);
    void addOnceLoaded(const QStringList &files, const QStringList &links);
    void keepUntilLoaded(const QStringList &files, const QStringList &links);

    LibraryStore &m_store;
    Defaults &m_settings;
    zezevaveri::ScatterGridController &m_grid;
    std::unique_ptr<Search> m_search;
    Hooks m_hooks;
    SearchKeyCache m_searchKeys;
    // The shown section's items, until the library or the selection changes.
    std::optional<QList<Item>> m_section;
    // The visible items by id, and the records edited since it was brought
    // up to date; valid only while nothing else they depend on changed.
    VisibleList m_list;
    bool m_listValid = false;
    std::function<bool(const Item &)> m_member;
    // The ids of the store's records (no two alike while the list is valid).
    QSet<QString> m_storeIds;
    // Edited ids and where their records are now (-1: gone), in order.
    QList<std::pair<QString, qsizetype>> m_edited;
    bool m_editSeen = false;
    qsizetype m_visibleCount = 0;
    qsizetype m_backgroundFrom = 20000;
    struct PendingSearch {
        quint64 generation = 0;
        QString query;
        std::optional<double> hue;
        QString sort;
        const Item *section = nullptr;
        bool ready = false;
        QList<qsizetype> order;
        // Waits for the section's texts to be folded, not for an answer.
        bool forKeys = false;
    };
    // The section whose texts are being folded on another thread.
    std::optional<QList<Item>> m_preparing;
    // Folds the shown section's texts on another thread; true while that runs.
    bool prepareSearchKeys();
    std::optional<PendingSearch> m_pending;
    quint64 m_searchGeneration = 0;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
    // The shown list as positions in m_section, when it is the section's sort
    // order filtered (no ranked results, no find-similar), with that order.
    std::optional<QList<qsizetype>> m_shown;
    QString m_shownSort;

    QString m_selection;
    std::optional<QString> m_renaming;
    QString m_draft;
    bool m_showSidebar = true;
    std::optional<QString> m_openedId;
    QStringList m_selectedIds;
    bool m_renameFocused = false;
    bool m_searching = false;
    std::optional<double> m_hueFilter;
    std::optional<QString> m_similarTo;
    bool m_addingLink = false;
    std::optional<SmartFolder> m_editingSmart;
    std::optional<HandoffActivity> m_advertised;
};

// The window's hooks: the section lists and collection of the views, the
// analyzer's distances (none without an analyzer), and the store's own link
// and file roads.
AppState::Hooks windowHooks(Analyzer *analyzer);

} // namespace vellora
