#include "MainWindow.h"

#include "AboutBox.h"
#include "AppState.h"
#include "EnvironmentHooks.h"
#include "Version.h"
#include "VisibleItems.h"

#include "enrichment/Search.h"
#include "library/LibraryStore.h"
#include "views/AddLinkSheet.h"
#include "views/CollectionContents.h"
#include "views/GridScreen.h"
#include "views/Glass.h"
#include "views/HeaderBar.h"
#include "views/Inspector.h"
#include "views/LoadErrorBanner.h"
#include "views/PageTitle.h"
#include "views/PlainText.h"
#include "views/PlusMenu.h"
#include "views/SettingsView.h"
#include "views/ShareMenu.h"
#include "views/Sidebar.h"
#include "views/SmartFolderEditor.h"
#include "views/WindowBackground.h"
#include "platform/Defaults.h"
#include "platform/MotionPreference.h"
#include "sharing/CloudStatus.h"
#include "sharing/CollectionSharing.h"
#include "sharing/SharingMenu.h"
#include "update/Updater.h"
#include "views/UpdateBanner.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextEdit>
#include <QLabel>
#include <QLinearGradient>
#include <QMenu>
#include <QMenuBar>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace vellora {

// --- BetaHeader ---

BetaHeader::BetaHeader(QWidget *parent) : QWidget(parent)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(16, 8, 16, 12);
    column->setSpacing(2);
    auto *row = new QHBoxLayout;
    row->setSpacing(6);
    auto *name = new QLabel(QStringLiteral("Vellora"), this);
    QFont headline = name->font();
    headline.setBold(true);
    headline.setPointSizeF(13);
    name->setFont(headline);
    auto *badge = new QLabel(tr("BETA"), this);
    QFont small = badge->font();
    small.setPointSizeF(9);
    small.setBold(true);
    badge->setFont(small);
    badge->setContentsMargins(6, 1, 6, 1);
    badge->setStyleSheet(QStringLiteral("color: rgba(235,235,245,0.6); background: rgba(255,255,255,0.10); border-radius: 7px;"));
    row->addWidget(name);
    row->addWidget(badge);
    row->addStretch();
    column->addLayout(row);
    m_label = new QLabel(betaLabel(), this);
    QFont caption = m_label->font();
    caption.setPointSizeF(10);
    m_label->setFont(caption);
    m_label->setWordWrap(true);
    m_badge = badge;
    m_column = column;
    // The mark follows the sidebar's width and never sets it.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_label->setStyleSheet(QStringLiteral("color: rgba(235,235,245,0.6);"));
    m_label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    column->addWidget(m_label);
    // One element for assistive technology: title, badge and label together.
    setAccessibleName(tr("Vellora BETA %1").arg(betaLabel()));
}

void BetaHeader::setNarrow(bool narrow)
{
    m_badge->setVisible(!narrow);
    const int side = narrow ? 6 : 16;
    m_column->setContentsMargins(side, 8, side, 12);
}

// --- SelectionBar ---

SelectionBar::SelectionBar(AppState &state, QWidget *parent) : QWidget(parent), m_state(state)
{
    setAttribute(Qt::WA_TranslucentBackground);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(18, 0, 18, 0);
    row->setSpacing(16);
    setFixedHeight(40);

    // The controls are made once and only shown, hidden and re-aimed: a
    // widget made while the bar is on screen would stay hidden.
    QFont font = this->font();
    font.setPointSizeF(13);
    font.setWeight(QFont::Medium);
    m_count = new QLabel(this);
    m_count->setFont(font);
    m_count->setStyleSheet(QStringLiteral("color: rgba(235,235,245,0.6);"));
    m_count->setTextFormat(Qt::PlainText);
    row->addWidget(m_count);
    auto makeButton = [&](const QString &text) {
        auto *b = new QPushButton(text, this);
        b->setFlat(true);
        b->setFont(font);
        b->setCursor(Qt::PointingHandCursor);
        b->setStyleSheet(QStringLiteral("QPushButton { color: #e6e6ea; border: none; padding: 0; }"
                                        "QPushButton::menu-indicator { width: 0; image: none; }"));
        row->addWidget(b);
        m_buttons.append(b);
        return b;
    };
    AppState *s = &m_state;
    m_putBack = makeButton(tr("Put Back"));
    connect(m_putBack, &QPushButton::clicked, this, [s] {
        s->store().restore(s->selectedIds());
        s->clearGridSelection();
    });
    m_deletePermanently = makeButton(tr("Delete Permanently…"));
    connect(m_deletePermanently, &QPushButton::clicked, this, [s, this] {
        confirmDeletePermanently(s->selectedIds(), s->store(), window());
        s->clearGridSelection();
    });
    m_move = makeButton(tr("Move to…"));
    m_move->setMenu(new QMenu(m_move));
    // Filled when it opens: always the collections as they are then.
    connect(m_move->menu(), &QMenu::aboutToShow, this, &SelectionBar::fillMoveMenu);
    m_share = makeButton(tr("Share"));
    connect(makeButton(tr("Delete")), &QPushButton::clicked, this, [s] {
        s->store().trash(s->selectedIds());
        s->clearGridSelection();
    });
}

