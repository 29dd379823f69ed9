#include "AppState.h"

#include "DeepLink.h"
#include "EnvironmentHooks.h"
#include "StartupMode.h"
#include "VisibleItems.h"

#include "enrichment/StoreDrops.h"
#include "enrichment/LinkPipeline.h"
#include "enrichment/Search.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "library/LinkParser.h"
#include "platform/Defaults.h"
#include "platform/Logging.h"
#include "platform/Uuid.h"
#include "enrichment/Analyzer.h"
#include "views/CollectionContents.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSet>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

namespace vellora {

namespace {

const QString kLastBoard = QStringLiteral("lastBoard");
const QString kInspectorVisible = QStringLiteral("inspectorVisible");
const QString kSortOrder = QStringLiteral("gridSortOrder");
const QString kSidebarWidth = QStringLiteral("sidebarWidth");

std::optional<QString> environmentValue(const char *name)
{
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    return qEnvironmentVariable(name);
}

} // namespace

AppState::AppState(LibraryStore &store, Defaults &settings, zezevaveri::ScatterGridController &grid, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_settings(settings)
    , m_grid(grid)
    , m_search(std::make_unique<Search>(store))
    , m_selection(initialSelection(settings))
{
    auto filterChanged = [this] {
        invalidateVisible();
        emit visibleChanged();
    };
    connect(m_search.get(), &Search::queryChanged, this, filterChanged);
    connect(m_search.get(), &Search::rankedChanged, this, filterChanged);
    // The section's list is kept between keystrokes; any change of the
    // library drops it.
    auto libraryChanged = [this] {
        m_section.reset();
        m_shown.reset();
        invalidateVisible();
        emit visibleChanged();
    };
    // Edits of known records reach the visible list by id; any other change
    // of the items starts it over.
    connect(&m_store, &LibraryStore::itemsEdited, this, [this](const ItemChanges &changes) {
        m_editSeen = true;
        if (!m_listValid)
            return;
        // Removals move the records after them up: the kept places follow.
        for (qsizetype i = 0; i < changes.removed.size(); ++i) {
            const qsizetype gone = changes.removedAt.value(i, -1);
            m_list.removedAt(gone);
            for (auto &[id, at] : m_edited) {
                if (at == gone)
                    at = -1;
                else if (at > gone)
                    --at;
            }
            m_edited.append({changes.removed[i], -1});
            m_storeIds.remove(changes.removed[i]);
        }
        for (qsizetype i = 0; i < changes.added.size(); ++i) {
            // A second record with an id already there: ids no longer name
            // one record each.
            if (m_storeIds.contains(changes.added[i])) {
                invalidateVisible();
                return;
            }
            m_storeIds.insert(changes.added[i]);
            m_edited.append({changes.added[i], changes.addedAt.value(i, -1)});
        }
        for (qsizetype i = 0; i < changes.changed.size(); ++i)
            m_edited.append({changes.changed[i], changes.changedAt.value(i, -1)});
    });
    connect(&m_store, &LibraryStore::itemsChanged, this, [this] {
        m_section.reset();
        m_shown.reset();
        if (!m_editSeen)
            invalidateVisible();
        m_editSeen = false;
        emit visibleChanged();
    });
    connect(&m_store, &LibraryStore::collectionsChanged, this, libraryChanged);
    connect(&m_store, &LibraryStore::smartFoldersChanged, this, libraryChanged);
    connect(&m_store, &LibraryStore::loadedChanged, this, libraryChanged);
    // A shown collection or smart folder that goes away by any road (the
    // sidebar, a reload from another machine, a share that ended) hands the
    // window to the Inbox.
    connect(&m_store, &LibraryStore::collectionsChanged, this, &AppState::leaveMissingSection);
    connect(&m_store, &LibraryStore::smartFoldersChanged, this, &AppState::leaveMissingSection);
    connect(&m_store, &LibraryStore::loadedChanged, this, &AppState::leaveMissingSection);
    advertise();
}

AppState::~AppState() = default;

void AppState::setHooks(Hooks hooks)
{
    m_hooks = std::move(hooks);
    m_section.reset();
    m_shown.reset();
    invalidateVisible();
    emit visibleChanged();
}

bool AppState::inspectorVisible() const { return m_settings.boolean(kInspectorVisible, false); }

QString AppState::sort() const { return m_settings.string(kSortOrder, QStringLiteral("newest")); }

double AppState::sidebarWidth() const
{
    const double fallback = sidebarWidthDefault(environmentValue("VELLORA_SIDEBAR_WIDTH"));
    const QVariant stored = m_settings.value(kSidebarWidth);
    if (!stored.isValid())
        return fallback;
    bool ok = false;
    const double width = stored.toDouble(&ok);
    return ok && std::isfinite(width) && width > 0 ? width : fallback;
}

void AppState::setSelection(const QString &selection)
{
    if (selection == m_selection)
        return;
    m_selection = selection;
    m_section.reset();
    m_shown.reset();
    invalidateVisible();
    m_settings.set(kLastBoard, selection);
    setSimilarTo(std::nullopt);
    if (sort() == QLatin1String("opened") && selection != QLatin1String("links"))
        setSort(QStringLiteral("newest"));
    emit selectionChanged(selection);
    emit visibleChanged();
    advertise();
}

void AppState::leaveMissingSection()
{
    // While a library is loading (or being switched) its lists are empty:
    // that is no deletion.
    if (!m_store.loaded() || m_store.collections().isEmpty())
        return;
    for (const BuiltInSection &section : builtInSections())
        if (section.id == m_selection)
            return;
    if (m_store.collection(m_selection))
        return;
    for (const SmartFolder &folder : m_store.smartFolders())
        if (folder.id == m_selection)
            return;
    setSelection(QStringLiteral("inbox"));
}

void AppState::setRenaming(const std::optional<QString> &id)
{
    if (id == m_renaming)
        return;
    m_renaming = id;
    emit renamingChanged();
}

void AppState::setDraft(const QString &draft)
{
    if (draft == m_draft)
        return;
    m_draft = draft;
    emit draftChanged();
}

void AppState::setOpenedId(const std::optional<QString> &id)
{
    if (id == m_openedId)
        return;
    m_openedId = id;
    emit openedIdChanged();
    advertise();
}

void AppState::setSelectedIds(const QStringList &ids)
{
    if (ids == m_selectedIds)
        return;
    m_selectedIds = ids;
    emit selectedIdsChanged();
}

void AppState::setInspectorVisible(bool visible)
{
    if (visible == inspectorVisible() && m_settings.hasExplicitValue(kInspectorVisible))
        return;
    m_settings.set(kInspectorVisible, visible);
    emit inspectorVisibleChanged(visible);
}

void AppState::setSort(const QString &sort)
{
    if (sort == this->sort() && m_settings.hasExplicitValue(kSortOrder))
        return;
    m_settings.set(kSortOrder, sort);
    invalidateVisible();
    emit sortChanged(sort);
    emit visibleChanged();
}

void AppState::setSearching(bool searching)
{
    if (searching == m_searching)
        return;
    m_searching = searching;
    // The texts are folded while the person starts to type.
    if (searching) {
        if (!m_section)
            m_section = m_hooks.sectionItems ? m_hooks.sectionItems(m_store, m_selection) : QList<Item>();
        prepareSearchKeys();
    }
    emit searchingChanged(searching);
}

bool AppState::prepareSearchKeys()
{
    // Below this a section folds within a frame or two where it is searched.
    constexpr qsizetype kFoldAheadFrom = 2000;
    if (!m_section || m_section->size() < kFoldAheadFrom || m_searchKeys.joined(*m_section))
        return false;
    if (m_preparing && m_preparing->isSharedWith(*m_section))
        return true;
    m_preparing = *m_section;
    std::shared_ptr<SearchKeyCache::Prepared> prepared = m_searchKeys.preparation(*m_section, sort());
    std::weak_ptr<int> alive = m_alive;
    QThreadPool::globalInstance()->start([this, alive, prepared] {
        SearchKeyCache::prepare(*prepared);
        QMetaObject::invokeMethod(QCoreApplication::instance(), [this, alive, prepared] {
            if (!alive.lock())
                return;
            m_preparing.reset();
            if (m_section)
                m_searchKeys.adopt(prepared, *m_section);
            // A search that waited for the texts goes on (when another
            // section came meanwhile, its texts now join quickly).
            if (m_pending && m_pending->forKeys) {
                m_pending.reset();
                emit visibleChanged();
            }
        }, Qt::QueuedConnection);
    });
    return true;
}

void AppState::setHueFilter(const std::optional<double> &hue)
{
    if (hue == m_hueFilter)
        return;
    m_hueFilter = hue;
    invalidateVisible();
    emit hueFilterChanged();
    emit visibleChanged();
}

void AppState::setSimilarTo(const std::optional<QString> &id)
{
    if (id == m_similarTo)
        return;
    m_similarTo = id;
    invalidateVisible();
    emit similarToChanged();
    emit visibleChanged();
}

void AppState::setAddingLink(bool adding)
{
    if (adding == m_addingLink)
        return;
    m_addingLink = adding;
    emit addingLinkChanged(adding);
}

void AppState::setEditingSmart(const std::optional<SmartFolder> &folder)
{
    if (folder == m_editingSmart)
        return;
    m_editingSmart = folder;
    emit editingSmartChanged();
}

void AppState::setSidebarWidth(double width)
{
    if (!std::isfinite(width) || width <= 0)
        return;
    m_settings.set(kSidebarWidth, width);
    emit sidebarWidthChanged();
}

void AppState::setRenameFocused(bool focused)
{
    if (focused == m_renameFocused)
        return;
    m_renameFocused = focused;
    // Leaving the rename field commits what was typed; entering it does nothing.
    if (!focused)
        commitRename();
}

QString AppState::selectionTitle() const
{
    return vellora::selectionTitle(m_selection, m_store.collections(), m_store.smartFolders());
}

VisibleFilter AppState::currentFilter(std::shared_ptr<DistanceTable> &table) const
{
    VisibleFilter filter;
    filter.query = m_search->query();
    filter.ranked = m_search->ranked();
    filter.hueFilter = m_hueFilter;
    if (m_similarTo) {
        table = std::make_shared<DistanceTable>(m_hooks.distances ? m_hooks.distances(*m_similarTo) : DistanceTable());
        filter.similar = [table](const QString &id) { return table->value(id); };
    }
    filter.sort = sort();
    return filter;
}

QList<Item> AppState::visibleItems()
{
    if (!m_section)
        m_section = m_hooks.sectionItems ? m_hooks.sectionItems(m_store, m_selection) : QList<Item>();
    std::shared_ptr<DistanceTable> table;
    return filteredSortedItems(*m_section, currentFilter(table), &m_searchKeys);
}

void AppState::invalidateVisible()
{
    m_listValid = false;
    m_edited.clear();
    m_storeIds.clear();
}

std::optional<AppState::VisibleUpdate> AppState::shownChange()
{
    if (!m_section || !m_shown || m_similarTo || sort() != m_shownSort) {
        m_pending.reset();
        return std::nullopt;
    }
    std::shared_ptr<DistanceTable> table;
    const VisibleFilter filter = currentFilter(table);
    if (filter.ranked && !filter.ranked->isEmpty())
        return std::nullopt;
    QList<qsizetype> now;
    const bool large = !filter.query.isEmpty() && m_section->size() >= m_backgroundFrom;
    const auto pendingFor = [&](const PendingSearch &p) {
        return p.query == filter.query && p.hue == filter.hueFilter && p.sort == filter.sort &&
               p.section == m_section->constData();
    };
    if (large && m_pending && pendingFor(*m_pending)) {
        if (!m_pending->ready)
            return VisibleUpdate(); // the answer is on its way
        now = std::move(m_pending->order);
        m_pending.reset();
    } else if (SectionSearch search; large && (search = m_searchKeys.snapshot(*m_section, filter.sort)).valid()) {
        const quint64 generation = ++m_searchGeneration;
        m_pending = PendingSearch{generation, filter.query, filter.hueFilter, filter.sort, m_section->constData(), false, {}};
        std::weak_ptr<int> alive = m_alive;
        QThreadPool::globalInstance()->start([this, alive, generation, search = std::move(search),
                                              query = filter.query, hue = filter.hueFilter] {
            QList<qsizetype> order = search.order(query, hue);
            QMetaObject::invokeMethod(QCoreApplication::instance(), [this, alive, generation, order = std::move(order)] {
                // A newer text or another section took over meanwhile.
                if (!alive.lock() || !m_pending || m_pending->generation != generation)
                    return;
                m_pending->order = order;
                m_pending->ready = true;
                emit visibleChanged();
            }, Qt::QueuedConnection);
        });
        return VisibleUpdate();
    } else if (!filter.query.isEmpty() && !m_searchKeys.folded(*m_section)
               && (large ? prepareSearchKeys() : m_preparing && m_preparing->isSharedWith(*m_section))) {
        // The first search of a large section (or of one whose texts are
        // being folded already): the search follows the folding on another
        // thread; the field never waits.
        m_pending = PendingSearch{++m_searchGeneration, filter.query, filter.hueFilter, filter.sort,
                                  m_section->constData(), false, {}, true};
        return VisibleUpdate();
    } else {
        m_pending.reset();
        now = visibleOrder(*m_section, filter, &m_searchKeys);
    }
    // Both lists follow the section's sort order: one walk along it finds
    // what left and what came.
    VisibleUpdate update;
    update.shownChange = true;
    update.section = *m_section;
    const QList<qsizetype> &before = *m_shown;
    qsizetype b = 0, n = 0, rank = 0;
    for (qsizetype at : m_searchKeys.sorted(*m_section, filter.sort)) {
        const bool wasShown = b < before.size() && before[b] == at;
        const bool isShown = n < now.size() && now[n] == at;
        if (wasShown && !isShown) {
            update.removed.push_back(size_t(b));
            update.removedRanks.push_back(rank);
        } else if (isShown && !wasShown) {
            update.inserted.append({n, at});
            update.insertedRanks.push_back(rank);
        }
        b += wasShown ? 1 : 0;
        n += isShown ? 1 : 0;
        ++rank;
    }
    if (b != before.size() || n != now.size())
        return std::nullopt; // not one order after all: start over
    m_shown = now;
    m_visibleCount = now.size();
    return update;
}

AppState::VisibleUpdate AppState::updateVisible()
{
    // More records than this in one turn (an import) cost less computed afresh.
    constexpr qsizetype kMostEdited = 64;
    if (m_listValid && m_edited.size() <= kMostEdited) {
        VisibleUpdate update;
        if (m_edited.isEmpty())
            return update;
        // The records now behind the edited ids, the latest place of each id.
        const QList<Item> &items = m_store.items();
        QStringList ids;
        QHash<QString, qsizetype> latest;
        for (const auto &[id, at] : std::as_const(m_edited)) {
            if (!latest.contains(id))
                ids.append(id);
            latest.insert(id, at);
        }
        QList<std::pair<qsizetype, Item>> records;
        bool found = true;
        for (const QString &id : std::as_const(ids)) {
            const qsizetype at = latest.value(id);
            if (at < 0)
                continue;
            found = found && at < items.size() && items[at].id == id;
            if (found)
                records.append({at, items[at]});
        }
        m_edited.clear();
        if (found) {
            update.diff = m_list.update(ids, records, m_member, &m_searchKeys);
            m_visibleCount = m_list.size();
            return update;
        }
    }

    if (!m_listValid) {
        if (std::optional<VisibleUpdate> change = shownChange())
            return std::move(*change);
    }

    VisibleUpdate update;
    update.reset = true;
    if (!m_section)
        m_section = m_hooks.sectionItems ? m_hooks.sectionItems(m_store, m_selection) : QList<Item>();
    {
        std::shared_ptr<DistanceTable> table;
        const VisibleFilter filter = currentFilter(table);
        QList<qsizetype> order = visibleOrder(*m_section, filter, &m_searchKeys);
        const bool plain = !(filter.ranked && !filter.ranked->isEmpty()) && !filter.similar;
        // The next change of the search text or colour goes by position.
        m_shown.reset();
        if (plain) {
            m_shown = order;
            m_shownSort = filter.sort;
        }
        m_visibleCount = order.size();
        // The records stay in the section; the views read them from there.
        update.section = *m_section;
        update.order = std::move(order);
    }
    m_edited.clear();
    // Records by id are only certain while no two share an id, and distances
    // to an item are fetched afresh each time.
    m_listValid = bool(m_hooks.sectionMember) && !m_similarTo;
    QHash<QString, qsizetype> positions;
    if (m_listValid) {
        const QList<Item> &items = m_store.items();
        positions.reserve(items.size());
        for (qsizetype i = 0; i < items.size() && m_listValid; ++i) {
            const qsizetype before = positions.size();
            positions.insert(items[i].id, i);
            m_listValid = positions.size() != before;
        }
    }
    QList<qsizetype> at;
    at.reserve(update.order.size());
    // Read through a const view: indexing the shared list must not copy it.
    const QList<Item> &section = update.section;
    for (qsizetype i : std::as_const(update.order))
        at.append(positions.value(section[i].id));
    std::shared_ptr<DistanceTable> table;
    m_list.reset(update.section, update.order, at, currentFilter(table), m_selection == QLatin1String("trash"));
    m_member = m_listValid ? m_hooks.sectionMember(m_store, m_selection) : std::function<bool(const Item &)>();
    m_storeIds.clear();
    if (m_listValid) {
        m_storeIds.reserve(positions.size());
        for (auto it = positions.cbegin(); it != positions.cend(); ++it)
            m_storeIds.insert(it.key());
    }
    return update;
}

std::optional<double> AppState::shownCollectionCreated() const
{
    const QList<Board> &collections = m_store.collections();
    if (m_selection == QLatin1String("inbox"))
        return collections.isEmpty() ? std::nullopt : std::optional<double>(collections.first().dateCreated);
    for (const Board &board : collections)
        if (board.id == m_selection)
            return board.dateCreated;
    return std::nullopt;
}

std::optional<SmartFolder> AppState::shownSmartFolder() const
{
    for (const SmartFolder &folder : m_store.smartFolders())
        if (folder.id == m_selection)
            return folder;
    return std::nullopt;
}

QStringList AppState::pickedIds() const
{
    return m_openedId ? QStringList{*m_openedId} : m_selectedIds;
}

void AppState::newBoard()
{
    const QString id = m_store.createCollection(tr("Untitled board"));
    setSelection(id);
    startRename(id);
}

QString AppState::sectionBoardId() const
{
    return m_hooks.resolveBoardId ? m_hooks.resolveBoardId(m_store, m_selection) : m_store.defaultBoardId();
}

void AppState::importFiles(const QStringList &files)
{
    if (files.isEmpty())
        return;
    const QString board = sectionBoardId();
    if (m_hooks.importFiles)
        m_hooks.importFiles(m_store, files, board);
    else
        vellora::importFiles(m_store, files, board);
}

void AppState::newSmartFolder()
{
    SmartFolder folder;
    folder.id = newUUIDString();
    folder.match = QStringLiteral("all");
    setEditingSmart(folder);
}

void AppState::editSmartFolder(const SmartFolder &folder) { setEditingSmart(folder); }

void AppState::toggleSidebar()
{
    m_showSidebar = !m_showSidebar;
    emit showSidebarChanged(m_showSidebar);
}

void AppState::toggleInspector() { setInspectorVisible(!inspectorVisible()); }

void AppState::toggleSearch()
{
    setSearching(!m_searching);
    if (m_searching) {
        // The field takes the focus once it exists: on a later turn.
        QPointer<AppState> self(this);
        QTimer::singleShot(0, this, [self] {
            if (self)
                emit self->searchFocusRequested();
        });
    } else if (!m_search->query().isEmpty()) {
        m_search->setQuery(QString());
    }
}

void AppState::showNext() { m_grid.showNext(); }
void AppState::showPrevious() { m_grid.showPrevious(); }

void AppState::startRename(const QString &collectionId)
{
    QString name;
    for (const Board &board : m_store.collections()) {
        if (board.id == collectionId) {
            name = board.name;
            break;
        }
    }
    setDraft(name);
    setRenaming(collectionId);
    QPointer<AppState> self(this);
    QTimer::singleShot(0, this, [self] {
        if (self) {
            self->m_renameFocused = true;
            emit self->renameFocusRequested();
        }
    });
}

void AppState::commitRename()
{
    if (!m_renaming)
        return;
    // An empty field cancels: the old name stays.
    if (!m_draft.isEmpty())
        m_store.renameCollection(*m_renaming, m_draft);
    setRenaming(std::nullopt);
}

void AppState::openItem(const QString &id)
{
    if (!m_store.item(id))
        return;
    for (const Item &item : visibleItems()) {
        if (item.id == id) {
            m_grid.open(id);
            return;
        }
    }
    setSelection(QStringLiteral("all"));
    if (!m_search->query().isEmpty())
        m_search->setQuery(QString());
    setHueFilter(std::nullopt);
    setSimilarTo(std::nullopt);
    m_grid.open(id);
}

void AppState::addLinkToDefault(const QString &url) { addLinkTo(url, m_store.defaultBoardId()); }

void AppState::addLinkToSection(const QString &url) { addLinkTo(url, sectionBoardId()); }

void AppState::addLinkTo(const QString &url, const QString &board)
{
    if (m_hooks.addLink) {
        m_hooks.addLink(m_store, url, board);
        return;
    }
    const QString id = addLink(m_store, url, board);
    fetchLinkMetadata(m_store, id);
}

void AppState::clearGridSelection() { m_grid.select({}); }

void AppState::handleOpenURL(const QString &address)
{
    const std::optional<DeepLink> link = parseDeepLink(address);
    if (!link)
        return;
    switch (link->kind) {
    case DeepLink::Kind::Item:
        openItem(link->id);
        return;
    case DeepLink::Kind::Board:
        setSelection(link->id);
        return;
    case DeepLink::Kind::Add: {
        const std::optional<QString> url = link->url ? normalizedLinkURL(*link->url) : std::nullopt;
        if (!url) {
            setAddingLink(true);
            return;
        }
        // Added on a later turn, as the window's own task.
        QPointer<AppState> self(this);
        const QString target = *url;
        QTimer::singleShot(0, this, [self, target] {
            if (self)
                self->addLinkToDefault(target);
        });
        return;
    }
    case DeepLink::Kind::Search: {
        // The desktop's search hands its words over: the field opens with them.
        const QString words = link->url.value_or(QString()).simplified();
        if (!m_searching)
            toggleSearch();
        else
            emit searchFocusRequested();
        m_search->setQuery(words);
        return;
    }
    }
}

void AppState::openAddresses(const QStringList &addresses)
{
    QStringList files;
    QStringList links;
    for (const QString &address : addresses) {
        if (address.startsWith(QLatin1String("vellora:"))) {
            handleOpenURL(address);
            continue;
        }
        const QUrl url(address);
        if (url.isLocalFile())
            files << url.toLocalFile();
        else if (const auto link = normalizedLinkURL(address); link && !url.isRelative())
            links << *link;
    }
    if (files.isEmpty() && links.isEmpty())
        return;
    addOnceLoaded(files, links);
}

void AppState::addOnceLoaded(const QStringList &files, const QStringList &links)
{
    QPointer<AppState> self(this);
    m_store.waitUntilLoaded([self, files, links](bool loaded) {
        if (!self)
            return;
        if (!loaded) {
            self->keepUntilLoaded(files, links);
            return;
        }
        self->importFiles(files);
        for (const QString &link : links)
            self->addLinkToSection(link);
    });
}

void AppState::keepUntilLoaded(const QStringList &files, const QStringList &links)
{
    // Held in memory they would be gone with a quit before the library is
    // repaired: the drops folder keeps them across it, and its scan after
    // the next good load imports them.
    QPointer<AppState> self(this);
    keepAsDrops(m_store, files, links, this, [self, files, links](const UnkeptDrops &unkept) {
        if (!self)
            return;
        for (const QString &reason : unkept.reasons)
            qCWarning(lcVellora).noquote() << "not kept for later:" << reason;
        const qsizetype kept = files.size() + links.size() - unkept.files.size() - unkept.links.size();
        qCInfo(lcVellora, "the library could not be read: %ld files and links wait in the drops folder, %ld here, until it loads",
               long(kept), long(unkept.files.size() + unkept.links.size()));
        // Waits through loads that fail again; gone with the first good one.
        auto *waiting = new QObject(self.data());
        auto taken = std::make_shared<bool>(false);
        connect(&self->m_store, &LibraryStore::loadedChanged, waiting, [self, waiting, taken, unkept, kept] {
            if (!self || !self->m_store.loaded() || *taken)
                return;
            *taken = true;
            waiting->deleteLater();
            if (kept > 0 && self->m_store.importing() == 0)
                startDropsScan(self->m_store);
            self->importFiles(unkept.files);
            for (const QString &link : unkept.links)
                self->addLinkToSection(link);
        });
    });
}

void AppState::selectSectionNamed(const QString &name)
{
    if (const auto id = sectionNamed(name, m_store.smartFolders(), m_store.collections()))
        setSelection(*id);
}

HandoffActivity AppState::currentActivity() const
{
    if (m_openedId)
        return {QString::fromLatin1(kItemActivity), QStringLiteral("itemID"), *m_openedId};
    return {QString::fromLatin1(kBoardActivity), QStringLiteral("boardID"), m_selection};
}

void AppState::advertise()
{
    const HandoffActivity activity = currentActivity();
    if (m_advertised == activity)
        return;
    m_advertised = activity;
    qCInfo(lcHandoff).noquote() << "handoff current:" << activity.type << activity.value;
    emit handoffChanged(activity);
}

void AppState::continueActivity(const QString &type, const QVariantMap &userInfo)
{
    if (type == QLatin1String(kBoardActivity)) {
        const QVariant value = userInfo.value(QStringLiteral("boardID"));
        if (value.typeId() == QMetaType::QString)
            setSelection(value.toString());
    } else if (type == QLatin1String(kItemActivity)) {
        const QVariant value = userInfo.value(QStringLiteral("itemID"));
        if (value.typeId() == QMetaType::QString)
            openItem(value.toString());
    }
}

AppState::Hooks windowHooks(Analyzer *analyzer)
{
    AppState::Hooks hooks;
    hooks.sectionItems = [](const LibraryStore &store, const QString &section) { return itemsInCollection(store, section); };
    hooks.sectionMember = [](const LibraryStore &store, const QString &section) { return sectionMembership(store, section); };
    hooks.resolveBoardId = [](const LibraryStore &store, const QString &section) { return resolveBoardId(store, section); };
    if (analyzer) {
        QPointer<Analyzer> guard(analyzer);
        hooks.distances = [guard](const QString &id) { return guard ? guard->distances(id) : DistanceTable(); };
    }
    return hooks;
}

} // namespace vellora
