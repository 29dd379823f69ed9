#include "LayerPainter.h"

#include <QFontMetricsF>
#include <QPainterPath>
#include <QRegion>
#include <QSemaphore>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>

namespace zezevaveri {

namespace {
// How far a prepared picture may be stretched while it moves before the
// decoded picture is drawn instead.
constexpr double kLargestStretch = 0.8;

bool sameShape(const QImage &image, QSize pixels, double dpr, double radius, Gravity gravity, QSize heldPixels,
               double heldRadius, Gravity heldGravity)
{
    return heldPixels == pixels && image.devicePixelRatio() == dpr && std::abs(heldRadius - radius) < 0.25 &&
           heldGravity == gravity;
}

// What a layer looks like at a moment, as the painter draws it.
struct Look {
    LayerState state;
    QRectF visual;
    double radius = 0;
    bool moving = false;
    bool plain = false;
};

std::optional<Look> lookOf(const Layer &layer, const Layer *parent, double now, const QRectF *cull)
{
    if (layer.hidden)
        return std::nullopt;
    const bool animated = layer.hasAnimations();
    Look look;
    look.state = animated ? layer.presentation(now)
                          : LayerState{layer.position, layer.bounds, layer.opacity, layer.cornerRadius,
                                       layer.scale, layer.translationX, layer.rotation};
    const LayerState &s = look.state;
    if (s.opacity <= 0.002)
        return std::nullopt;
    if (layer.centredInSuperlayer && parent)
        look.state.position = QPointF(parent->bounds.width() / 2, parent->bounds.height() / 2);
    look.visual = s.visualFrame();
    if (look.visual.isEmpty())
        return std::nullopt;
    if (cull && !look.visual.intersects(*cull))
        return std::nullopt;
    look.moving = animated && layer.isReshaping(now);
    look.radius = std::max(0.0, s.cornerRadius) * s.scale;
    look.plain = std::abs(s.rotation) < 1e-9 && layer.sublayers().empty() && layer.text.empty() && !layer.isSpinner;
    return look;
}

QSize devicePixels(const QRectF &rect, double dpr)
{
    return QSize(std::max(1, int(std::lround(rect.width() * dpr))), std::max(1, int(std::lround(rect.height() * dpr))));
}
} // namespace

TileImageCache::TileImageCache(qint64 limitBytes) : m_limit(limitBytes)
{
    m_pool.setObjectName(QStringLiteral("zezevaveri.prepare"));
    // The main thread takes its share, so a few helpers are enough.
    m_pool.setMaxThreadCount(std::clamp(QThread::idealThreadCount() - 1, 1, 3));
}

QRectF gravityRect(const QSizeF &image, const QRectF &target, Gravity gravity)
{
    if (image.isEmpty() || target.isEmpty())
        return target;
    if (gravity == Gravity::Center) {
        QRectF r(QPointF(), image);
        r.moveCenter(target.center());
        return r;
    }
    const double sx = target.width() / image.width(), sy = target.height() / image.height();
    const double s = gravity == Gravity::ResizeAspectFill ? std::max(sx, sy) : std::min(sx, sy);
    QRectF r(0, 0, image.width() * s, image.height() * s);
    r.moveCenter(target.center());
    return r;
}

void TileImageCache::clear()
{
    m_entries.clear();
    m_lru.clear();
    m_bytes = 0;
}

void TileImageCache::evict()
{
    while (m_bytes > m_limit && !m_lru.empty()) {
        const qint64 key = m_lru.back();
        m_lru.pop_back();
        auto it = m_entries.find(key);
        if (it != m_entries.end()) {
            m_bytes -= it->image.sizeInBytes();
            m_entries.erase(it);
        }
    }
}

QImage TileImageCache::prepared(const QImage &source, QSize pixels, double radius, Gravity gravity, bool exact,
                                double dpr)
{
    if (source.isNull() || pixels.isEmpty())
        return {};
    const qint64 key = source.cacheKey();
    auto it = m_entries.find(key);
    if (it != m_entries.end()) {
        if (!exact || sameShape(it->image, pixels, dpr, radius, gravity, it->pixels, it->radius, it->gravity)) {
            m_lru.splice(m_lru.begin(), m_lru, it->lru);
            return it->image;
        }
    }
    QImage out = render(source, pixels, radius, gravity, dpr);
    store(source, out, pixels, radius, gravity);
    return out;
}

bool TileImageCache::holds(const Request &r) const
{
    if (r.source.isNull() || r.pixels.isEmpty())
        return true;
    const auto it = m_entries.constFind(r.source.cacheKey());
    if (it == m_entries.cend())
        return false;
    return !r.exact || sameShape(it->image, r.pixels, r.dpr, r.radius, r.gravity, it->pixels, it->radius, it->gravity);
}

int TileImageCache::prepareAll(const std::vector<Request> &requests)
{
    std::vector<const Request *> todo;
    QSet<qint64> seen;
    for (const Request &r : requests) {
        // One picture per source is kept; its first request wins.
        if (!holds(r) && !seen.contains(r.source.cacheKey())) {
            seen.insert(r.source.cacheKey());
            todo.push_back(&r);
        }
    }
    if (todo.empty())
        return 0;
    std::vector<QImage> out(todo.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < todo.size(); i = next++)
            out[i] = render(todo[i]->source, todo[i]->pixels, todo[i]->radius, todo[i]->gravity, todo[i]->dpr);
    };
    // The helpers only take pictures nobody has started; the wait at the end
    // is for at most the ones they hold, each a fraction of a millisecond.
    const int helpers = int(std::min<size_t>(todo.size() - 1, size_t(m_pool.maxThreadCount())));
    QSemaphore finished;
    for (int h = 0; h < helpers; ++h) {
        m_pool.start([&] {
            work();
            finished.release();
        });
    }
    work();
    finished.acquire(helpers);
    for (size_t i = 0; i < todo.size(); ++i)
        store(todo[i]->source, out[i], todo[i]->pixels, todo[i]->radius, todo[i]->gravity);
    return int(todo.size());
}