QPushButton *SelectionBar::button(const QString &text) const
{
    for (QPushButton *b : m_buttons)
        if (b->text() == text && !b->isHidden())
            return b;
    return nullptr;
}

QStringList SelectionBar::shownTexts() const
{
    QStringList texts{m_count->text()};
    for (QPushButton *b : m_buttons)
        if (!b->isHidden())
            texts << b->text();
    return texts;
}

void SelectionBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath capsule;
    capsule.addRoundedRect(r, r.height() / 2, r.height() / 2);
    painter.fillPath(capsule, QColor(60, 60, 64, 235));
    painter.setPen(QPen(QColor(255, 255, 255, 40), 1));
    painter.drawPath(capsule);
}

void SelectionBar::fillMoveMenu()
{
    QMenu *menu = m_move->menu();
    menu->clear();
    AppState *state = &m_state;
    const QList<Board> collections = m_state.store().collections();
    for (qsizetype i = 0; i < collections.size(); ++i) {
        const Board board = collections[i];
        // The first collection is the Inbox, whatever it is called.
        const QString title = i == 0 ? tr("Inbox") : board.name;
        menu->addAction(actionText(title), this, [state, board] {
            for (const QString &id : state->selectedIds())
                state->store().setCollections({board.id}, id);
            state->clearGridSelection();
        });
    }
}

void SelectionBar::refresh()
{
    const QStringList ids = m_state.selectedIds();
    m_count->setText(tr("%1 selected").arg(ids.size()));
    const bool trash = m_state.selection() == QLatin1String("trash");
    for (QPushButton *b : std::as_const(m_buttons)) {
        const bool trashAction = b == m_putBack || b == m_deletePermanently;
        b->setVisible(trash == trashAction);
    }
    if (!trash) {
        fillMoveMenu();
        QList<Item> items;
        for (const QString &id : ids)
            if (const auto item = m_state.store().item(id))
                items << *item;
        QMenu *old = m_share->menu();
        m_share->setMenu(nullptr);
        delete old;
        QMenu *shareMenu = makeShareMenu(m_state.store(), items, m_share);
        m_share->setMenu(shareMenu);
        m_share->setEnabled(shareMenu != nullptr);
    }
    layout()->activate();
    adjustSize();
}

// --- MainWindow ---

namespace {

// The band over the grid's top edge that the tiles fade under.
class TopFade : public QWidget {
public:
    explicit TopFade(QWidget *parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TranslucentBackground);
        setFixedHeight(72);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        QLinearGradient gradient(0, 0, 0, height());
        QColor top = windowBackground();
        top.setAlphaF(0.85);
        QColor bottom = windowBackground();
        bottom.setAlphaF(0.0);
        gradient.setColorAt(0, top);
        gradient.setColorAt(1, bottom);
        painter.fillRect(rect(), gradient);
    }
};

// The File commands' keys; the plus menu repeats them as text.
const QKeySequence kNewCollectionKeys(Qt::CTRL | Qt::Key_N);
const QKeySequence kImportKeys(Qt::CTRL | Qt::Key_O);
const QKeySequence kAddLinkKeys(Qt::CTRL | Qt::Key_L);
const QKeySequence kNewSmartFolderKeys(Qt::CTRL | Qt::SHIFT | Qt::Key_N);

// Commands are found by these names, never by their wording, which may
// change or be translated.
QAction *named(QAction *action, const char *name)
{
    action->setObjectName(QLatin1String(name));
    return action;
}

QStringList pictureNameFilters()
{
    QStringList patterns;
    QMimeDatabase mimes;
    for (const QByteArray &type : QImageReader::supportedMimeTypes())
        for (const QString &suffix : mimes.mimeTypeForName(QString::fromLatin1(type)).suffixes())
            patterns << QStringLiteral("*.") + suffix;
    patterns.removeDuplicates();
    return {QCoreApplication::translate("vellora::MainWindow", "Pictures (%1)").arg(patterns.join(u' '))};
}

} // namespace

