#include "GridScreen.h"

#include "Glass.h"

#include "Background.h"
#include "CollectionContents.h"
#include "LiveText.h"
#include "QuickLook.h"
#include "ShareMenu.h"
#include "StageOverlay.h"
#include "WindowBackground.h"

#include "enrichment/LinkCover.h"
#include "enrichment/LinkPipeline.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "library/LinkParser.h"
#include "library/Media.h"
#include "library/SafeNames.h"
#include "platform/ImageIO.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMimeDatabase>
#include <QMutex>
#include <QPainter>
#include <QPainterPath>
#include <QUuid>
#include <QScrollBar>
#include <QThreadPool>
#include <QVBoxLayout>

#include <cmath>
#include <mutex>
#include <numeric>

namespace vellora {

namespace {
constexpr double kIconPixels = 32;

// What the decode threads need to know of one shown item.
struct ContentEntry {
    QString storedFilename;
    QString title;
    QString host;
    QString faviconFilename;
    bool link = false;
};

ContentEntry contentEntry(const Item &item);

// The shown items' records, looked up by id by the decode threads. The
// window hands over whole lists (shared, not copied); the first decode thread
// that needs one indexes it, once, so that the window never waits for it.
struct ShownRecords {
    explicit ShownRecords(QList<Item> list) : items(std::move(list)) {}
    const Item *find(const QString &id)
    {
        std::call_once(indexed, [this] {
            where.reserve(items.size());
            for (qsizetype i = 0; i < items.size(); ++i)
                where.insert(items[i].id, i);
        });
        const auto it = where.constFind(id);
        return it == where.constEnd() ? nullptr : &items[*it];
    }
    const QList<Item> items;
    std::once_flag indexed;
    QHash<QString, qsizetype> where;
};

struct ContentIndex {
    QString root;
    // Records edited since the list was handed over; they win over it.
    QHash<QString, ContentEntry> entries;
    QSet<QString> gone;
    std::shared_ptr<ShownRecords> shown;
};

QImage linkCover(const QString &root, const ContentEntry &entry)
{
    std::optional<QImage> icon;
    if (!entry.faviconFilename.isEmpty()) {
        const QString path = faviconPath(root, entry.faviconFilename);
        if (!path.isEmpty()) {
            QImage image = downsampledImage(path, 128);
            if (!image.isNull())
                icon = image;
        }
    }
    const auto cover = renderLinkCover(entry.title, entry.host, icon);
    return cover ? *cover : QImage();
}

// The round "i" button shown over the hovered tile; presses beside it fall
// through to the grid.
class HoverInfo : public QWidget {
public:
    explicit HoverInfo(std::function<void()> open) : m_open(std::move(open))
    {
        setAttribute(Qt::WA_NoSystemBackground);
        setMouseTracking(true);
    }

protected:
    QRectF button() const { return QRectF(width() - 34, 8, 26, 26); }
    void paintEvent(QPaintEvent *) override
    {
        if (width() < 60 || height() < 48)
            return;
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = button();
        p.setPen(QPen(QColor(255, 255, 255, 110), 1));
        p.setBrush(QColor(0, 0, 0, m_hover ? 200 : 150));
        p.drawEllipse(r);
        QFont font = p.font();
        font.setPixelSize(14);
        font.setBold(true);
        font.setItalic(true);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(r, Qt::AlignCenter, QStringLiteral("i"));
    }
    void mouseMoveEvent(QMouseEvent *event) override
    {
        const bool hover = button().contains(event->position());
        if (hover != m_hover) {
            m_hover = hover;
            setCursor(hover ? Qt::PointingHandCursor : Qt::ArrowCursor);
            update();
        }
        event->ignore();
    }
    void mousePressEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton && button().contains(event->position())) {
            event->accept();
            return;
        }
        event->ignore();
    }
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton && button().contains(event->position())) {
            event->accept();
            if (m_open)
                m_open();
            return;
        }
        event->ignore();
    }

private:
    std::function<void()> m_open;
    bool m_hover = false;
};
} // namespace

struct GridScreen::ContentState {
    QMutex lock;
    std::shared_ptr<ContentIndex> index = std::make_shared<ContentIndex>();

