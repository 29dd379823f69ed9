#include "GridEngine.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace zezevaveri {

Q_LOGGING_CATEGORY(lcGrid, "zezevaveri")

namespace {
constexpr double kFadeSeconds = 0.15;
// A list of up to this many items set whole makes every tile with its item;
// beyond, and after changes by position, tiles are made as their places come
// near the visible area, so that a large library costs the tiles on screen,
// not all of them.
constexpr size_t kEagerTiles = 2000;
// Decoded thumbnails and full-resolution images kept beyond the tiles that
// show them, in kilobytes.
constexpr int kThumbnailCacheKB = 192 * 1024;
constexpr int kFullCacheKB = 160 * 1024;

int imageCostKB(const QImage &image) { return std::max(1, int(image.sizeInBytes() / 1024)); }

bool sameRect(const QRectF &a, const QRectF &b)
{
    return std::abs(a.x() - b.x()) < 1e-6 && std::abs(a.y() - b.y()) < 1e-6 &&
           std::abs(a.width() - b.width()) < 1e-6 && std::abs(a.height() - b.height()) < 1e-6;
}

bool isZeroRect(const QRectF &r) { return sameRect(r, QRectF()); }
} // namespace

QImage photoGlyphImage(double scale)
{
    const int side = int(std::ceil(12 * scale));
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor white(255, 255, 255, int(0.75 * 255));
    p.setPen(QPen(white, 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(1, 2, 10, 8), 1.5, 1.5);
    p.setBrush(white);
    p.setPen(Qt::NoPen);
    QPainterPath hills;
    hills.moveTo(2, 9);
    hills.lineTo(5, 5.5);
    hills.lineTo(7, 7.5);
    hills.lineTo(8.5, 6.5);
    hills.lineTo(10, 9);
    hills.closeSubpath();
    p.drawPath(hills);
    p.drawEllipse(QPointF(8.2, 4.3), 0.9, 0.9);
    return image;
}

QImage arrowGlyphImage(double scale)
{
    const int side = int(std::ceil(10 * scale));
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.drawLine(QPointF(2, 8), QPointF(8, 2));
    p.drawPolyline(QList<QPointF>{QPointF(3.5, 2), QPointF(8, 2), QPointF(8, 6.5)});
    return image;
}

GridEngine::GridEngine(GridHost &host, GridClock &clock, ImageDecoder *decoder)
    : m_host(host), m_clock(clock), m_decoder(decoder), m_root(Layer::make(QStringLiteral("root")))
{
    if (!m_decoder) {
        m_ownDecoder = std::make_unique<ThreadPoolDecoder>();
        m_decoder = m_ownDecoder.get();
    }
    m_thumbnails.setMaxCost(kThumbnailCacheKB);
    m_fullImages.setMaxCost(kFullCacheKB);
    m_root->backgroundColor = config.background;

    m_pill = Layer::make(QStringLiteral("pill"));
    m_pill->backgroundColor = QColor(0, 0, 0, int(0.9 * 255));
    m_pill->cornerRadius = 16;
    m_pill->opacity = 0;
    m_pill->zPosition = 2;
    m_pillIcon = Layer::make(QStringLiteral("pillIcon"));
    m_pillIcon->masksToBounds = true;
    m_pillText = Layer::make(QStringLiteral("pillText"));
    m_pillArrow = Layer::make(QStringLiteral("pillArrow"));
    m_pillArrow->gravity = Gravity::ResizeAspect;
    m_pillArrow->contents = arrowGlyphImage(2.0);
    m_pill->addSublayer(m_pillIcon);
    m_pill->addSublayer(m_pillText);
    m_pill->addSublayer(m_pillArrow);

    if (qGuiApp)
        m_pillFont = QGuiApplication::font();
    m_pillFont.setPixelSize(14);
    m_pillFont.setWeight(QFont::DemiBold);
    m_photoGlyph = photoGlyphImage(2.0);
}

GridEngine::~GridEngine()
{
    if (m_reapTicket)
        m_clock.cancel(m_reapTicket);
    for (quint64 ticket : std::as_const(m_pending))
        m_decoder->cancel(ticket);
}

void GridEngine::later(double delay, std::function<void()> work)
{
    std::weak_ptr<int> alive = m_alive;
    m_clock.schedule(delay, [alive, work = std::move(work)] {
        if (alive.lock())
            work();
    });
}

int GridEngine::indexOf(const Layer *tile) const
{
    if (!tile)
        return -1;
    for (size_t i = 0; i < m_tiles.size(); ++i) {
        if (m_tiles[i].get() == tile)
            return int(i);
    }
    return -1;
}

int GridEngine::indexOf(const QString &id) const
{
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (m_items[i].id == id)
            return int(i);
    }
    return -1;
}

QString GridEngine::thumbnailKey(const ScatterItem &item) const
{
    return item.id + QLatin1Char('#') + QString::number(item.revision);
}

QString GridEngine::fullKey(const ScatterItem &item) const { return thumbnailKey(item) + QStringLiteral(":full"); }

// ---------------------------------------------------------------- animation

void GridEngine::addAnimation(const LayerPtr &layer, const QString &key, Animation animation)
{
    if (!layer)
        return;
    const double now = m_clock.now();
    layer->addAnimation(key, std::move(animation), now);
    m_animated[layer.get()] = layer;
    if (const Animation *a = layer->animation(key); a && std::isfinite(a->endTime()))
        scheduleReap(a->endTime());
    m_host.setNeedsDisplay();
}

void GridEngine::animate(const LayerPtr &layer, const QString &keyPath, const Value &value, const SpringMotion &spring,
                         double duration, std::function<void()> completion)
{
    if (!layer)
        return;
    const Value current = layer->presentationValue(keyPath, m_clock.now());
    layer->setModelValue(keyPath, value);
    if (m_host.reduceMotion() && keyPath != keys::opacity) {
        layer->removeAnimation(keyPath);
        m_host.setNeedsDisplay();
        if (completion)
            later(0, std::move(completion));
        return;
    }
    Animation a = Animation::spring(keyPath, spring, current, value, duration);
    a.completion = std::move(completion);
    addAnimation(layer, keyPath, std::move(a));
}

void GridEngine::scheduleReap(double endTime)
{
    if (m_reapTicket && m_reapAt <= endTime)
        return;
    if (m_reapTicket)
        m_clock.cancel(m_reapTicket);
    m_reapAt = endTime;
    std::weak_ptr<int> alive = m_alive;
    m_reapTicket = m_clock.schedule(std::max(0.0, endTime - m_clock.now()), [this, alive] {
        if (!alive.lock())
            return;
        m_reapTicket = 0;
        reap();
    });
}

bool GridEngine::isAnimating() const
{
    const double now = m_clock.now();
    for (const auto &[raw, weak] : m_animated) {
        if (auto layer = weak.lock(); layer && layer->isAnimating(now))
            return true;
    }
    return false;
}