MainWindow::MainWindow(AppState &state, QWidget *parent) : QMainWindow(parent), m_state(state)
{
    setWindowTitle(QStringLiteral("Vellora"));
    setMinimumSize(int(kMinimumWindowWidth), int(kMinimumWindowHeight));
    resize(firstWindowSize(QSize(1300, 850), screen() ? screen()->availableGeometry() : QRect(), minimumSize()));
    QPalette dark = palette();
    dark.setColor(QPalette::Window, windowBackground());
    dark.setColor(QPalette::Base, windowBackground());
    dark.setColor(QPalette::WindowText, QColor(230, 230, 234));
    dark.setColor(QPalette::Text, QColor(230, 230, 234));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 234));
    setPalette(dark);
    setAutoFillBackground(true);

    chooseFiles = [](QWidget *parentWidget) {
        QFileDialog dialog(parentWidget, tr("Import"));
        dialog.setFileMode(QFileDialog::ExistingFiles);
        dialog.setNameFilters(pictureNameFilters());
        if (dialog.exec() != QDialog::Accepted)
            return QStringList();
        return dialog.selectedFiles();
    };

    auto *central = new QWidget(this);
    auto *split = new QHBoxLayout(central);
    split->setContentsMargins(0, 0, 0, 0);
    split->setSpacing(0);

    m_sidebarColumn = new QWidget(central);
    auto *sideColumn = new QVBoxLayout(m_sidebarColumn);
    sideColumn->setContentsMargins(0, 0, 0, 0);
    sideColumn->setSpacing(0);
    // The rows scroll (a long list of collections) above the build mark,
    // which keeps its place below them.
    m_sidebarScroll = new QScrollArea(m_sidebarColumn);
    m_sidebarScroll->setFrameShape(QFrame::NoFrame);
    m_sidebarScroll->setWidgetResizable(true);
    m_sidebarScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_sidebarScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    darkenScrollBar(m_sidebarScroll->verticalScrollBar());
    QPalette sidebarPalette = m_sidebarScroll->palette();
    sidebarPalette.setColor(QPalette::Window, windowBackground().lighter(118));
    m_sidebarScroll->setPalette(sidebarPalette);
    m_sidebarScroll->viewport()->setAutoFillBackground(true);
    m_sidebarScroll->viewport()->setPalette(sidebarPalette);
    m_sidebar = new Sidebar(m_state.store(), m_sidebarScroll);
    m_sidebarScroll->setWidget(m_sidebar);
    sideColumn->addWidget(m_sidebarScroll, 1);
    m_betaHeader = new BetaHeader(m_sidebarColumn);
    sideColumn->addWidget(m_betaHeader);
    split->addWidget(m_sidebarColumn);
    // The column is exactly as wide as the sidebar (and its scroll bar while
    // one is needed).
    auto fitColumn = [this] {
        QScrollBar *bar = m_sidebarScroll->verticalScrollBar();
        const bool scrolling = bar->maximum() > bar->minimum();
        const int width = m_sidebar->width() + (scrolling ? bar->sizeHint().width() : 0);
        m_sidebarScroll->setFixedWidth(width);
        m_sidebarColumn->setFixedWidth(width);
        m_betaHeader->setNarrow(m_sidebar->sidebarWidth() < Sidebar::kNarrowWidth);
    };
    connect(m_sidebarScroll->verticalScrollBar(), &QScrollBar::rangeChanged, this, fitColumn);
    connect(m_sidebar, &Sidebar::sidebarWidthChanged, this, fitColumn, Qt::QueuedConnection);
    m_fitSidebarColumn = fitColumn;

    m_content = new QWidget(central);
    m_content->setAutoFillBackground(true);
    m_content->installEventFilter(this);
    m_grid = new GridScreen(m_state.store(), &m_state.grid(), m_content);
    m_title = new PageTitle(m_content);
    m_grid->setHeader(m_title);
    m_fade = new TopFade(m_content);
    m_header = new HeaderBar(&m_state.search(), m_content);
    m_header->setLeadingWidget(new UpdateBanner(Updater::shared(), m_header));
    connect(m_header, &HeaderBar::leadingBelowChanged, this, [this] { placeOverlays(); });
    m_selectionBar = new SelectionBar(m_state, m_content);
    m_selectionBar->hide();
    m_loadErrorBanner = new LoadErrorBanner(m_state.store(), m_content);
    connect(&m_state.store(), &LibraryStore::loadErrorChanged, this, [this] {
        placeOverlays();
        scheduleRefresh();
    });
    split->addWidget(m_content, 1);

    m_inspector = new Inspector(m_state.store(), central);
    split->addWidget(m_inspector);
    setCentralWidget(central);

    // Springs, shakes, page slides and the sidebar's fades follow the
    // desktop's setting, also when it changes while the window is open.
    m_motion = new MotionPreference(this);
    auto applyMotion = [this](bool reduce) {
        if (zezevaveri::ScatterGridView *view = m_grid->gridView())
            view->setReduceMotion(reduce);
        m_sidebar->setReduceMotion(reduce);
    };
    applyMotion(m_motion->reduceMotion());
    connect(m_motion, &MotionPreference::changed, this, applyMotion);

    // A picture whose file is not here yet (a shared item still on its way)
    // shows as loading while it waits.
    CloudStatus &cloud = CloudStatus::shared();
    m_grid->waitingForCloud = [&cloud](const QString &id) { return cloud.isWaiting(id); };
    m_grid->fileMissing = [&cloud](const QString &id) { cloud.markWaiting(id); };
    connect(&cloud, &CloudStatus::waitingChanged, m_grid, &GridScreen::refreshWaiting);

    bindSidebar();
    m_fitSidebarColumn();
    bindHeader();
    bindGrid();
    bindInspector();
    buildMenus();

    connect(&m_state, &AppState::visibleChanged, this, &MainWindow::scheduleRefresh);
    connect(&m_state, &AppState::selectionChanged, this, &MainWindow::scheduleRefresh);
    connect(&m_state.store(), &LibraryStore::syncingChanged, this, [this](int syncing) { m_title->setSyncing(syncing > 0); });
    connect(&m_state, &AppState::addingLinkChanged, this, [this](bool adding) {
        if (adding)
            openAddLinkSheet();
        else if (m_addLinkSheet)
            m_addLinkSheet->close();
    });
    connect(&m_state, &AppState::editingSmartChanged, this, [this] {
        if (m_state.editingSmart())
            openSmartSheet();
        else if (m_smartSheet)
            m_smartSheet->close();
    });
    refreshVisible();
}