    // A copy of one entry, so that the main thread may change the index
    // while a decode thread works from what it read.
    std::optional<ContentEntry> entry(const QString &id, QString *root)
    {
        std::shared_ptr<ShownRecords> shown;
        {
            QMutexLocker locker(&lock);
            *root = index->root;
            const auto it = index->entries.constFind(id);
            if (it != index->entries.constEnd())
                return *it;
            if (index->gone.contains(id))
                return std::nullopt;
            shown = index->shown;
        }
        if (const Item *item = shown ? shown->find(id) : nullptr)
            return contentEntry(*item);
        return std::nullopt;
    }
    void replace(std::shared_ptr<ContentIndex> next)
    {
        QMutexLocker locker(&lock);
        index = std::move(next);
    }
    void edit(const std::function<void(ContentIndex &)> &change)
    {
        QMutexLocker locker(&lock);
        change(*index);
    }
};

namespace {
ContentEntry contentEntry(const Item &item)
{
    ContentEntry entry;
    entry.storedFilename = item.storedFilename;
    entry.link = item.kind == QLatin1String("link");
    entry.title = item.title.value_or(QString());
    entry.host = item.host();
    entry.faviconFilename = item.faviconFilename.value_or(QString());
    return entry;
}
} // namespace

// A file name without its folder and its last extension, as the tile's title.
QString fileBaseName(const QString &name)
{
    const QStringView file = QStringView(name).mid(name.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype dot = file.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 && file.size() == name.size())
        return name;
    return (dot < 0 ? file : file.left(dot)).toString();
}

GridScreen::GridScreen(LibraryStore &store, zezevaveri::ScatterGridController *controller, QWidget *parent)
    : QWidget(parent), m_store(store), m_controller(controller), m_content(std::make_shared<ContentState>())
{
    if (!m_controller)
        m_controller = new zezevaveri::ScatterGridController(this);

    m_view = m_bridge.makeView(this);
    m_coordinator = m_bridge.makeCoordinator();
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    darkenScrollBar(m_view->verticalScrollBar());
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, windowBackground());
    setPalette(palette);

    m_stage = new StageOverlay(m_view);
    m_stage->hide();
    m_quickLook = new QuickLook(this);

    // The decode threads read the index of the items shown; the window
    // replaces it on the main thread.
    std::weak_ptr<ContentState> content = m_content;
    const QPointer<GridScreen> self(this);
    m_bridge.content = [content, self](const QString &id, double pixels, bool fullResolution) -> QImage {
        const auto state = content.lock();
        if (!state)
            return {};
        QString root;
        const std::optional<ContentEntry> entry = state->entry(id, &root);
        if (!entry)
            return {};
        const double size = pixels > 0 ? pixels : kThumbnailPixelSize;
        if (fullResolution) {
            // Originals are written whole and renamed into place, so a plain
            // read sees all of one or nothing.
            const QString path = originalPath(root, entry->storedFilename);
            if (!path.isEmpty()) {
                QImage image = downsampledImage(path, size);
                if (!image.isNull())
                    return image;
            }
        }
        // The id becomes part of a path only as one plain component.
        if (isSafePathComponent(id)) {
            const QString thumbnail = thumbnailPath(root, id + QStringLiteral(".jpg"));
            QImage image = downsampledImage(thumbnail, size);
            if (!image.isNull())
                return image;
            if (!entry->link && !QFileInfo::exists(thumbnail)) {
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [self, id] {
                        if (self && self->fileMissing)
                            self->fileMissing(id);
                    },
                    Qt::QueuedConnection);
            }
        }
        if (entry->link) {
            QImage cover = linkCover(root, *entry);
            if (!cover.isNull() && std::max(cover.width(), cover.height()) > size)
                cover = cover.scaled(QSize(int(size), int(size)), Qt::KeepAspectRatio, Qt::SmoothTransformation);
            return cover;
        }
        return {};
    };
    m_bridge.config = zezevaveri::ScatterConfig();
    m_bridge.onActivate = [this](const QString &id) {
        if (const auto item = m_store.item(id))
            openLink(m_store, *item);
    };
    m_bridge.onOpen = [this](const std::optional<QString> &id) { handleOpen(id); };
    m_bridge.onSelect = [this](const QStringList &ids) { handleSelect(ids); };
    m_bridge.onDelete = [this](const QString &id) { deleteItems(targetsFor(id)); };
    m_bridge.onDropURLs = [this](const QList<QUrl> &urls) {
        importURLs(urls, m_store, resolveBoardId(m_store, m_collectionId));
    };
    m_bridge.onPaste = [this] { paste(); };
    m_bridge.onKey = [this](QKeyEvent *event, const std::optional<QString> &id) { return handleKey(event, id); };
    m_bridge.tileMenu = [this](const QString &id) { return tileMenu(id, m_view); };
    m_bridge.dragURL = [this](const QString &id) { return exportURL(m_store, id).value_or(QUrl()); };
    m_bridge.dragData = [this](const QString &id) { return dragData(id); };
    m_bridge.stageOverlay = m_stage;
    m_bridge.tileIcon = [this](const QString &id) { return m_icons.value(id); };
    m_bridge.hoverOverlay = [this](const zezevaveri::ScatterItem &item, std::function<void()> open) {
        return makeHoverOverlay(item, std::move(open));
    };
    m_bridge.controller = m_controller;
    m_bridge.glideKey = glideKey();
    m_coordinator.glideKey = m_bridge.glideKey;

    connect(&m_store, &LibraryStore::rootChanged, this, [this] {
        m_icons.clear();
        m_iconsAsked.clear();
    });
    refresh();
}