QImage TileImageCache::render(const QImage &source, QSize pixels, double radius, Gravity gravity, double dpr)
{
    if (source.isNull() || pixels.isEmpty())
        return {};
    // Scale with area averaging first (good for the large downscales of
    // thumbnails), then cut the rounded shape with an antialiased mask.
    // A centred glyph keeps its own size in points, whatever its pixels.
    const QSizeF natural = gravity == Gravity::Center
                               ? QSizeF(source.size()) / std::max(0.01, source.devicePixelRatio()) * dpr
                               : QSizeF(source.size());
    const QRectF placed = gravityRect(natural, QRectF(QPointF(), QSizeF(pixels)), gravity);
    QImage out(pixels, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    {
        const QSize scaledSize(std::max(1, int(std::lround(placed.width()))), std::max(1, int(std::lround(placed.height()))));
        QImage scaled = source.scaled(scaledSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        // The scaled copy keeps the source's pixel ratio; here it is drawn
        // pixel for pixel.
        scaled.setDevicePixelRatio(1.0);
        QPainter p(&out);
        p.drawImage(QPointF(std::round(placed.x()), std::round(placed.y())), scaled);
        if (radius > 0.01) {
            // Only the corners are cut: where they do not meet, every pixel
            // between them is covered whole and the mask would leave it as
            // it is, so it is applied to the four corner squares alone.
            const int corner = int(std::ceil(radius)) + 1;
            const bool apart = 2 * corner <= pixels.width() && 2 * corner <= pixels.height();
            const int w = pixels.width(), h = pixels.height();
            const QRect corners[4] = {QRect(0, 0, corner, corner), QRect(w - corner, 0, corner, corner),
                                      QRect(0, h - corner, corner, corner), QRect(w - corner, h - corner, corner, corner)};
            QImage mask(pixels, QImage::Format_ARGB32_Premultiplied);
            mask.fill(Qt::transparent);
            QPainter m(&mask);
            if (apart) {
                QRegion clip;
                for (const QRect &r : corners)
                    clip += r;
                m.setClipRegion(clip);
            }
            m.setRenderHint(QPainter::Antialiasing);
            m.setPen(Qt::NoPen);
            m.setBrush(Qt::black);
            m.drawRoundedRect(QRectF(QPointF(), QSizeF(pixels)), radius, radius);
            m.end();
            p.setCompositionMode(QPainter::CompositionMode_DestinationIn);
            if (apart) {
                for (const QRect &r : corners)
                    p.drawImage(r.topLeft(), mask, r);
            } else {
                p.drawImage(0, 0, mask);
            }
        }
    }
    out.setDevicePixelRatio(dpr);
    return out;
}

void TileImageCache::store(const QImage &source, QImage image, QSize pixels, double radius, Gravity gravity)
{
    const qint64 key = source.cacheKey();
    if (auto it = m_entries.find(key); it != m_entries.end()) {
        m_bytes -= it->image.sizeInBytes();
        m_lru.erase(it->lru);
        m_entries.erase(it);
    }
    m_lru.push_front(key);
    const qint64 size = image.sizeInBytes();
    m_entries.insert(key, Entry{std::move(image), pixels, radius, gravity, m_lru.begin()});
    m_bytes += size;
    evict();
}

void LayerPainter::paint(QPainter &painter, const Layer &root, double now, const QRectF &visible, double dpr)
{
    std::vector<const Layer *> order;
    order.reserve(root.sublayers().size());
    for (const auto &l : root.sublayers())
        order.push_back(l.get());
    paint(painter, root, order, now, visible, dpr);
}

void LayerPainter::paint(QPainter &painter, const Layer &root, const std::vector<const Layer *> &layers, double now,
                         const QRectF &visible, double dpr)
{
    if (root.backgroundColor.isValid())
        painter.fillRect(visible, root.backgroundColor);
    std::vector<const Layer *> order = layers;
    std::stable_sort(order.begin(), order.end(), [](const Layer *a, const Layer *b) { return a->zPosition < b->zPosition; });
    prepareAhead(root, order, now, visible, dpr);
    for (const Layer *layer : order)
        paintLayer(painter, *layer, &root, now, dpr, &visible);
}

void LayerPainter::prepareAhead(const Layer &root, const std::vector<const Layer *> &order, double now,
                                const QRectF &visible, double dpr)
{
    // The same requests paintContents() makes for plain tiles; anything
    // else prepares its picture as it paints.
    std::vector<TileImageCache::Request> requests;
    for (const Layer *layer : order) {
        if (layer->contents.isNull())
            continue;
        const std::optional<Look> look = lookOf(*layer, &root, now, &visible);
        if (!look || !look->plain)
            continue;
        TileImageCache::Request r;
        r.pixels = devicePixels(look->visual, dpr);
        r.radius = layer->masksToBounds ? look->radius * dpr : 0.0;
        r.gravity = layer->gravity;
        r.exact = !look->moving;
        r.dpr = dpr;
        if (const Animation *fade = layer->animation(QStringLiteral("fade")); fade && !fade->finished(now)) {
            r.source = layer->previousContents;
            requests.push_back(r);
        }
        r.source = layer->contents;
        requests.push_back(r);
    }
    m_cache.prepareAll(requests);
}

void LayerPainter::paintLayer(QPainter &painter, const Layer &layer, const Layer *parent, double now, double dpr,
                              const QRectF *cull)
{
    const std::optional<Look> look = lookOf(layer, parent, now, cull);
    if (!look)
        return;
    const LayerState &s = look->state;
    const QRectF &visual = look->visual;
    const bool moving = look->moving;

    const double previousOpacity = painter.opacity();
    painter.setOpacity(previousOpacity * std::clamp(s.opacity, 0.0, 1.0));
    const double radius = look->radius;

    if (look->plain) {
        // Tiles: draw straight into the visual frame, without a transform.
        // A picture that fills the tile hides the placeholder; a glyph or an
        // icon that leaves room shows the background around it.
        if (layer.backgroundColor.isValid() && (layer.contents.isNull() || layer.gravity != Gravity::ResizeAspectFill)) {
            if (radius > 0.01) {
                painter.setRenderHint(QPainter::Antialiasing, true);
                painter.setPen(Qt::NoPen);
                painter.setBrush(layer.backgroundColor);
                painter.drawRoundedRect(visual, radius, radius);
            } else {
                painter.fillRect(visual, layer.backgroundColor);
            }
        }
        paintContents(painter, layer, visual, radius, dpr, moving, now);
        if (layer.borderWidth > 0 && layer.borderColor.isValid()) {
            painter.setRenderHint(QPainter::Antialiasing, true);
            painter.setPen(QPen(layer.borderColor, layer.borderWidth * s.scale));
            painter.setBrush(Qt::NoBrush);
            const double inset = layer.borderWidth * s.scale / 2;
            painter.drawRoundedRect(visual.adjusted(inset, inset, -inset, -inset), std::max(0.0, radius - inset),
                                    std::max(0.0, radius - inset));
        }
        painter.setOpacity(previousOpacity);
        return;
    }

    painter.save();
    painter.translate(visual.topLeft());
    painter.scale(s.scale, s.scale);
    const QRectF local(0, 0, s.bounds.width(), s.bounds.height());
    if (std::abs(s.rotation) > 1e-9) {
        painter.translate(local.center());
        painter.rotate(s.rotation * 180.0 / M_PI);
        painter.translate(-local.center());
    }
    const double localRadius = std::max(0.0, s.cornerRadius);
    if (layer.backgroundColor.isValid() && (layer.contents.isNull() || layer.gravity != Gravity::ResizeAspectFill)) {
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setPen(Qt::NoPen);
        painter.setBrush(layer.backgroundColor);
        painter.drawRoundedRect(local, localRadius, localRadius);
    }
    if (!layer.contents.isNull()) {
        const double scaleNow = painter.transform().m11();
        if (layer.masksToBounds && layer.gravity == Gravity::ResizeAspectFill) {
            paintContents(painter, layer, local, localRadius, dpr * scaleNow, moving, now);
        } else {
            const QSizeF natural = QSizeF(layer.contents.size()) / std::max(1.0, layer.contents.devicePixelRatio());
            const QRectF target = gravityRect(natural, local, layer.gravity);
            painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
            painter.drawImage(target, layer.contents);
        }
    }
    if (!layer.text.empty()) {
        painter.setRenderHint(QPainter::TextAntialiasing, true);
        double x = 0;
        const double width = local.width();
        for (const TextRun &run : layer.text) {
            const double room = width - x;
            if (room <= 0)
                break;
            const QFontMetricsF metrics(run.font);
            const QString shown = layer.elideText ? metrics.elidedText(run.text, Qt::ElideRight, room) : run.text;
            painter.setFont(run.font);
            painter.setPen(run.color);
            painter.drawText(QRectF(x, 0, room, local.height()),
                             Qt::AlignLeft | Qt::AlignVCenter | (layer.elideText ? 0 : Qt::TextDontClip), shown);
            if (shown != run.text)
                break;
            x += metrics.horizontalAdvance(run.text);
        }
    }
    if (layer.isSpinner) {
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setPen(QPen(layer.strokeColor, layer.lineWidth, Qt::SolidLine, Qt::RoundCap));
        painter.setBrush(Qt::NoBrush);
        painter.drawArc(local.adjusted(1, 1, -1, -1), 0, int(-std::clamp(layer.strokeEnd, 0.0, 1.0) * 360 * 16));
    }
    if (layer.borderWidth > 0 && layer.borderColor.isValid()) {
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setPen(QPen(layer.borderColor, layer.borderWidth));
        painter.setBrush(Qt::NoBrush);
        const double inset = layer.borderWidth / 2;
        painter.drawRoundedRect(local.adjusted(inset, inset, -inset, -inset), std::max(0.0, localRadius - inset),
                                std::max(0.0, localRadius - inset));
    }
    if (!layer.sublayers().empty()) {
        std::vector<const Layer *> order;
        for (const auto &l : layer.sublayers())
            order.push_back(l.get());
        std::stable_sort(order.begin(), order.end(), [](const Layer *a, const Layer *b) { return a->zPosition < b->zPosition; });
        for (const Layer *sub : order)
            paintLayer(painter, *sub, &layer, now, dpr, nullptr);
    }
    painter.restore();
    painter.setOpacity(previousOpacity);
}

void LayerPainter::paintContents(QPainter &painter, const Layer &layer, const QRectF &rect, double radius, double dpr,
                                 bool moving, double now)
{
    if (layer.contents.isNull())
        return;
    auto draw = [&](const QImage &source, double opacity) {
        if (source.isNull() || opacity <= 0)
            return;
        const QSize pixels = devicePixels(rect, dpr);
        const double r = layer.masksToBounds ? radius * dpr : 0.0;
        const QImage image = m_cache.prepared(source, pixels, r, layer.gravity, !moving, dpr);
        const double previous = painter.opacity();
        painter.setOpacity(previous * opacity);
        if (image.size() == pixels && !moving) {
            painter.drawImage(QPointF(std::round(rect.x() * dpr) / dpr, std::round(rect.y() * dpr) / dpr), image);
        } else if (image.width() >= pixels.width() * kLargestStretch && image.height() >= pixels.height() * kLargestStretch) {
            // In motion the last prepared picture stands in, filtered.
            painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
            painter.drawImage(rect, image);
        } else {
            // Far larger than anything prepared (a tile growing onto the
            // stage): the decoded picture itself, filtered and cut to shape.
            painter.save();
            painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
            if (r > 0.01) {
                painter.setRenderHint(QPainter::Antialiasing, true);
                QPainterPath shape;
                shape.addRoundedRect(rect, radius, radius);
                painter.setClipPath(shape, Qt::IntersectClip);
            } else if (layer.masksToBounds) {
                painter.setClipRect(rect, Qt::IntersectClip);
            }
            const QSizeF natural = layer.gravity == Gravity::Center
                                       ? QSizeF(source.size()) / std::max(0.01, source.devicePixelRatio())
                                       : QSizeF(source.size());
            painter.drawImage(gravityRect(natural, rect, layer.gravity), source);
            painter.restore();
        }
        painter.setOpacity(previous);
    };
    if (const Animation *fade = layer.animation(QStringLiteral("fade")); fade && !fade->finished(now)) {
        const double f = fade->fraction(now);
        draw(layer.previousContents, 1.0);
        draw(layer.contents, f);
        return;
    }
    draw(layer.contents, 1.0);
}

} // namespace zezevaveri
