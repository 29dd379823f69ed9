#pragma once
// The main window: the sidebar, the content column (page title and grid, the
// header bar above them, the selection bar below) and the inspector, 302
// wide, all bound to the window's state; with the menus that carry every
// command and the two sheets (add link, smart folder).
//
// The window reads what it shows from AppState and writes what the user
// does back into it; it holds no library state of its own.

#include <QMainWindow>
#include <QPointer>
#include <QVariant>

#include <functional>
#include <memory>

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace zezevaveri {
class ScatterGridView;
}

namespace vellora {

class AppState;
class GridScreen;
class HeaderBar;
class Inspector;
class LibraryStore;
class LoadErrorBanner;
class MotionPreference;
class PageTitle;
class Sidebar;
struct Item;

// A small mark of the build: "Vellora", a "BETA" badge, and the selectable
// line "Vellora <version> (<build>) · Beta".
class BetaHeader : public QWidget {
    Q_OBJECT
public:
    explicit BetaHeader(QWidget *parent = nullptr);
    QLabel *label() const { return m_label; }
    // Below the narrow sidebar width: no badge, small margins.
    void setNarrow(bool narrow);

private:
    QLabel *m_label;
    QLabel *m_badge;
    QVBoxLayout *m_column;
};

// The bar over the grid's bottom edge while items are selected and none is
// opened: the count, then Put Back / Delete Permanently… in the trash, else
// Move to…, Share and Delete.
class SelectionBar : public QWidget {
    Q_OBJECT
public:
    SelectionBar(AppState &state, QWidget *parent = nullptr);
    // Brings the controls in line with the state's selection and section.
    void refresh();
    QLabel *countLabel() const { return m_count; }
    // A control the bar shows now; null when it is hidden or absent.
    QPushButton *button(const QString &text) const;
    // The count, then the titles of the shown controls, left to right.
    QStringList shownTexts() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void fillMoveMenu();

    AppState &m_state;
    QLabel *m_count = nullptr;
    QPushButton *m_putBack = nullptr;
    QPushButton *m_deletePermanently = nullptr;
    QPushButton *m_move = nullptr;
    QPushButton *m_share = nullptr;
    QList<QPushButton *> m_buttons;
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(AppState &state, QWidget *parent = nullptr);
    ~MainWindow() override;

    AppState &state() const { return m_state; }
    LibraryStore &store() const;

    GridScreen *gridScreen() const { return m_grid; }
    zezevaveri::ScatterGridView *grid() const;
    Sidebar *sidebar() const { return m_sidebar; }
    HeaderBar *headerBar() const { return m_header; }
    Inspector *inspector() const { return m_inspector; }
    PageTitle *pageTitle() const { return m_title; }
    SelectionBar *selectionBar() const { return m_selectionBar; }
    // Over the grid while library.json could not be used.
    LoadErrorBanner *loadErrorBanner() const { return m_loadErrorBanner; }
    // The desktop's reduce-motion setting, which the grid and the sidebar follow.
    MotionPreference *motionPreference() const { return m_motion; }
    QWidget *sidebarColumn() const { return m_sidebarColumn; }
    // The scroll area the sidebar's rows move in.
    QScrollArea *sidebarScroll() const { return m_sidebarScroll; }
    // The open sheets, while they are open.
    QWidget *addLinkSheet() const { return m_addLinkSheet; }
    QWidget *smartFolderSheet() const { return m_smartSheet; }

    // The menu bar's menus ("File", "Edit", "View", "Go", "Help") and the
    // commands in them, by object name, which stays when the wording changes:
    // "newCollection", "import", "addLink", "newSmartFolder", "sharing",
    // "settings", "quit"; "cut", "copy", "paste", "selectAll", "find";
    // "toggleSidebar", "toggleInspector", "nextItem", "previousItem";
    // "goAll", "goInbox", "goLinks", "goTrash"; "about", "checkForUpdates".
    QMenu *menu(const QString &name) const;
    QAction *action(const QString &name) const;

    // The import panel: picture files chosen by the user; none when cancelled.
    // A QFileDialog over the picture types by default; tests replace it.
    std::function<QStringList(QWidget *parent)> chooseFiles;
    // "Import…" and "Add Files…".
    void importImages();
    // The settings window, made on first use.
    QWidget *settingsWindow();
    void showAbout();

    // The visible items as last computed (refreshed on the next turn after
    // any change of what they depend on).
    const QList<Item> &visible() const;
    // Recomputes them now.
    void refreshVisible();
    // The page heading's line when nothing is shown: what is (not) there.
    QString emptyPageText() const;

    // Sets the content size, never below 700 x 450.
    void setContentSize(const QSizeF &size);

signals:
    // The visible items were handed to the grid.
    void visibleRefreshed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildMenus();
    // Cut, Copy, Paste and Select All: on the focused text field, else on the grid.
    void addEditCommands(QMenu *edit);
    void bindSidebar();
    void bindHeader();
    void bindGrid();
    void bindInspector();
    void scheduleRefresh();
    void updateMenuTitles();
    void updateSelectionBar();
    void placeOverlays();
    void openAddLinkSheet();
    void openSmartSheet();
    void emptyTrash();

    AppState &m_state;
    QWidget *m_sidebarColumn = nullptr;
    QScrollArea *m_sidebarScroll = nullptr;
    BetaHeader *m_betaHeader = nullptr;
    std::function<void()> m_fitSidebarColumn;
    Sidebar *m_sidebar = nullptr;
    QWidget *m_content = nullptr;
    GridScreen *m_grid = nullptr;
    PageTitle *m_title = nullptr;
    HeaderBar *m_header = nullptr;
    QWidget *m_fade = nullptr;
    SelectionBar *m_selectionBar = nullptr;
    LoadErrorBanner *m_loadErrorBanner = nullptr;
    MotionPreference *m_motion = nullptr;
    Inspector *m_inspector = nullptr;
    QPointer<QWidget> m_addLinkSheet;
    QPointer<QWidget> m_smartSheet;
    QPointer<QWidget> m_settings;
    // After a change by id made again only when asked for.
    mutable QList<Item> m_visible;
    mutable bool m_visibleStale = false;
    bool m_refreshPosted = false;
    QAction *m_sidebarAction = nullptr;
    QAction *m_inspectorAction = nullptr;
};

} // namespace vellora