GridScreen::~GridScreen()
{
    // The decode threads may still hold the index; they find it empty.
    m_content->replace(std::make_shared<ContentIndex>());
}


LiveText *GridScreen::liveText() const { return m_stage->liveText(); }

zezevaveri::ScatterItem GridScreen::scatterItem(const Item &item, bool waitingForCloud)
{
    zezevaveri::ScatterItem tile;
    tile.id = item.id;
    tile.aspect = double(item.pixelWidth) / double(std::max<qint64>(item.pixelHeight, 1));
    tile.title = item.title ? *item.title : fileBaseName(item.originalFilename);
    tile.subtitle = QString();
    tile.revision = item.snapshotDate ? int(std::floor(*item.snapshotDate)) : 0;
    const bool link = item.kind == QLatin1String("link");
    tile.loading = (link && !item.snapshotDate) || waitingForCloud;
    tile.external = link;
    return tile;
}

zezevaveri::ScatterItem GridScreen::tileFor(const Item &item)
{
    const bool waiting = waitingForCloud && waitingForCloud(item.id);
    if (waiting)
        m_waitingShown.insert(item.id);
    else
        m_waitingShown.remove(item.id);
    return scatterItem(item, waiting);
}

void GridScreen::refreshWaiting()
{
    const std::vector<zezevaveri::ScatterItem> &tiles = m_view->engine().items();
    QStringList removed;
    std::vector<std::pair<size_t, zezevaveri::ScatterItem>> replaced;
    for (size_t at = 0; at < tiles.size(); ++at) {
        const QString &id = tiles[at].id;
        const bool waiting = waitingForCloud && waitingForCloud(id);
        if (waiting == m_waitingShown.contains(id))
            continue;
        if (const auto item = m_store.item(id)) {
            removed << id;
            replaced.push_back({at, tileFor(*item)});
        }
    }
    if (removed.isEmpty())
        return;
    m_view->applyChanges(removed, replaced);
    m_bridgeStale = true;
}

QString GridScreen::glideKey() const
{
    return m_collectionId + (m_inspector ? QStringLiteral("true") : QStringLiteral("false"));
}

void GridScreen::setCollectionId(const QString &id)
{
    if (id == m_collectionId)
        return;
    m_collectionId = id;
    refresh();
}

void GridScreen::setInspector(bool shown)
{
    if (shown == m_inspector)
        return;
    m_inspector = shown;
    refresh();
}

void GridScreen::setHeader(QWidget *header)
{
    m_bridge.header = header;
    if (!header && m_view->headerView())
        m_view->setHeaderView(nullptr);
    refresh();
}