void GridEngine::reap()
{
    const double now = m_clock.now();
    std::vector<std::function<void()>> completions;
    double next = std::numeric_limits<double>::infinity();
    for (auto it = m_animated.begin(); it != m_animated.end();) {
        LayerPtr layer = it->second.lock();
        if (!layer) {
            it = m_animated.erase(it);
            continue;
        }
        layer->reap(now, completions);
        for (const auto &[key, a] : layer->animations())
            next = std::min(next, a.endTime());
        if (!layer->hasAnimations())
            it = m_animated.erase(it);
        else
            ++it;
    }
    for (auto &completion : completions)
        completion();
    if (std::isfinite(next))
        scheduleReap(next);
    m_host.setNeedsDisplay();
}

// ---------------------------------------------------------------- tiles

void GridEngine::setItems(std::vector<ScatterItem> items)
{
    std::vector<ScatterItem> old = std::move(m_items);
    auto stays = [&items](const QString &id) {
        return std::any_of(items.begin(), items.end(), [&id](const ScatterItem &item) { return item.id == id; });
    };
    // An opened, hovered or pressed tile whose item left must let go before
    // the indexes change under it.
    if (m_opened && !stays(m_opened->name)) {
        m_items = old;
        close();
    }
    if (m_hovered && !stays(m_hovered->name)) {
        m_items = old;
        setHover(nullptr);
    }
    if (m_press && !stays(m_press->tile->name))
        m_press.reset();
    m_items = std::move(items);
    m_layoutFrom = 0;
    // Room for items added one by one later (applyChanges), so that one more
    // is not a copy of all of them.
    const size_t room = m_items.size() + m_items.size() / 4 + 64;
    m_items.reserve(room);
    m_aspects.clear();
    m_aspects.reserve(room);
    for (const auto &item : m_items)
        m_aspects.push_back(item.aspect);
    rebuildTiles(old);
}

void GridEngine::rebuildTiles(const std::vector<ScatterItem> &old)
{
    QHash<QString, int> oldRevision;
    if (!m_layers.isEmpty()) {
        for (const auto &item : old)
            oldRevision.insert(item.id, item.revision);
    }

    // Tiles are kept by id; the others are made once they come near the
    // visible area.
    std::vector<LayerPtr> tiles(m_items.size());
    QHash<QString, LayerPtr> layers;
    if (!m_layers.isEmpty()) {
        for (size_t i = 0; i < m_items.size(); ++i) {
            const ScatterItem &item = m_items[i];
            if (layers.contains(item.id))
                continue;
            LayerPtr tile = m_layers.value(item.id);
            if (!tile)
                continue;
            if (oldRevision.value(item.id, item.revision) != item.revision) {
                if (!tile->contentsKey.isEmpty())
                    cancelDecode(tile->contentsKey);
                if (tile != m_opened) {
                    tile->contents = QImage();
                    tile->contentsKey.clear();
                }
            }
            setSpinner(tile, item.loading);
            tiles[i] = tile;
            layers.insert(item.id, tile);
        }
    }

    // Tiles whose items left fade out and are then dropped.
    for (auto it = m_layers.cbegin(); it != m_layers.cend(); ++it) {
        if (layers.contains(it.key()))
            continue;
        dropTile(it.key(), it.value(), oldRevision.value(it.key()));
    }
    m_tiles = std::move(tiles);
    m_tiles.reserve(m_items.capacity());
    m_layers = std::move(layers);
    m_holdLo = 0;
    m_holdHi = m_tiles.size();
    applySelectionMarks(m_selected, true);
    if (m_tiles.size() <= kEagerTiles) {
        for (size_t i = 0; i < m_tiles.size(); ++i)
            ensureTile(i);
    }
    m_host.setNeedsDisplay();
}

void GridEngine::dropTile(const QString &id, const LayerPtr &tile, int revision)
{
    // A fade nobody can see is not worth its animation: a search that hides
    // most of a large library drops those tiles at once.
    const QRectF seen = currentLoadRect();
    if (tile == m_staged || tile->frame().intersects(seen) || tile->presentationFrame(m_clock.now()).intersects(seen)) {
        fadeOut(id, tile, revision);
        return;
    }
    if (!tile->contentsKey.isEmpty())
        cancelDecode(tile->contentsKey);
    cancelDecode(thumbnailKey(ScatterItem{id, 1, {}, {}, revision, false, false}));
    tile->removeAllAnimations();
    tile->removeFromSuperlayer();
}

const LayerPtr &GridEngine::ensureTile(size_t index)
{
    LayerPtr &slot = m_tiles[index];
    if (slot)
        return slot;
    const ScatterItem &item = m_items[index];
    if (m_layers.contains(item.id)) {
        // The same id shown twice: the second has a tile of its own.
        slot = Layer::make(item.id);
        slot->backgroundColor = kPlaceholderColour;
        slot->cornerRadius = config.cornerRadius;
        slot->masksToBounds = true;
        slot->gravity = Gravity::ResizeAspectFill;
        m_root->addSublayer(slot);
    } else {
        slot = takeTile(item.id);
        m_layers.insert(item.id, slot);
    }
    // It appears in place, where the layout puts it.
    if (index < m_frames.size() && index < m_layoutFrom)
        slot->setFrame(m_frames[index]);
    setSpinner(slot, item.loading);
    const bool selected = m_selectedSet.contains(item.id);
    slot->borderWidth = selected ? 3.0 : 0.0;
    slot->borderColor = kSelectionColour;
    slot->scale = scaleFor(slot, selected);
    return slot;
}

void GridEngine::fadeOut(const QString &id, const LayerPtr &tile, int revision)
{
    if (m_staged && m_staged->name == id) {
        m_staged->removeFromSuperlayer();
        m_staged.reset();
    }
    cancelDecode(thumbnailKey(ScatterItem{id, 1, {}, {}, revision, false, false}));
    m_fading.insert(id);
    m_fadingLayers.insert(id, tile);
    std::weak_ptr<Layer> weak = tile;
    std::weak_ptr<int> alive = m_alive;
    animate(tile, keys::opacity, 0.0, config.item, config.closeDuration, [this, alive, weak, id] {
        auto layer = weak.lock();
        // A tile that came back while fading is no longer ours to drop.
        if (!alive.lock() || !layer || m_fadingLayers.value(id) != layer)
            return;
        layer->removeFromSuperlayer();
        m_fadingLayers.remove(id);
        m_fading.remove(id);
    });
}

LayerPtr GridEngine::takeTile(const QString &id)
{
    if (m_fading.contains(id)) {
        // Back while fading out: keep the layer and show it again.
        LayerPtr tile = m_fadingLayers.take(id);
        m_fading.remove(id);
        if (tile) {
            tile->removeAnimation(keys::opacity);
            tile->opacity = 1;
            return tile;
        }
    }
    LayerPtr tile = Layer::make(id);
    tile->backgroundColor = kPlaceholderColour;
    tile->cornerRadius = config.cornerRadius;
    tile->masksToBounds = true;
    tile->gravity = Gravity::ResizeAspectFill;
    m_root->addSublayer(tile);
    return tile;
}