MainWindow::~MainWindow() = default;

LibraryStore &MainWindow::store() const { return m_state.store(); }

zezevaveri::ScatterGridView *MainWindow::grid() const { return m_grid->gridView(); }

void MainWindow::bindSidebar()
{
    Sidebar *sidebar = m_sidebar;
    AppState *state = &m_state;
    sidebar->setSelection(state->selection());
    sidebar->setSidebarWidth(state->sidebarWidth());
    sidebar->newBoard = [state] { state->newBoard(); };
    sidebar->startRename = [state](const QString &id) { state->startRename(id); };
    sidebar->commitRename = [state] { state->commitRename(); };
    sidebar->newSmartFolder = [state] { state->newSmartFolder(); };
    sidebar->editSmartFolder = [state](const SmartFolder &folder) { state->editSmartFolder(folder); };
    // A shared collection is deleted only after the question, and stops being shared first.
    sidebar->deleteCollection = [this, state](const QString &id, std::function<void()> remove) {
        confirmDeleteCollection(CollectionSharing::of(state->store()), id, this, std::move(remove));
    };
    sidebar->dropURLs = [state](const QList<QUrl> &urls, const QString &collectionId) {
        importURLs(urls, state->store(), collectionId);
    };
    // The shortcut texts read as the File menu shows the same keys.
    auto shown = [](const QKeySequence &keys) { return keys.toString(QKeySequence::NativeText); };
    sidebar->plusEntries = {
        {tr("Add Files…"), QStringLiteral("photo.on.rectangle"), shown(kImportKeys), [this] { importImages(); }},
        {tr("Add Link…"), QStringLiteral("link"), shown(kAddLinkKeys), [state] { state->showAddLink(); }},
        {tr("New Collection"), QStringLiteral("tray.2"), shown(kNewCollectionKeys), [state] { state->newBoard(); }},
        {tr("New Smart Folder…"), QStringLiteral("folder.badge.gearshape"), shown(kNewSmartFolderKeys),
         [state] { state->newSmartFolder(); }},
    };

    connect(sidebar, &Sidebar::selectionChanged, state, &AppState::setSelection);
    connect(state, &AppState::selectionChanged, sidebar, &Sidebar::setSelection);
    connect(sidebar, &Sidebar::draftChanged, state, &AppState::setDraft);
    connect(state, &AppState::draftChanged, sidebar, [sidebar, state] { sidebar->setDraft(state->draft()); });
    connect(sidebar, &Sidebar::renamingChanged, state, &AppState::setRenaming);
    connect(state, &AppState::renamingChanged, sidebar, [sidebar, state] {
        sidebar->setDraft(state->draft());
        sidebar->setRenaming(state->renaming());
    });
    connect(sidebar, &Sidebar::focusedChanged, state, &AppState::setRenameFocused);
    connect(state, &AppState::renameFocusRequested, sidebar, [sidebar] { sidebar->setFocused(true); });
    connect(sidebar, &Sidebar::sidebarWidthChanged, state, &AppState::setSidebarWidth);
    connect(state, &AppState::showSidebarChanged, this, [this](bool shown) {
        m_sidebarColumn->setVisible(shown);
        updateMenuTitles();
    });
    m_sidebarColumn->setVisible(state->showSidebar());
}