void GridScreen::setVisibleItems(const QList<Item> &items)
{
    QList<qsizetype> order(items.size());
    std::iota(order.begin(), order.end(), qsizetype(0));
    setVisibleItems(items, order);
    m_visible = items;
    m_visibleStale = false;
}

void GridScreen::setVisibleItems(const QList<Item> &section, const QList<qsizetype> &order)
{
    // Made again from the tiles when asked for.
    m_visibleStale = true;
    m_sectionTiles.clear();
    auto index = std::make_shared<ContentIndex>();
    index->root = m_store.root();
    index->shown = std::make_shared<ShownRecords>(section);
    m_content->replace(std::move(index));
    QList<zezevaveri::ScatterItem> tiles;
    // Room for items added one by one later.
    tiles.reserve(order.size() + order.size() / 4 + 64);
    m_waitingShown.clear();
    QList<Item> links;
    for (qsizetype at : order) {
        const Item &item = section[at];
        tiles.append(tileFor(item));
        if (tiles.last().external)
            links.append(item);
    }
    keepShown([&](const std::function<void(const QString &)> &stays) {
        for (const zezevaveri::ScatterItem &tile : std::as_const(tiles))
            stays(tile.id);
    });
    m_bridge.items = std::move(tiles);
    m_bridgeStale = false;
    refresh();
    loadIcons(links);
    prepareRoom(section);
}

void GridScreen::prepareRoom(const QList<Item> &section)
{
    const size_t n = size_t(section.size());
    if (m_roomFor == section.constData())
        return; // on its way
    // Room being made for another section is not taken any more.
    m_roomFor = nullptr;
    if (section.size() < m_roomAheadFrom)
        return;
    const size_t engineRoom = n + n / 4 + 64;
    if (m_sectionTiles.capacity() >= n && m_leaving.capacity() >= n && m_entering.capacity() >= n &&
        m_view->engine().spareRoom() >= engineRoom)
        return;
    // The first filter of a large section (the first key typed into search)
    // would write tens of megabytes of fresh memory on the main thread, a
    // stall of several frames where page faults are slow; the lists it fills
    // are made and touched on another thread while the person looks.
    m_roomFor = section.constData();
    struct Room {
        std::vector<std::optional<zezevaveri::ScatterItem>> hidden;
        std::vector<zezevaveri::ScatterItem> leaving;
        std::vector<std::pair<size_t, zezevaveri::ScatterItem>> entering;
        zezevaveri::GridEngine::SpareRoom engine;
    };
    const QPointer<GridScreen> self(this);
    // The list is held so that its data cannot be freed and its address
    // taken by another section meanwhile.
    QThreadPool::globalInstance()->start([self, n, section] {
        auto room = std::make_shared<Room>();
        room->hidden.assign(n, std::nullopt);
        room->leaving.resize(n);
        room->leaving.clear();
        room->entering.resize(n);
        room->entering.clear();
        room->engine = zezevaveri::GridEngine::makeSpareRoom(n);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, room, of = section.constData()] {
                if (!self || self->m_roomFor != of)
                    return;
                self->m_roomFor = nullptr;
                // A change that came first made its own lists; the larger stay.
                const bool serving = self->m_sectionTilesOf == of && self->m_sectionTiles.size() == room->hidden.size();
                if (!serving && self->m_sectionTiles.capacity() < room->hidden.size()) {
                    self->m_sectionTiles = std::move(room->hidden);
                    self->m_sectionTilesOf = of;
                }
                if (self->m_leaving.capacity() < room->leaving.capacity() && self->m_leaving.empty())
                    self->m_leaving = std::move(room->leaving);
                if (self->m_entering.capacity() < room->entering.capacity() && self->m_entering.empty())
                    self->m_entering = std::move(room->entering);
                self->m_view->engine().adoptSpareRoom(std::move(room->engine));
            },
            Qt::QueuedConnection);
    });
}