void GridEngine::applyChanges(const QStringList &removed, const std::vector<std::pair<size_t, ScatterItem>> &inserted)
{
    QSet<QString> back;
    for (const auto &[at, item] : inserted)
        back.insert(item.id);
    // An opened, hovered or pressed tile whose item leaves must let go while
    // the indexes still hold.
    for (const QString &id : removed) {
        if (back.contains(id))
            continue;
        if (m_opened && m_opened->name == id)
            close();
        if (m_hovered && m_hovered->name == id)
            setHover(nullptr);
        if (m_press && m_press->tile->name == id)
            m_press.reset();
    }
    struct Taken {
        LayerPtr tile;
        int revision;
    };
    QHash<QString, Taken> taken;
    for (const QString &id : removed) {
        const int at = indexOf(id);
        if (at < 0)
            continue;
        taken.insert(id, Taken{m_tiles[size_t(at)], m_items[size_t(at)].revision});
        m_layoutFrom = std::min(m_layoutFrom, size_t(at));
        m_items.erase(m_items.begin() + at);
        m_aspects.erase(m_aspects.begin() + at);
        m_tiles.erase(m_tiles.begin() + at);
    }
    const QSet<QString> selected(m_selected.begin(), m_selected.end());
    for (const auto &[position, item] : inserted) {
        LayerPtr tile;
        if (const auto it = taken.find(item.id); it != taken.end()) {
            tile = it->tile;
            if (tile && it->revision != item.revision) {
                if (!tile->contentsKey.isEmpty())
                    cancelDecode(tile->contentsKey);
                if (tile != m_opened) {
                    tile->contents = QImage();
                    tile->contentsKey.clear();
                }
            }
            taken.erase(it);
        } else {
            tile = m_layers.value(item.id);
            if (!tile)
                tile = takeTile(item.id);
        }
        if (tile)
            setSpinner(tile, item.loading);
        const size_t at = std::min(position, m_items.size());
        m_layoutFrom = std::min(m_layoutFrom, at);
        m_items.insert(m_items.begin() + qsizetype(at), item);
        m_aspects.insert(m_aspects.begin() + qsizetype(at), item.aspect);
        m_tiles.insert(m_tiles.begin() + qsizetype(at), tile);
        if (tile) {
            m_layers.insert(item.id, tile);
            applyMark(int(at), selected.contains(item.id));
        }
    }
    for (auto it = taken.cbegin(); it != taken.cend(); ++it) {
        if (!it->tile)
            continue;
        m_layers.remove(it.key());
        dropTile(it.key(), it->tile, it->revision);
    }
    // The tiles that may hold pixels moved by at most one place per change.
    const size_t removedCount = size_t(removed.size());
    m_holdLo = m_holdLo > removedCount ? m_holdLo - removedCount : 0;
    m_holdHi = std::min(m_tiles.size(), m_holdHi + inserted.size());
    // A tile that moved keeps its pixels wherever it went.
    for (const auto &[position, item] : inserted) {
        const size_t at = std::min(position, m_tiles.size() - 1);
        m_holdLo = std::min(m_holdLo, at);
        m_holdHi = std::max(m_holdHi, at + 1);
    }
    m_host.setNeedsDisplay();
}

void GridEngine::applyPositionalChange(const std::vector<size_t> &removed,
                                       std::vector<std::pair<size_t, ScatterItem>> &&inserted,
                                       std::vector<ScatterItem> *leaving)
{
    if (removed.empty() && inserted.empty())
        return;
    const size_t oldCount = m_items.size();
    auto leaves = [&](const Layer *tile) {
        const int at = indexOf(tile);
        return at >= 0 && std::binary_search(removed.begin(), removed.end(), size_t(at));
    };
    // An opened, hovered or pressed tile whose item leaves must let go while
    // the indexes still hold.
    if (m_opened && leaves(m_opened.get()))
        close();
    if (m_hovered && leaves(m_hovered.get()))
        setHover(nullptr);
    if (m_press && leaves(m_press->tile.get()))
        m_press.reset();

    const size_t newCount = oldCount - removed.size() + inserted.size();
    std::vector<ScatterItem> items = std::move(m_spareItems);
    std::vector<double> aspects = std::move(m_spareAspects);
    std::vector<LayerPtr> tiles = std::move(m_spareTiles);
    items.clear();
    aspects.clear();
    tiles.clear();
    const size_t room = std::max(m_items.capacity(), newCount + newCount / 4 + 64);
    items.reserve(room);
    aspects.reserve(room);
    tiles.reserve(room);
    if (leaving) {
        leaving->clear();
        leaving->reserve(removed.size());
    }
    size_t holdLo = newCount, holdHi = 0;
    size_t next = 0, gone = 0, in = 0;
    auto dropOld = [&](size_t at) {
        if (LayerPtr &tile = m_tiles[at]) {
            const QString &id = m_items[at].id;
            if (m_layers.value(id) == tile)
                m_layers.remove(id);
            dropTile(id, tile, m_items[at].revision);
        }
        if (leaving)
            leaving->push_back(std::move(m_items[at]));
    };
    for (size_t k = 0; k < newCount; ++k) {
        if (in < inserted.size() && inserted[in].first <= k) {
            ScatterItem &item = inserted[in++].second;
            aspects.push_back(item.aspect);
            items.push_back(std::move(item));
            tiles.emplace_back();
            continue;
        }
        while (next < oldCount && gone < removed.size() && removed[gone] == next) {
            dropOld(next++);
            ++gone;
        }
        if (next >= oldCount)
            break;
        if (m_tiles[next] && !m_tiles[next]->contents.isNull()) {
            holdLo = std::min(holdLo, k);
            holdHi = k + 1;
        }
        aspects.push_back(m_aspects[next]);
        items.push_back(std::move(m_items[next]));
        tiles.push_back(std::move(m_tiles[next]));
        ++next;
    }
    for (; next < oldCount; ++next) {
        if (gone < removed.size() && removed[gone] == next) {
            dropOld(next);
            ++gone;
        }
    }
    // What did not fit the new count (indexes out of range) goes to the end.
    for (; in < inserted.size(); ++in) {
        aspects.push_back(inserted[in].second.aspect);
        items.push_back(std::move(inserted[in].second));
        tiles.emplace_back();
    }
    size_t firstChanged = items.size();
    if (!removed.empty())
        firstChanged = removed.front();
    if (!inserted.empty())
        firstChanged = std::min(firstChanged, inserted.front().first);
    m_layoutFrom = std::min(m_layoutFrom, firstChanged);
    m_items.swap(items);
    m_aspects.swap(aspects);
    m_tiles.swap(tiles);
    // What was moved out of the old lists is empty; their memory serves the
    // next change.
    items.clear();
    tiles.clear();
    m_spareItems = std::move(items);
    m_spareAspects = std::move(aspects);
    m_spareTiles = std::move(tiles);
    m_holdLo = holdLo;
    m_holdHi = std::max(holdLo, holdHi);
    m_host.setNeedsDisplay();
}