void MainWindow::bindHeader()
{
    HeaderBar *header = m_header;
    AppState *state = &m_state;
    header->toggleSearch = [state] { state->toggleSearch(); };
    header->setInspectorVisible(state->inspectorVisible());
    header->setSort(state->sort());
    header->setSearching(state->searching());
    connect(header, &HeaderBar::searchingChanged, state, &AppState::setSearching);
    connect(state, &AppState::searchingChanged, header, &HeaderBar::setSearching);
    connect(state, &AppState::searchFocusRequested, header, [header] { header->setSearchFocused(true); });
    connect(header, &HeaderBar::inspectorVisibleChanged, state, &AppState::setInspectorVisible);
    connect(state, &AppState::inspectorVisibleChanged, header, &HeaderBar::setInspectorVisible);
    connect(header, &HeaderBar::sortChanged, state, &AppState::setSort);
    connect(state, &AppState::sortChanged, header, &HeaderBar::setSort);
    connect(header, &HeaderBar::hueFilterChanged, state, [state](std::optional<double> hue) { state->setHueFilter(hue); });
    connect(state, &AppState::hueFilterChanged, header, [header, state] { header->setHueFilter(state->hueFilter()); });
    connect(header, &HeaderBar::similarToChanged, state, &AppState::setSimilarTo);
    connect(state, &AppState::similarToChanged, header, [header, state] { header->setSimilarTo(state->similarTo()); });
}

void MainWindow::bindGrid()
{
    AppState *state = &m_state;
    m_grid->findSimilar = [state](const QString &id) { state->findSimilar(id); };
    connect(m_grid, &GridScreen::openedIdChanged, state, [this, state](const QString &id) {
        state->setOpenedId(id.isEmpty() ? std::nullopt : std::optional<QString>(id));
        updateSelectionBar();
    });
    connect(m_grid, &GridScreen::selectedIdsChanged, state, [this, state](const QStringList &ids) {
        state->setSelectedIds(ids);
        updateSelectionBar();
    });
    connect(state, &AppState::inspectorVisibleChanged, m_grid, &GridScreen::setInspector);
    m_grid->setInspector(state->inspectorVisible());
}

void MainWindow::bindInspector()
{
    AppState *state = &m_state;
    m_inspector->findSimilar = [state](const QString &id) { state->findSimilar(id); };
    connect(m_inspector, &Inspector::colourPicked, state, [state](double hue) { state->setHueFilter(hue); });
    connect(state, &AppState::inspectorVisibleChanged, this, [this](bool visible) {
        m_inspector->setVisible(visible);
        updateMenuTitles();
    });
    auto picked = [this, state] { m_inspector->setPicked(state->pickedIds()); };
    connect(state, &AppState::openedIdChanged, this, picked);
    connect(state, &AppState::selectedIdsChanged, this, picked);
    m_inspector->setVisible(state->inspectorVisible());
}