void GridScreen::keepShown(const std::function<void(const std::function<void(const QString &)> &)> &shownIds)
{
    if (!m_openedId && m_selectedIds.isEmpty())
        return;
    // Only the few ids of the stage and the selection are looked for.
    QSet<QString> wanted(m_selectedIds.begin(), m_selectedIds.end());
    if (m_openedId)
        wanted.insert(*m_openedId);
    QSet<QString> shown;
    shownIds([&](const QString &id) {
        if (wanted.contains(id))
            shown.insert(id);
    });
    // An item that left the shown list (trashed, deleted, filtered away)
    // takes the stage with it: the grid never stays open on a missing tile.
    if (m_openedId && !shown.contains(*m_openedId))
        closeStage();
    // Nor does the selection keep ids that are gone: an action on it would
    // count or touch items the user no longer sees.
    QStringList kept;
    for (const QString &id : std::as_const(m_selectedIds))
        if (shown.contains(id))
            kept.append(id);
    if (kept != m_selectedIds) {
        if (m_controller)
            m_controller->select(kept);
        handleSelect(kept);
    }
}

void GridScreen::applyShownChange(const QList<Item> &section, const std::vector<size_t> &removed,
                                  const std::vector<qsizetype> &removedRanks,
                                  const QList<std::pair<qsizetype, qsizetype>> &inserted,
                                  const std::vector<qsizetype> &insertedRanks)
{
    if (removed.empty() && inserted.isEmpty())
        return;
    // What leaves takes the stage and its place in the selection with it.
    if (m_openedId || !m_selectedIds.isEmpty()) {
        QSet<QString> wanted(m_selectedIds.begin(), m_selectedIds.end());
        if (m_openedId)
            wanted.insert(*m_openedId);
        QSet<QString> leaving;
        const auto &tiles = m_view->engine().items();
        for (size_t at : removed)
            if (at < tiles.size() && wanted.contains(tiles[at].id))
                leaving.insert(tiles[at].id);
        if (m_openedId && leaving.contains(*m_openedId))
            closeStage();
        QStringList kept;
        for (const QString &id : std::as_const(m_selectedIds))
            if (!leaving.contains(id))
                kept.append(id);
        if (kept != m_selectedIds) {
            if (m_controller)
                m_controller->select(kept);
            handleSelect(kept);
        }
    }

    // The decode threads find the records in the section itself.
    const QString root = m_store.root();
    m_content->edit([&](ContentIndex &index) {
        index.root = root;
        if (!index.shown || index.shown->items.constData() != section.constData() ||
            index.shown->items.size() != section.size()) {
            index.shown = std::make_shared<ShownRecords>(section);
            index.entries.clear();
            index.gone.clear();
        }
    });
    if (m_sectionTiles.size() != size_t(section.size()) || m_sectionTilesOf != section.constData()) {
        m_sectionTiles.assign(size_t(section.size()), std::nullopt);
        m_sectionTilesOf = section.constData();
    }
    std::vector<std::pair<size_t, zezevaveri::ScatterItem>> &tiles = m_entering;
    tiles.clear();
    tiles.reserve(size_t(inserted.size()));
    QList<Item> links;
    for (qsizetype k = 0; k < inserted.size(); ++k) {
        const auto &[at, position] = inserted[k];
        // A record is read once per section: its tile then goes back and
        // forth between the grid and the store of hidden tiles.
        std::optional<zezevaveri::ScatterItem> &kept = m_sectionTiles[size_t(insertedRanks[size_t(k)])];
        zezevaveri::ScatterItem tile;
        if (kept) {
            tile = std::move(*kept);
            kept.reset();
        } else {
            tile = scatterItem(section[position], false);
        }
        // The spinner of a file on its way is told afresh each time.
        const bool waiting = waitingForCloud && waitingForCloud(tile.id);
        const bool link = tile.external;
        tile.loading = (link && !section[position].snapshotDate) || waiting;
        if (waiting)
            m_waitingShown.insert(tile.id);
        if (link)
            links.append(section[position]);
        tiles.emplace_back(size_t(at), std::move(tile));
    }
    m_view->applyPositionalChange(removed, std::move(tiles), &m_leaving);
    tiles.clear();
    for (size_t k = 0; k < m_leaving.size() && k < removedRanks.size(); ++k)
        m_sectionTiles[size_t(removedRanks[k])] = std::move(m_leaving[k]);
    m_leaving.clear();
    m_bridgeStale = true;
    m_visibleStale = true;
    loadIcons(links);
}