GridEngine::SpareRoom GridEngine::makeSpareRoom(size_t count)
{
    // As much as setItems reserves, so that a change never outgrows it.
    const size_t room = count + count / 4 + 64;
    SpareRoom spare;
    // Sized and emptied again: the pages are written once here, not by the
    // change that fills them.
    spare.items.resize(room);
    spare.items.clear();
    spare.aspects.resize(room);
    spare.aspects.clear();
    spare.tiles.resize(room);
    spare.tiles.clear();
    return spare;
}

void GridEngine::adoptSpareRoom(SpareRoom &&room)
{
    if (room.items.capacity() > m_spareItems.capacity()) {
        room.items.clear();
        m_spareItems = std::move(room.items);
    }
    if (room.aspects.capacity() > m_spareAspects.capacity()) {
        room.aspects.clear();
        m_spareAspects = std::move(room.aspects);
    }
    if (room.tiles.capacity() > m_spareTiles.capacity()) {
        room.tiles.clear();
        m_spareTiles = std::move(room.tiles);
    }
}

size_t GridEngine::spareRoom() const
{
    return std::min({m_spareItems.capacity(), m_spareAspects.capacity(), m_spareTiles.capacity()});
}

void GridEngine::setSpinner(const LayerPtr &tile, bool on)
{
    LayerPtr spinner = tile->sublayerNamed(QStringLiteral("spinner"));
    if (spinner) {
        if (!on)
            spinner->removeFromSuperlayer();
        return;
    }
    if (!on)
        return;
    spinner = Layer::make(QStringLiteral("spinner"));
    spinner->bounds = QRectF(0, 0, 20, 20);
    spinner->isSpinner = true;
    spinner->strokeColor = QColor(255, 255, 255, int(0.7 * 255));
    spinner->lineWidth = 2;
    spinner->strokeEnd = 0.7;
    spinner->zPosition = 3;
    spinner->centredInSuperlayer = true;
    Animation spin;
    spin.kind = Animation::Basic;
    spin.keyPath = keys::rotationZ;
    spin.from = 0.0;
    spin.to = -2 * M_PI;
    spin.duration = 0.9;
    spin.repeatForever = true;
    tile->addSublayer(spinner);
    addAnimation(spinner, QStringLiteral("spin"), spin);
}

// ---------------------------------------------------------------- layout

double GridEngine::layoutFrames()
{
    const double W = m_host.width();
    const double header = m_host.headerHeight();
    double h = 0;
    if (header >= 0) {
        h = std::isfinite(header) ? header : 0;
        m_host.setHeaderFrame(QRectF(0, 0, W, h));
    }
    // Rows before the first changed item stay as they were; the layout goes
    // on from the start of the row before it.
    const LaidGeometry geometry{W, h, config.rowHeight, config.gap};
    size_t from = 0;
    double top = 0;
    if (geometry == m_laid && m_layoutFrom > 0 && m_layoutFrom - 1 < m_frames.size()) {
        from = rowStartOf(m_frames, m_layoutFrom - 1);
        top = m_frames[from].y();
    }
    double laidHeight = justifiedLayoutFrom(m_aspects, W, config.rowHeight, config.gap, h, from, top, m_frames);
    if (m_frames.size() == m_aspects.size()) {
        m_laid = geometry;
        m_layoutFrom = m_frames.size();
    } else {
        m_laid = LaidGeometry();
        m_layoutFrom = 0;
    }
    const double document = std::max(laidHeight, m_host.visibleRect().height());
    if (std::abs(document - m_documentHeight) > 0.5) {
        m_documentHeight = document;
        m_host.setDocumentHeight(document);
    }
    return laidHeight;
}

void GridEngine::layout()
{
    if (m_opened) {
        // Tiles stay put while a tile is open; closing catches up. The stage
        // itself follows the window.
        m_layoutSkipped = true;
        restage();
        return;
    }
    m_layoutSkipped = false;
    const double W = m_host.width();
    layoutFrames();

    if (m_pendingOpen && W > 0 && indexOf(*m_pendingOpen) >= 0) {
        const QString id = *m_pendingOpen;
        m_pendingOpen.reset();
        later(0, [this, id] { open(id); });
    }

    m_glide = m_clock.now() < m_glideUntil;
    std::vector<size_t> gliding;
    for (size_t i = 0; i < m_tiles.size(); ++i) {
        const LayerPtr &tile = m_tiles[i];
        if (!tile)
            continue;
        const QRectF target = i < m_frames.size() ? m_frames[i] : QRectF();
        if (m_glide && !isZeroRect(tile->frame())) {
            gliding.push_back(i);
            continue;
        }
        if (tile->hasAnimations()) {
            tile->removeAnimation(keys::position);
            tile->removeAnimation(keys::bounds);
        }
        tile->setFrame(target);
    }
    for (size_t i : gliding) {
        const LayerPtr &tile = m_tiles[i];
        const QRectF target = i < m_frames.size() ? m_frames[i] : QRectF();
        if (sameRect(tile->frame(), target))
            continue;
        animate(tile, keys::position, target.center(), config.item, config.openDuration);
        animate(tile, keys::bounds, QRectF(0, 0, target.width(), target.height()), config.item, config.openDuration);
    }
    m_glide = false;
    m_host.setNeedsDisplay();
    updateVisible();
}

// ---------------------------------------------------------------- decode-ahead

void GridEngine::cancelDecode(const QString &key)
{
    if (auto it = m_pending.find(key); it != m_pending.end()) {
        m_decoder->cancel(it.value());
        m_pending.erase(it);
    }
}

std::pair<size_t, size_t> GridEngine::frameRange(double top, double bottom) const
{
    // Frames run down the document in item order, so a band of the document
    // is one range of indexes.
    const size_t count = std::min({m_tiles.size(), m_items.size(), m_frames.size()});
    const auto begin = m_frames.begin(), end = m_frames.begin() + qsizetype(count);
    const size_t lo = size_t(std::partition_point(begin, end, [top](const QRectF &f) { return f.bottom() < top; }) - begin);
    const size_t hi = size_t(std::partition_point(begin, end, [bottom](const QRectF &f) { return f.top() <= bottom; }) - begin);
    return {lo, std::max(lo, hi)};
}

std::pair<size_t, size_t> GridEngine::visibleRange() const
{
    const QRectF visible = m_host.visibleRect();
    return frameRange(visible.top(), visible.bottom());
}

std::vector<const Layer *> GridEngine::layersToPaint(const QRectF &visible) const
{
    std::vector<const Layer *> out;
    const auto [lo, hi] = frameRange(visible.top(), visible.bottom());
    out.reserve(hi - lo + m_animated.size() + 2);
    std::unordered_set<const Layer *> seen;
    for (size_t i = lo; i < hi; ++i) {
        if (!m_tiles[i])
            continue;
        out.push_back(m_tiles[i].get());
        seen.insert(m_tiles[i].get());
    }
    // Tiles beyond the laid-out frames (none laid out yet) sit at zero size.
    auto add = [&](const Layer *layer) {
        if (layer && layer->superlayer() == m_root.get() && seen.insert(layer).second)
            out.push_back(layer);
    };
    for (const auto &[raw, weak] : m_animated)
        add(weak.lock().get());
    add(m_opened.get());
    add(m_staged.get());
    return out;
}