void MainWindow::buildMenus()
{
    AppState *state = &m_state;
    QMenuBar *bar = menuBar();

    QMenu *file = bar->addMenu(tr("&File"));
    file->setObjectName(QStringLiteral("File"));
    named(file->addAction(tr("New Collection"), kNewCollectionKeys, state, [state] { state->newBoard(); }),
          "newCollection");
    named(file->addAction(tr("Import…"), kImportKeys, this, [this] { importImages(); }), "import");
    named(file->addAction(tr("Add Link…"), kAddLinkKeys, state, [state] { state->showAddLink(); }), "addLink");
    named(file->addAction(tr("New Smart Folder…"), kNewSmartFolderKeys, state, [state] { state->newSmartFolder(); }),
          "newSmartFolder");
    file->addSeparator();
    // Sharing acts on the collection that is shown.
    named(file->addMenu(makeSharingMenu(CollectionSharing::of(state->store()), [state] { return state->selection(); }, this)),
          "sharing");
    file->addSeparator();
    QAction *settings = file->addAction(tr("Settings…"), QKeySequence(Qt::CTRL | Qt::Key_Comma), this, [this] {
        QWidget *window = settingsWindow();
        window->show();
        window->raise();
        window->activateWindow();
    });
    named(settings, "settings");
    settings->setMenuRole(QAction::PreferencesRole);
    file->addSeparator();
    QAction *quit = named(file->addAction(tr("Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), qApp, &QApplication::quit),
                          "quit");
    quit->setMenuRole(QAction::QuitRole);

    QMenu *edit = bar->addMenu(tr("&Edit"));
    edit->setObjectName(QStringLiteral("Edit"));
    addEditCommands(edit);
    edit->addSeparator();
    named(edit->addAction(tr("Find"), QKeySequence(Qt::CTRL | Qt::Key_F), state, [state] { state->toggleSearch(); }),
          "find");

    QMenu *view = bar->addMenu(tr("&View"));
    view->setObjectName(QStringLiteral("View"));
    m_sidebarAction = view->addAction(QString(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S), state,
                                      [state] { state->toggleSidebar(); });
    named(m_sidebarAction, "toggleSidebar");
    m_inspectorAction = view->addAction(QString(), QKeySequence(Qt::CTRL | Qt::Key_I), state,
                                        [state] { state->toggleInspector(); });
    named(m_inspectorAction, "toggleInspector");
    named(view->addAction(tr("Next Item"), QKeySequence(Qt::CTRL | Qt::Key_BracketRight), state,
                          [state] { state->showNext(); }),
          "nextItem");
    named(view->addAction(tr("Previous Item"), QKeySequence(Qt::CTRL | Qt::Key_BracketLeft), state,
                          [state] { state->showPrevious(); }),
          "previousItem");

    // Exactly the four built-in sections, whatever the library holds.
    QMenu *go = bar->addMenu(tr("&Go"));
    go->setObjectName(QStringLiteral("Go"));
    const QList<BuiltInSection> &sections = builtInSections();
    for (qsizetype i = 0; i < sections.size(); ++i) {
        const QString id = sections[i].id;
        QAction *row = go->addAction(sections[i].title, state, [state, id] { state->selectSection(id); });
        row->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key(Qt::Key_1 + int(i))));
        row->setData(id);
        // "goAll", "goInbox", "goLinks", "goTrash".
        row->setObjectName(QStringLiteral("go") + id.left(1).toUpper() + id.mid(1));
    }

    QMenu *help = bar->addMenu(tr("&Help"));
    help->setObjectName(QStringLiteral("Help"));
    QAction *about = named(help->addAction(tr("About Vellora"), this, [this] { showAbout(); }), "about");
    about->setMenuRole(QAction::AboutRole);
    named(help->addAction(tr("Check for Updates…"), this, [] { Updater::shared().check(true); }), "checkForUpdates");

    updateMenuTitles();
}

namespace {
// The text field that has the keyboard focus, if one has: the standard edit
// commands act on it before the grid.
QWidget *focusedTextField()
{
    QWidget *focus = QApplication::focusWidget();
    if (qobject_cast<QLineEdit *>(focus) || qobject_cast<QTextEdit *>(focus) || qobject_cast<QPlainTextEdit *>(focus))
        return focus;
    return nullptr;
}

bool editTextField(const char *command)
{
    QWidget *field = focusedTextField();
    return field && QMetaObject::invokeMethod(field, command);
}
} // namespace

void MainWindow::addEditCommands(QMenu *edit)
{
    // Items are never cut: a picture leaves a collection through Move to….
    QAction *cut = named(edit->addAction(tr("Cut"), QKeySequence::Cut, this, [] { editTextField("cut"); }), "cut");
    named(edit->addAction(tr("Copy"), QKeySequence::Copy, this,
                          [this] {
                              if (!editTextField("copy"))
                                  m_grid->copyItems();
                          }),
          "copy");
    named(edit->addAction(tr("Paste"), QKeySequence::Paste, this,
                          [this] {
                              if (!editTextField("paste"))
                                  m_grid->paste();
                          }),
          "paste");
    named(edit->addAction(tr("Select All"), QKeySequence::SelectAll, this,
                          [this] {
                              if (!editTextField("selectAll"))
                                  m_grid->gridView()->selectAll();
                          }),
          "selectAll");
    // Shown dimmed where it has nothing to act on; the key itself always
    // reaches the command, which decides.
    connect(edit, &QMenu::aboutToShow, cut, [cut] { cut->setEnabled(focusedTextField() != nullptr); });
    connect(edit, &QMenu::aboutToHide, cut, [cut] { cut->setEnabled(true); });
}

void MainWindow::updateMenuTitles()
{
    m_sidebarAction->setText(m_state.showSidebar() ? tr("Hide Sidebar") : tr("Show Sidebar"));
    m_inspectorAction->setText(m_state.inspectorVisible() ? tr("Hide Inspector") : tr("Show Inspector"));
}

QMenu *MainWindow::menu(const QString &name) const
{
    for (QAction *action : menuBar()->actions())
        if (action->menu() && action->menu()->objectName() == name)
            return action->menu();
    return nullptr;
}

QAction *MainWindow::action(const QString &name) const
{
    for (QAction *top : menuBar()->actions()) {
        if (!top->menu())
            continue;
        for (QAction *action : top->menu()->actions())
            if (action->objectName() == name)
                return action;
    }
    return nullptr;
}

void MainWindow::importImages()
{
    const QStringList files = chooseFiles ? chooseFiles(this) : QStringList();
    if (files.isEmpty())
        return;
    m_state.importFiles(files);
}