void GridScreen::applyVisibleChange(const QStringList &removed, const QList<std::pair<qsizetype, Item>> &inserted)
{
    if (removed.isEmpty() && inserted.isEmpty())
        return;
    QSet<QString> back;
    for (const auto &[at, item] : inserted)
        back.insert(item.id);
    const QString root = m_store.root();
    m_content->edit([&](ContentIndex &index) {
        index.root = root;
        for (const QString &id : removed) {
            if (!back.contains(id)) {
                index.entries.remove(id);
                index.gone.insert(id);
            }
        }
        for (const auto &[at, item] : inserted) {
            index.entries.insert(item.id, contentEntry(item));
            index.gone.remove(item.id);
        }
    });

    // The tiles, told by id. The description the bridge keeps is brought in
    // line with the grid only when the bridge is used again (refresh()).
    std::vector<std::pair<size_t, zezevaveri::ScatterItem>> tiles;
    tiles.reserve(size_t(inserted.size()));
    for (const auto &[at, item] : inserted)
        tiles.push_back({size_t(at), tileFor(item)});
    m_view->applyChanges(removed, tiles);
    m_bridgeStale = true;
    // The old list goes when it is made again, not in this frame.
    m_visibleStale = true;

    // What left takes the stage and its place in the selection with it.
    if (m_openedId && removed.contains(*m_openedId) && !back.contains(*m_openedId))
        closeStage();
    QStringList kept;
    for (const QString &id : std::as_const(m_selectedIds))
        if (!removed.contains(id) || back.contains(id))
            kept.append(id);
    if (kept != m_selectedIds) {
        if (m_controller)
            m_controller->select(kept);
        handleSelect(kept);
    }
    QList<Item> links;
    for (const auto &[at, item] : inserted)
        links.append(item);
    loadIcons(links);
}

const QList<Item> &GridScreen::visibleItems() const
{
    if (m_visibleStale) {
        // Made again from the tiles only when asked for.
        QHash<QString, qsizetype> where;
        const QList<Item> &all = m_store.items();
        for (qsizetype i = 0; i < all.size(); ++i)
            where.insert(all[i].id, i);
        QList<Item> items;
        items.reserve(qsizetype(m_view->engine().items().size()));
        for (const zezevaveri::ScatterItem &tile : m_view->engine().items())
            if (const auto it = where.constFind(tile.id); it != where.constEnd())
                items.append(all[*it]);
        m_visible = items;
        m_visibleStale = false;
    }
    return m_visible;
}

void GridScreen::refresh()
{
    if (m_bridgeStale) {
        m_bridge.items = m_view->items();
        m_bridgeStale = false;
    }
    m_bridge.glideKey = glideKey();
    m_bridge.update(*m_view, m_coordinator);
}

void GridScreen::loadIcons(const QList<Item> &items)
{
    QList<std::pair<QString, QString>> wanted;
    for (const Item &item : items) {
        if (item.kind != QLatin1String("link") || !item.faviconFilename || m_iconsAsked.contains(item.id))
            continue;
        const QString path = faviconPath(m_store.root(), *item.faviconFilename);
        if (path.isEmpty())
            continue;
        m_iconsAsked.insert(item.id);
        wanted.append({item.id, path});
    }
    if (wanted.isEmpty())
        return;
    views::inBackground<QHash<QString, QImage>>(
        this,
        [wanted] {
            QHash<QString, QImage> icons;
            for (const auto &[id, path] : wanted) {
                QImage image = downsampledImage(path, kIconPixels);
                if (!image.isNull())
                    icons.insert(id, image);
            }
            return icons;
        },
        [this](QHash<QString, QImage> icons) { m_icons.insert(icons); });
}

QWidget *GridScreen::makeHoverOverlay(const zezevaveri::ScatterItem &item, std::function<void()> open)
{
    Q_UNUSED(item);
    return new HoverInfo(std::move(open));
}