void GridEngine::updateVisible()
{
    const QRectF visible = m_host.visibleRect();
    if (visible.top() != m_lastY) {
        m_scrollDir = visible.top() > m_lastY ? 1 : -1;
        m_lastY = visible.top();
    }
    const QRectF area = loadRect(visible, m_scrollDir, config.rowHeight, config.gap);
    // Tiles well outside the area give their pixels back to the cache.
    const QRectF keep = area.adjusted(0, -visible.height(), 0, visible.height());
    const double scale = m_host.backingScale();
    const size_t count = std::min({m_tiles.size(), m_items.size(), m_frames.size()});
    const auto [areaLo, areaHi] = frameRange(area.top(), area.bottom());

    // Release what left the kept band, looking only where pixels may be held.
    size_t holdLo = count, holdHi = 0;
    for (size_t i = std::min(m_holdLo, count); i < std::min(m_holdHi, count); ++i) {
        const LayerPtr &tile = m_tiles[i];
        if (!tile || tile->contents.isNull())
            continue;
        if (!m_frames[i].intersects(keep) && tile != m_opened && tile != m_staged) {
            tile->contents = QImage();
            tile->contentsKey.clear();
            continue;
        }
        holdLo = std::min(holdLo, i);
        holdHi = std::max(holdHi, i + 1);
    }

    QSet<QString> wanted;
    for (size_t i = areaLo; i < areaHi; ++i) {
        const ScatterItem &item = m_items[i];
        const QRectF &frame = m_frames[i];
        if (frame.isEmpty() || !frame.intersects(area))
            continue;
        const LayerPtr &tile = ensureTile(i);
        holdLo = std::min(holdLo, i);
        holdHi = std::max(holdHi, i + 1);
        if (!tile->contents.isNull() || tile == m_opened)
            continue;
        const QString key = thumbnailKey(item);
        wanted.insert(key);
        if (QImage *cached = m_thumbnails.object(key)) {
            tile->contents = *cached;
            tile->contentsKey = key;
            m_host.setNeedsDisplay();
            continue;
        }
        if (m_pending.contains(key) || m_failed.contains(key) || !content)
            continue;
        // Ask in steps of 64 pixels so that small size changes reuse a decode.
        const double pixels = std::ceil(std::max(frame.width(), frame.height()) * scale / 64.0) * 64.0;
        std::weak_ptr<int> alive = m_alive;
        const QString id = item.id;
        const quint64 ticket = m_decoder->start({key, id, pixels, false}, content, [this, alive, key, id](QImage image) {
            if (!alive.lock())
                return;
            m_pending.remove(key);
            if (image.isNull()) {
                m_failed.insert(key);
                return;
            }
            m_thumbnails.insert(key, new QImage(image), imageCostKB(image));
            const int at = indexOf(id);
            if (at < 0 || thumbnailKey(m_items[size_t(at)]) != key)
                return;
            const LayerPtr &tile = m_tiles[size_t(at)];
            if (!tile || tile == m_opened || !tile->contents.isNull())
                return;
            tile->contents = image;
            tile->contentsKey = key;
            m_holdLo = std::min(m_holdLo, size_t(at));
            m_holdHi = std::max(m_holdHi, size_t(at) + 1);
            m_host.setNeedsDisplay();
        });
        m_pending.insert(key, ticket);
    }
    m_holdLo = holdLo;
    m_holdHi = holdHi;

    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (!it.key().endsWith(QLatin1String(":full")) && !wanted.contains(it.key())) {
            m_decoder->cancel(it.value());
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
}

void GridEngine::requestFull(const LayerPtr &target, int index)
{
    if (index < 0 || index >= int(m_items.size()))
        return;
    const ScatterItem &item = m_items[size_t(index)];
    const QString key = fullKey(item);
    const QRectF stage = stageRectFor(index);
    const double pixels = std::ceil(std::max(stage.width(), stage.height()) * m_host.backingScale());
    if (QImage *cached = m_fullImages.object(key)) {
        if (target)
            showFull(target, key, *cached);
        // A stage that grew (a larger window) asks again for more pixels.
        if (pixels <= m_fullAsked.value(key, 0) + 0.5)
            return;
    }
    if (!content || m_failed.contains(key))
        return;
    std::weak_ptr<int> alive = m_alive;
    std::weak_ptr<Layer> weak = target;
    const bool hasTarget = bool(target);
    if (m_pending.contains(key) && !hasTarget)
        return;
    const quint64 ticket = m_decoder->start({key, item.id, pixels, true}, content,
                                            [this, alive, weak, hasTarget, key](QImage image) {
        if (!alive.lock())
            return;
        m_pending.remove(key);
        if (image.isNull()) {
            m_failed.insert(key);
            return;
        }
        m_fullImages.insert(key, new QImage(image), imageCostKB(image));
        if (auto layer = weak.lock(); hasTarget && layer)
            showFull(layer, key, image);
    });
    // A second request for the same image replaces the first; the older
    // target is no longer on stage.
    cancelDecode(key);
    m_pending.insert(key, ticket);
    m_fullAsked.insert(key, pixels);
}

void GridEngine::showFull(const LayerPtr &target, const QString &key, const QImage &image)
{
    if (!target || (target != m_opened && target != m_staged))
        return;
    if (!target->contents.isNull() && target->contents.cacheKey() == image.cacheKey())
        return;
    if (!target->contents.isNull() && !m_host.reduceMotion()) {
        target->previousContents = target->contents;
        Animation fade;
        fade.kind = Animation::Fade;
        fade.keyPath = QStringLiteral("contents");
        fade.duration = kFadeSeconds;
        addAnimation(target, QStringLiteral("fade"), fade);
    }
    target->contents = image;
    target->contentsKey = key;
    m_host.setNeedsDisplay();
}

// ---------------------------------------------------------------- open, close, pager

QRectF GridEngine::stageRectFor(int index) const
{
    const double aspect = index >= 0 && index < int(m_items.size()) ? m_items[size_t(index)].aspect : 1.0;
    return stageRect(aspect, m_host.visibleRect());
}

QRectF GridEngine::currentLoadRect() const
{
    return loadRect(m_host.visibleRect(), m_scrollDir, config.rowHeight, config.gap);
}

void GridEngine::open(const QString &id)
{
    const int index = indexOf(id);
    if (!(m_host.width() > 0) || m_frames.size() != m_items.size() || m_items.empty() || index < 0) {
        m_pendingOpen = id;
        return;
    }
    const LayerPtr tile = ensureTile(size_t(index));
    if (tile == m_opened)
        return;
    close();
    scrollTo(id);
    animateOpen(tile, true);
}

void GridEngine::scrollTo(const QString &id)
{
    const int index = indexOf(id);
    if (index < 0 || index >= int(m_frames.size()))
        return;
    const QRectF visible = m_host.visibleRect();
    const double maxY = std::max(0.0, m_documentHeight - visible.height());
    const double y = std::clamp(m_frames[size_t(index)].center().y() - visible.height() / 2, 0.0, maxY);
    m_host.scrollTo(y);
}

std::optional<QString> GridEngine::focusedID() const
{
    if (m_opened)
        return m_opened->name;
    if (m_selected.isEmpty()) {
        if (m_hovered)
            return m_hovered->name;
        return std::nullopt;
    }
    return m_selected.last();
}

void GridEngine::animateOpen(const LayerPtr &tile, bool animated)
{
    const int index = indexOf(tile.get());
    if (index < 0)
        return;
    m_opened = tile;
    setHover(nullptr);
    if (LayerPtr badge = tile->sublayerNamed(QStringLiteral("badge")))
        badge->hidden = true;
    const QString id = m_items[size_t(index)].id;
    if (onOpen)
        onOpen(id);
    m_host.setAccessibilityIdentifier(QStringLiteral("open:") + id);
    m_host.fadeHeader(0);
    tile->zPosition = 1;
    tile->extendedDynamicRange = true;

    const QRectF stage = stageRectFor(index);
    requestFull(tile, index);
    if (auto previous = neighbourIndex(m_items, index, -1))
        requestFull(nullptr, *previous);
    if (auto next = neighbourIndex(m_items, index, +1))
        requestFull(nullptr, *next);

    std::weak_ptr<Layer> weak = tile;
    later(config.openDuration, [this, weak] {
        LayerPtr layer = weak.lock();
        if (!layer || layer != m_opened)
            return;
        m_stageOverlayShown = true;
        m_host.showStageOverlay(stageRectFor(indexOf(layer.get())), m_zoom != 1.0);
    });

    if (animated) {
        if (std::abs(tile->scale - 1.0) > 1e-9 || tile->animation(keys::scale))
            animate(tile, keys::scale, 1.0, config.item, config.openDuration);
        animate(tile, keys::position, stage.center(), config.item, config.openDuration);
        animate(tile, keys::bounds, QRectF(0, 0, stage.width(), stage.height()), config.item, config.openDuration);
        animate(tile, keys::cornerRadius, 2 * config.cornerRadius, config.item, config.cornerDuration);
        scatterNeighbours(index, std::nullopt);
    }
}

void GridEngine::restage()
{
    const int index = indexOf(m_opened.get());
    if (index < 0 || !(m_host.width() > 0))
        return;
    const QRectF stage = stageRectFor(index);
    if (!sameRect(m_opened->frame(), stage)) {
        if (m_opened->animation(keys::position) || m_opened->animation(keys::bounds)) {
            // Still lifting: land on the new stage instead.
            animate(m_opened, keys::position, stage.center(), config.item, config.openDuration);
            animate(m_opened, keys::bounds, QRectF(0, 0, stage.width(), stage.height()), config.item, config.openDuration);
        } else {
            m_opened->setFrame(stage);
        }
        if (m_stageOverlayShown)
            m_host.showStageOverlay(stage, m_zoom != 1.0);
        m_host.setNeedsDisplay();
        requestFull(m_opened, index);
    }
}

void GridEngine::scatterNeighbours(int index, std::optional<double> duration)
{
    const QRectF visible = m_host.visibleRect();
    int visibleCount = 0;
    for (const auto &tile : m_tiles) {
        if (tile && tile->frame().intersects(visible))
            ++visibleCount;
    }
    const double seconds = duration.value_or(config.scatterDuration);
    for (const PushTarget &t : pushTargets(m_frames, index, currentLoadRect(), visibleCount, config)) {
        if (t.index >= int(m_tiles.size()))
            continue;
        const LayerPtr &tile = ensureTile(size_t(t.index));
        if (!sameRect(tile->frame(), t.frame)) {
            animate(tile, keys::position, t.frame.center(), config.item, seconds);
            animate(tile, keys::bounds, QRectF(0, 0, t.frame.width(), t.frame.height()), config.item, seconds);
        }
        animate(tile, keys::opacity, 0.0, config.item, seconds);
    }
}

void GridEngine::close()
{
    if (!m_opened)
        return;
    m_host.removeStageOverlay();
    m_stageOverlayShown = false;
    if (m_staged) {
        m_staged->removeFromSuperlayer();
        m_staged.reset();
    }
    m_zoom = 1.0;
    m_pan = QPointF();
    const LayerPtr tile = m_opened;
    tile->removeAnimation(keys::transform);
    tile->removeAnimation(QStringLiteral("page"));
    tile->setTransformIdentity();
    tile->extendedDynamicRange = false;
    animate(tile, keys::cornerRadius, config.cornerRadius, config.item, config.cornerDuration);

    // The items or the width changed while the tile was open: come back to
    // where the tiles belong now.
    if (m_layoutSkipped || m_frames.size() != m_items.size()) {
        m_layoutSkipped = false;
        layoutFrames();
    }
    m_opened.reset();
    const QSet<QString> selected(m_selected.begin(), m_selected.end());
    const QRectF load = currentLoadRect();
    for (size_t i = 0; i < m_tiles.size(); ++i) {
        const LayerPtr &t = m_tiles[i];
        if (!t)
            continue;
        const QRectF laid = i < m_frames.size() ? m_frames[i] : QRectF();
        // Tiles paged past while open lost their marks with their transform.
        if (i < m_items.size()) {
            const double rest = scaleFor(t, selected.contains(m_items[i].id));
            if (std::abs(t->scale - rest) > 1e-9 || (t == tile && t->animation(keys::scale))) {
                if (laid.intersects(load) || t == tile)
                    animate(t, keys::scale, rest, config.item, config.closeDuration);
                else
                    t->scale = rest;
            }
        }
        if (isZeroRect(t->frame()) && t != tile) {
            t->setFrame(laid); // arrived while open: appears in place
        } else if (!laid.intersects(load) && !(t->opacity < 1)) {
            t->setFrame(laid);
            continue;
        }
        if (!sameRect(t->frame(), laid)) {
            animate(t, keys::position, laid.center(), config.item, config.closeDuration);
            animate(t, keys::bounds, QRectF(0, 0, laid.width(), laid.height()), config.item, config.closeDuration);
        }
        animate(t, keys::opacity, 1.0, config.item, config.closeDuration);
    }

    tile->zPosition = 0;
    tile->contents = QImage();
    tile->previousContents = QImage();
    tile->removeAnimation(QStringLiteral("fade"));
    tile->contentsKey.clear();
    if (LayerPtr badge = tile->sublayerNamed(QStringLiteral("badge")))
        badge->hidden = false;
    if (onOpen)
        onOpen(std::nullopt);
    m_host.setAccessibilityIdentifier(QString());
    m_host.fadeHeader(1);
    updateVisible();
}

double GridEngine::pageOffset(const Layer &layer) const
{
    if (layer.animation(QStringLiteral("page"))) {
        const Value v = layer.presentationValue(keys::translationX, m_clock.now());
        if (auto d = std::get_if<double>(&v); d && std::isfinite(*d))
            return *d;
        return 0.0;
    }
    return std::isfinite(layer.translationX) ? layer.translationX : 0.0;
}

double GridEngine::pageSlide(const LayerPtr &layer, double target, double velocity, std::function<void()> completion)
{
    const double current = pageOffset(*layer);
    layer->removeAnimation(keys::transform);
    layer->translationX = target;
    if (!m_host.reduceMotion() && std::abs(target - current) > 0.5) {
        Animation slide;
        slide.kind = Animation::Spring;
        slide.keyPath = keys::translationX;
        slide.curve = SpringCurve(kPageMass, kPageStiffness, kPageDamping, pageInitialVelocity(velocity, target, current));
        slide.from = current;
        slide.to = target;
        slide.duration = slide.curve.settlingDuration();
        slide.completion = std::move(completion);
        const double duration = slide.duration;
        addAnimation(layer, QStringLiteral("page"), std::move(slide));
        return duration;
    }
    layer->removeAnimation(QStringLiteral("page"));
    if (completion)
        later(0, std::move(completion));
    return 0.0;
}

void GridEngine::nudge(int step)
{
    if (!m_opened || step == 0)
        return;
    const int index = indexOf(m_opened.get());
    const std::optional<int> next = index >= 0 ? neighbourIndex(m_items, index, step) : std::nullopt;
    if (!next || *next >= int(m_tiles.size()) || *next >= int(m_frames.size())) {
        if (m_staged) {
            m_staged->removeFromSuperlayer();
            m_staged.reset();
        }
        if (!m_host.reduceMotion()) {
            Animation shake;
            shake.kind = Animation::Keyframes;
            shake.keyPath = keys::positionX;
            shake.values = {0.0, -24.0 * step, 0.0};
            shake.duration = 0.25;
            shake.additive = true;
            addAnimation(m_opened, QStringLiteral("nudge"), shake);
        }
        return;
    }
    const int n = *next;
    const LayerPtr neighbour = ensureTile(size_t(n));
    const ScatterItem item = m_items[size_t(n)];
    const QRectF visible = m_host.visibleRect();
    const double travel = visible.width() + 24;

    // 1. Stage the neighbour beside the open tile.
    if (!m_staged || m_staged->name != item.id) {
        if (m_staged)
            m_staged->removeFromSuperlayer();
        m_staged = Layer::make(item.id);
        m_staged->masksToBounds = true;
        m_staged->gravity = Gravity::ResizeAspectFill;
        m_staged->zPosition = 1;
        m_staged->cornerRadius = 2 * config.cornerRadius;
        m_staged->backgroundColor = neighbour->backgroundColor;
        m_staged->contents = neighbour->contents;
        m_staged->contentsKey = neighbour->contentsKey;
        m_root->addSublayer(m_staged);
        requestFull(m_staged, n);
    }
    m_staged->removeAnimation(QStringLiteral("page"));
    m_staged->setTransformIdentity();
    m_staged->setFrame(stageRectFor(n));
    m_staged->translationX = pageOffset(*m_opened) + travel * step;

    // 2. Commit the page.
    const double started = m_clock.now();
    const double velocity = -2.0 * step * travel;
    const double o = pageOffset(*m_opened);
    const double p = pageOffset(*m_staged);
    QRectF kept = m_opened->frame();
    const QImage keptContents = m_opened->contents;
    const QString keptKey = m_opened->contentsKey;
    const LayerPtr staged = m_staged;
    m_staged.reset();
    m_host.removeStageOverlay();
    m_stageOverlayShown = false;
    m_zoom = 1.0;
    m_pan = QPointF();
    if (!visible.contains(m_frames[size_t(n)])) {
        const QRectF frame = m_frames[size_t(n)];
        const double maxY = std::max(0.0, m_documentHeight - visible.height());
        double y = visible.top();
        if (frame.top() < visible.top())
            y = frame.top() - config.gap;
        else if (frame.bottom() > visible.bottom())
            y = frame.bottom() + config.gap - visible.height();
        y = std::clamp(y, 0.0, maxY);
        m_host.scrollTo(y);
        kept.translate(0, m_host.visibleRect().top() - visible.top());
    }
    scatterNeighbours(n, 0.25);

    // 3. Swap: the neighbour takes the stage, the staged layer carries the old
    // image away.
    const LayerPtr old = m_opened;
    neighbour->removeAllAnimations();
    old->removeAllAnimations();
    neighbour->setTransformIdentity();
    old->setTransformIdentity();
    neighbour->setFrame(stageRectFor(n));
    neighbour->translationX = p;
    neighbour->contents = staged->contents;
    neighbour->contentsKey = staged->contentsKey;
    neighbour->opacity = 1;
    neighbour->cornerRadius = 2 * config.cornerRadius;
    // A cross-fade the staged layer began (its sharp image arrived while it
    // waited) is over for the incoming tile, which shows the sharp image; the
    // layer that now carries the old picture away must show that one alone.
    staged->removeAnimation(QStringLiteral("fade"));
    staged->previousContents = QImage();
    staged->setTransformIdentity();
    staged->setFrame(kept);
    staged->contents = keptContents;
    staged->contentsKey = keptKey;
    staged->translationX = o;
    old->opacity = 0;
    old->zPosition = 0;
    old->cornerRadius = config.cornerRadius;
    old->contents = QImage();
    old->contentsKey.clear();
    if (LayerPtr badge = old->sublayerNamed(QStringLiteral("badge")))
        badge->hidden = false;
    old->extendedDynamicRange = false;
    animateOpen(neighbour, false);
    const double D = pageSlide(neighbour, 0, velocity, nullptr);
    std::weak_ptr<Layer> weakStaged = staged;
    std::weak_ptr<int> alive = m_alive;
    pageSlide(staged, o - p, velocity, [this, alive, weakStaged, D, started] {
        if (!alive.lock())
            return;
        if (LayerPtr layer = weakStaged.lock())
            layer->removeFromSuperlayer();
        qCInfo(lcGrid, "pager commit: spring %.*f s, landed in %.*f s", 3, D, 3, m_clock.now() - started);
    });
    updateVisible();
}

// ---------------------------------------------------------------- pointer

LayerPtr GridEngine::tileAt(const QPointF &point) const
{
    for (const auto &tile : m_tiles) {
        if (tile && tile->frame().contains(point))
            return tile;
    }
    return nullptr;
}

std::optional<QString> GridEngine::pressedID() const
{
    if (!m_press)
        return std::nullopt;
    return m_press->tile->name;
}

void GridEngine::mouseMoved(const QPointF &point)
{
    setHover(m_opened ? nullptr : tileAt(point));
}

void GridEngine::setHover(const LayerPtr &tile)
{
    if (tile == m_hovered)
        return;
    const LayerPtr previous = m_hovered;
    m_hovered = tile;
    if (previous) {
        const int index = indexOf(previous.get());
        if (index >= 0 && index < int(m_items.size())) {
            const double rest = scaleFor(previous, m_selected.contains(m_items[size_t(index)].id));
            if (std::abs(previous->scale - rest) > 1e-9)
                animate(previous, keys::scale, rest, config.hover, 0);
        }
        animate(m_pill, keys::opacity, 0.0, config.hover, 0);
        m_host.hideHoverOverlay();
    }
    if (tile) {
        const int index = indexOf(tile.get());
        if (index >= 0) {
            const ScatterItem &item = m_items[size_t(index)];
            animate(tile, keys::scale, scaleFor(tile, m_selected.contains(item.id)), config.hover, 0);
            if (!item.title.isEmpty())
                showPill(tile, item);
            if (m_host.hasHoverOverlay()) {
                m_hoverHostLayer->removeAnimation(keys::opacity);
                m_hoverHostLayer->opacity = 0;
                m_hoverHostLayer->zPosition = 5;
                animate(m_hoverHostLayer, keys::opacity, 1.0, config.hover, 0);
                std::weak_ptr<Layer> weak = tile;
                std::weak_ptr<int> alive = m_alive;
                m_host.showHoverOverlay(item, tile->frame(), [this, alive, weak] {
                    LayerPtr layer = weak.lock();
                    if (alive.lock() && layer)
                        animateOpen(layer, true);
                });
            }
        }
    }
}

double GridEngine::scaleFor(const LayerPtr &tile, bool selected) const
{
    // One table for every path that touches a tile's scale: the stage shows
    // the picture at its own size, the pointer lifts, the selection shrinks.
    if (tile && tile == m_opened)
        return 1.0;
    if (tile && tile == m_hovered)
        return config.hoverScale;
    return selected ? kSelectedScale : 1.0;
}

double GridEngine::hoverOverlayOpacity() const
{
    return m_hoverHostLayer->presentation(m_clock.now()).opacity;
}

void GridEngine::showPill(const LayerPtr &tile, const ScatterItem &item)
{
    const double W = tile->bounds.width(), H = tile->bounds.height();
    QFont subtitleFont = m_pillFont;
    subtitleFont.setPixelSize(12);
    subtitleFont.setWeight(QFont::Normal);
    std::vector<TextRun> runs{{item.title, m_pillFont, Qt::white}};
    if (!item.subtitle.isEmpty())
        runs.push_back({QStringLiteral("  ") + item.subtitle, subtitleFont, QColor(255, 255, 255, int(0.5 * 255))});
    double measured = 0;
    for (const auto &run : runs)
        measured += QFontMetricsF(run.font).horizontalAdvance(run.text);

    const QImage icon = tileIcon ? tileIcon(item.id) : QImage();
    if (!icon.isNull()) {
        m_pillIcon->contents = icon;
        m_pillIcon->gravity = Gravity::ResizeAspect;
        m_pillIcon->backgroundColor = QColor();
        m_pillIcon->cornerRadius = 3.0;
    } else {
        m_pillIcon->contents = m_photoGlyph;
        m_pillIcon->gravity = Gravity::Center;
        m_pillIcon->backgroundColor = QColor(255, 255, 255, int(0.12 * 255));
        m_pillIcon->cornerRadius = 8.0;
    }
    const PillGeometry g = pillGeometry(W, H, measured, item.external);
    m_pillArrow->hidden = !item.external;
    m_pill->backgroundColor = QColor(0, 0, 0, int((item.external ? 0.92 : 0.9) * 255));
    m_pillArrow->setFrame(g.arrow);
    m_pill->setFrame(g.pill);
    m_pillIcon->setFrame(g.icon);
    m_pillText->setFrame(g.text);
    m_pillText->text = std::move(runs);
    m_pillText->elideText = measured > g.room;
    const double scale = m_host.backingScale();
    m_pillText->contentsScale = m_pillIcon->contentsScale = m_pillArrow->contentsScale = scale;
    if (!tile->hasSublayer(m_pill.get())) {
        tile->addSublayer(m_pill);
        m_pill->removeAnimation(keys::opacity);
        m_pill->opacity = 0;
    }
    animate(m_pill, keys::opacity, 1.0, config.hover, 0);
}

void GridEngine::mouseDown(const QPointF &point)
{
    // A press that never completed must not let a later release open it.
    m_press.reset();
    if (m_opened) {
        close();
        return;
    }
    LayerPtr tile = tileAt(point);
    if (!tile) {
        const QStringList old = m_selected;
        m_selected.clear();
        applySelectionMarks(old);
        return;
    }
    m_press = Press{tile, point};
}

void GridEngine::mouseUp(int modifiers)
{
    if (!m_press)
        return;
    const int index = indexOf(m_press->tile.get());
    m_press.reset();
    if (index < 0)
        return;
    const ClickResult result = clickResult(m_items, m_selected, index, modifiers);
    switch (result.action) {
    case ClickResult::Activate:
        if (onActivate)
            onActivate(m_items[size_t(index)].id);
        return;
    case ClickResult::Open:
        animateOpen(ensureTile(size_t(index)), true);
        return;
    case ClickResult::ChangeSelection: {
        const QStringList old = m_selected;
        m_selected = result.selected;
        applySelectionMarks(old);
        return;
    }
    }
}

void GridEngine::selectAll()
{
    if (m_opened)
        return;
    const QStringList old = m_selected;
    m_selected.clear();
    for (const auto &item : m_items)
        m_selected.append(item.id);
    applySelectionMarks(old);
}

void GridEngine::select(const QStringList &ids)
{
    const QStringList old = m_selected;
    m_selected = ids;
    applySelectionMarks(old);
}

void GridEngine::applyMark(int index, bool selected)
{
    const LayerPtr &tile = m_tiles[size_t(index)];
    if (!tile)
        return;
    tile->borderWidth = selected ? 3.0 : 0.0;
    tile->borderColor = kSelectionColour;
    const double scale = scaleFor(tile, selected);
    if (std::abs(tile->scale - scale) > 1e-9)
        animate(tile, keys::scale, scale, config.item, 0);
}

void GridEngine::applySelectionMarks(const QStringList &old, bool all)
{
    m_selectedSet = QSet<QString>(m_selected.begin(), m_selected.end());
    const QSet<QString> &now = m_selectedSet;
    const QSet<QString> before(old.begin(), old.end());
    for (size_t i = 0; i < m_tiles.size() && i < m_items.size(); ++i) {
        if (!m_tiles[i])
            continue;
        const QString &id = m_items[i].id;
        const bool on = now.contains(id);
        if (all || on != before.contains(id))
            applyMark(int(i), on);
    }
    m_host.setNeedsDisplay();
    if (m_selected != old && onSelect)
        onSelect(m_selected);
}

} // namespace zezevaveri