QWidget *MainWindow::settingsWindow()
{
    if (m_settings)
        return m_settings;
    auto *window = new QWidget(nullptr, Qt::Window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(tr("Settings"));
    auto *column = new QVBoxLayout(window);
    column->setContentsMargins(0, 0, 0, 0);
    // The form keeps its natural height and scrolls, so that no section is
    // squeezed when the window is shorter than all of them.
    auto *scroll = new QScrollArea(window);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    darkenScrollBar(scroll->verticalScrollBar());
    auto *form = new SettingsView(m_state.store(), scroll);
    form->addSection(tr("Sharing"), makeSharingSettingsSection(Defaults::standard(), form));
    form->addSection(tr("Updates"), new UpdateSettingsSection(Updater::shared(), form));
    scroll->setWidget(form);
    column->addWidget(scroll);
    window->resize(520, 560);
    // Closed like any other settings window, from the keyboard too.
    for (const QKeySequence &keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        auto *close = new QShortcut(keys, window);
        close->setContext(Qt::WindowShortcut);
        connect(close, &QShortcut::activated, window, &QWidget::close);
    }
    m_settings = window;
    return window;
}

void MainWindow::showAbout()
{
    AboutBox box(this);
    box.exec();
}

void MainWindow::scheduleRefresh()
{
    if (m_refreshPosted)
        return;
    m_refreshPosted = true;
    QTimer::singleShot(0, this, [this] {
        m_refreshPosted = false;
        refreshVisible();
    });
}

void MainWindow::refreshVisible()
{
    AppState::VisibleUpdate update = m_state.updateVisible();
    const QString selection = m_state.selection();
    const LibraryStore &store = m_state.store();
    const qsizetype count = m_state.visibleCount();

    m_title->setTitle(m_state.selectionTitle());
    // A library that could not be read is not loading: the banner says why.
    const bool settled = store.loaded() || !store.loadError().isEmpty();
    m_title->setCount(settled ? std::optional<int>(int(count)) : std::nullopt);
    m_title->setEmptyText(count == 0 ? emptyPageText() : QString());
    m_title->setSyncing(store.syncing() > 0);

    m_grid->setCollectionId(selection);
    if (update.reset) {
        // The list of records is made only when asked for.
        m_visibleStale = true;
        m_grid->setVisibleItems(update.section, update.order);
    } else if (update.shownChange) {
        // A new search over the same section: the views take the change by
        // position; the old list goes when it is made again, not in this frame.
        m_visibleStale = true;
        m_grid->applyShownChange(update.section, update.removed, update.removedRanks, update.inserted,
                                 update.insertedRanks);
    } else if (!update.diff.isEmpty()) {
        // Only the records that changed: the tiles of the others stay. The
        // old list goes when it is made again, not in this frame.
        m_visibleStale = true;
        m_grid->applyVisibleChange(update.diff.removed, update.diff.inserted);
    }

    m_header->setLinksView(selection == QLatin1String("links"));
    if (selection == QLatin1String("trash") && count > 0)
        m_header->emptyTrash = [this] { emptyTrash(); };
    else
        m_header->emptyTrash = nullptr;
    m_header->refresh();

    m_inspector->setTitle(m_state.selectionTitle());
    m_inspector->setCreated(m_state.shownCollectionCreated());
    m_inspector->setSmart(m_state.shownSmartFolder());
    m_inspector->setShownCount(int(count));
    m_inspector->setPicked(m_state.pickedIds());
    updateSelectionBar();
    emit visibleRefreshed();
}

QString MainWindow::emptyPageText() const
{
    const LibraryStore &store = m_state.store();
    const QString section = m_state.selection();
    const QString query = m_state.search().query().trimmed();
    bool anyActive = false;
    for (const Item &item : store.items()) {
        if (!item.trashedAt) {
            anyActive = true;
            break;
        }
    }
    // The trash says what it is whatever the library holds.
    if (section == kSectionTrash && query.isEmpty() && !m_state.hueFilter())
        return tr("The Trash is empty.");
    if (!anyActive && section != kSectionTrash)
        return tr("No pictures yet. Drop pictures here, paste one with Ctrl+V, or choose Add Files… (Ctrl+O).");
    if (!query.isEmpty())
        return tr("Nothing here matches “%1”.").arg(query);
    if (m_state.hueFilter())
        return tr("Nothing here has that colour.");
    if (m_state.shownSmartFolder())
        return tr("No items match this smart folder's rules.");
    if (section == kSectionLinks)
        return tr("No links yet. Add one with Add Link… (Ctrl+L).");
    if (store.collection(resolveBoardId(store, section)) && section != kSectionAll)
        return tr("Nothing in this collection yet. Drop pictures here to add them.");
    return tr("Nothing to show.");
}

const QList<Item> &MainWindow::visible() const
{
    if (m_visibleStale) {
        m_visible = m_grid->visibleItems();
        m_visibleStale = false;
    }
    return m_visible;
}

void MainWindow::emptyTrash()
{
    // Every trashed item, also those a search hides.
    QStringList ids;
    for (const Item &item : itemsInCollection(m_state.store(), kSectionTrash))
        ids << item.id;
    if (ids.isEmpty())
        return;
    confirmDeletePermanently(ids, m_state.store(), this);
}

void MainWindow::updateSelectionBar()
{
    const bool shown = !m_state.openedId() && !m_state.selectedIds().isEmpty();
    if (shown) {
        m_selectionBar->refresh();
        m_selectionBar->show();
        m_selectionBar->raise();
        placeOverlays();
    } else {
        m_selectionBar->hide();
    }
}

void MainWindow::placeOverlays()
{
    const QRect area = m_content->rect();
    // The bar sets its own height: taller when the update banner has no room
    // beside the controls and takes a row of its own under them.
    m_header->setGeometry(0, 0, area.width(), std::max(m_header->sizeHint().height(), 52));
    const bool bannerRow = m_header->leadingBelow();
    const int headerHeight = bannerRow ? m_header->height() : std::max(m_header->sizeHint().height(), 52);
    // The grid starts at the top, under the floating header bar, unless the
    // bar is that tall or the load-error banner is shown: that takes a band
    // of its own below the bar. The grid (its heading first) then starts
    // under them.
    int gridTop = bannerRow ? headerHeight : 0;
    if (m_loadErrorBanner->isVisibleTo(m_content)) {
        // As tall as its text wrapped to this width: the size hint wraps
        // the text narrower and would leave empty bands above and below.
        const int height = m_loadErrorBanner->heightForWidth(area.width() - 24);
        m_loadErrorBanner->setGeometry(12, headerHeight, area.width() - 24,
                                       std::max(height, m_loadErrorBanner->minimumSizeHint().height()));
        gridTop = m_loadErrorBanner->geometry().bottom() + 1;
    }
    m_title->setUnderHeaderBar(gridTop == 0);
    m_grid->setGeometry(area.adjusted(4, gridTop, 0, 0));
    m_fade->setGeometry(0, 0, area.width(), m_fade->height());
    m_fade->raise();
    m_header->raise();
    if (m_loadErrorBanner->isVisibleTo(m_content))
        m_loadErrorBanner->raise();
    if (m_selectionBar->isVisible()) {
        const QSize size = m_selectionBar->sizeHint().expandedTo(QSize(0, 40));
        m_selectionBar->setGeometry((area.width() - size.width()) / 2, area.height() - 16 - size.height(),
                                    size.width(), size.height());
        m_selectionBar->raise();
    }
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_content && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
        placeOverlays();
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::setContentSize(const QSizeF &size)
{
    const QSize target(int(std::max(size.width(), kMinimumWindowWidth)), int(std::max(size.height(), kMinimumWindowHeight)));
    // The content size is the window's inner size less the menu bar.
    const int menuHeight = menuBar()->isVisible() ? menuBar()->sizeHint().height() : 0;
    resize(target.width(), target.height() + menuHeight);
}

void MainWindow::openAddLinkSheet()
{
    if (m_addLinkSheet)
        return;
    AppState *state = &m_state;
    auto *sheet = new AddLinkSheet(this);
    sheet->add = [state](const QString &url) { state->addLinkToSection(url); };
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    connect(sheet, &QObject::destroyed, state, [state] { state->setAddingLink(false); });
    m_addLinkSheet = sheet;
    sheet->open();
}

void MainWindow::openSmartSheet()
{
    if (m_smartSheet)
        m_smartSheet->close();
    AppState *state = &m_state;
    const SmartFolder folder = *m_state.editingSmart();
    bool known = false;
    for (const SmartFolder &existing : m_state.store().smartFolders())
        known = known || existing.id == folder.id;
    auto *sheet = new SmartFolderEditor(m_state.store(), folder, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    // A folder made here is shown once it is saved.
    if (!known) {
        const QString id = folder.id;
        connect(sheet, &QDialog::accepted, state, [state, id] {
            for (const SmartFolder &saved : state->store().smartFolders())
                if (saved.id == id)
                    state->setSelection(id);
        });
    }
    sheet->setWindowModality(Qt::WindowModal);
    connect(sheet, &QObject::destroyed, state, [state, this, sheet] {
        // Only the sheet that is still the current one clears the state.
        if (m_smartSheet.isNull() || m_smartSheet.data() == sheet)
            state->setEditingSmart(std::nullopt);
    });
    m_smartSheet = sheet;
    sheet->open();
}

} // namespace vellora