void GridScreen::handleOpen(const std::optional<QString> &id)
{
    m_openedId = id;
    const std::optional<Item> item = id ? m_store.item(*id) : std::nullopt;
    m_stage->setItem(item, &m_store);
    m_stage->liveText()->analyze(id, item ? originalPath(m_store.root(), item->storedFilename) : QString());
    emit openedIdChanged(id.value_or(QString()));
}

void GridScreen::handleSelect(const QStringList &ids)
{
    if (ids == m_selectedIds)
        return;
    m_selectedIds = ids;
    emit selectedIdsChanged(ids);
}

void GridScreen::closeStage()
{
    if (m_view->engine().opened())
        m_view->close();
    if (m_openedId)
        handleOpen(std::nullopt);
}

QMimeData *GridScreen::dragData(const QString &id) const
{
    // Other programs take the export address; the sidebar takes the ids,
    // so that a drop on a collection adds the items instead of importing
    // their pictures again.
    // A selected tile takes the whole selection with it.
    QList<QUrl> urls;
    QStringList ids;
    for (const QString &target : targetsFor(id)) {
        if (const std::optional<QUrl> url = exportURL(m_store, target)) {
            urls.append(*url);
            ids.append(target);
        }
    }
    if (ids.isEmpty())
        return nullptr;
    auto *data = new QMimeData;
    data->setUrls(urls);
    data->setData(QLatin1String(kItemIdsMime), ids.join(u'\n').toUtf8());
    return data;
}

QStringList GridScreen::targetsFor(const QString &id) const
{
    return m_selectedIds.contains(id) ? m_selectedIds : QStringList{id};
}

void GridScreen::deleteItems(const QStringList &ids)
{
    if (m_collectionId == kSectionTrash) {
        if (!confirmDeletePermanently(ids, m_store, this))
            return;
        if (m_openedId && ids.contains(*m_openedId))
            closeStage();
        return;
    }
    m_store.trash(ids);
    closeStage();
    if (m_controller)
        m_controller->select({});
    handleSelect({});
}

bool GridScreen::quickLookItem(const QString &id)
{
    const std::optional<Item> item = m_store.item(id);
    if (!item)
        return false;
    const QString path = originalPath(m_store.root(), item->storedFilename);
    if (path.isEmpty())
        return false;
    m_quickLook->toggle(path);
    return true;
}

bool GridScreen::handleKey(QKeyEvent *event, const std::optional<QString> &id)
{
    const int key = event->key();
    const bool command = event->modifiers() & Qt::ControlModifier;
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && command && id) {
        const std::optional<Item> item = m_store.item(*id);
        if (item && item->kind == QLatin1String("link")) {
            openLink(m_store, *item);
            return true;
        }
        return false;
    }
    if (key == Qt::Key_Space && event->modifiers() == Qt::NoModifier && id)
        return quickLookItem(*id);
    if (key == Qt::Key_Escape && m_quickLook->isVisible()) {
        m_quickLook->hide();
        return true;
    }
    if (event->matches(QKeySequence::Copy) && m_openedId)
        return m_stage->liveText()->copySelection();
    return false;
}

QMenu *GridScreen::tileMenu(const QString &id, QWidget *parent)
{
    const QStringList targets = targetsFor(id);
    const std::optional<Item> clicked = m_store.item(id);
    auto *menu = new QMenu(parent);
    // The keys that do the same on the grid, shown beside their entries.
    auto showKey = [](QAction *action, QKeySequence key) {
        action->setShortcut(key);
        action->setShortcutVisibleInContextMenu(true);
    };
    // Entries are known by these names, whatever their wording.
    auto named = [](QAction *action, const char *name) {
        action->setObjectName(QLatin1String(name));
        return action;
    };
    showKey(named(menu->addAction(tr("Quick Look"), this, [this, id] { quickLookItem(id); }), "quickLook"),
            Qt::Key_Space);
    if (clicked && clicked->kind == QLatin1String("link")) {
        named(menu->addAction(tr("Open in Browser"), this,
                              [this, id] {
                                  if (const auto item = m_store.item(id))
                                      openLink(m_store, *item);
                              }),
              "openInBrowser");
        named(menu->addAction(tr("Refresh Snapshot"), this, [this, id] { fetchLinkMetadata(m_store, id); }),
              "refreshSnapshot");
    }
    QList<Item> shared;
    for (const QString &target : targets)
        if (const auto item = m_store.item(target))
            shared.append(*item);
    if (QMenu *share = makeShareMenu(m_store, shared, menu))
        named(menu->addMenu(share), "share");
    named(menu->addAction(tr("Find Similar"), this,
                          [this, id] {
                              if (findSimilar)
                                  findSimilar(id);
                          }),
          "findSimilar");
    menu->addSeparator();
    const bool trash = m_collectionId == kSectionTrash;
    if (trash)
        named(menu->addAction(tr("Put Back"), this, [this, targets] { m_store.restore(targets); }), "putBack");
    const QString deleteTitle = trash ? tr("Delete Permanently…")
                                : targets.size() == 1 ? tr("Move to Trash")
                                                      : tr("Move %1 Items to Trash").arg(targets.size());
    // One entry, "delete", that trashes or, in the trash, deletes for good.
    showKey(named(menu->addAction(deleteTitle, this, [this, targets] { deleteItems(targets); }), "delete"),
            Qt::Key_Delete);
    return menu;
}

bool GridScreen::copyItems()
{
    if (m_openedId && liveText()->copySelection())
        return true;
    const QStringList ids = !m_selectedIds.isEmpty() ? m_selectedIds
                            : m_openedId            ? QStringList{*m_openedId}
                                                    : QStringList();
    QList<Item> items;
    for (const QString &id : ids)
        if (const auto item = m_store.item(id); item && hasExport(*item))
            items.append(*item);
    if (items.isEmpty())
        return false;
    // The result comes back only while the screen exists.
    exportURLsInBackground(m_store.root(), items, this, [this](QList<QUrl> urls) {
        copyURLsToClipboard(urls);
        emit itemsCopied(int(urls.size()));
    });
    return true;
}

void GridScreen::paste()
{
    if (const QMimeData *data = QApplication::clipboard()->mimeData())
        paste(*data);
}

void GridScreen::paste(const QMimeData &data)
{
    const QString board = resolveBoardId(m_store, m_collectionId);
    if (data.hasUrls() && !data.urls().isEmpty()) {
        importURLs(data.urls(), m_store, board);
        return;
    }
    // Picture data as the source application encoded it, in the first
    // picture type it offers.
    const QMimeDatabase mimeTypes;
    for (const QString &format : data.formats()) {
        if (!format.startsWith(QLatin1String("image/")))
            continue;
        const QByteArray bytes = data.data(format);
        if (bytes.isEmpty())
            continue;
        QString extension = mimeTypes.mimeTypeForName(format).preferredSuffix();
        if (extension.isEmpty())
            extension = QStringLiteral("tiff");
        pasteImage(bytes, extension);
        return;
    }
    // Only a decoded picture (another Qt program put a QImage there).
    if (data.hasImage()) {
        const QImage image = qvariant_cast<QImage>(data.imageData());
        const QByteArray bytes = encodePNG(image);
        if (!bytes.isEmpty()) {
            pasteImage(bytes, QStringLiteral("png"));
            return;
        }
    }
    if (data.hasText()) {
        if (const auto link = normalizedLinkURL(data.text()))
            importURLs({QUrl(*link)}, m_store, board);
    }
}

void GridScreen::pasteImage(const QByteArray &bytes, const QString &extension)
{
    const QString board = resolveBoardId(m_store, m_collectionId);
    const QString path = QDir(QDir::tempPath())
                             .filePath(QStringLiteral("Pasted %1.%2")
                                           .arg(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(), extension));
    // Writing the file and making the item read and write the disk: both
    // happen on a worker; the store takes the item on the main thread.
    LibraryStore *store = &m_store;
    views::inBackground<int>(
        this,
        [store, bytes, path, board] {
            int added = 0;
            QFile file(path);
            if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && file.write(bytes) == bytes.size()) {
                file.close();
                added = addFiles(*store, {path}, board, KnownPictures::JoinCollection);
            }
            QFile::remove(path);
            return added;
        },
        [this](int added) { emit pasteFinished(added); });
}

} // namespace vellora
