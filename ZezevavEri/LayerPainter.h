#pragma once
// Paints a layer tree's presentation with QPainter. Tile images are scaled
// and masked to their rounded shape once per size and radius, so a frame at
// rest is a set of blits; while a tile moves its last prepared image is
// stretched instead of prepared again.

#include "Layer.h"

#include <QHash>
#include <QPainter>
#include <QThreadPool>

#include <list>
#include <vector>

namespace zezevaveri {

class TileImageCache {
public:
    explicit TileImageCache(qint64 limitBytes = 256ll * 1024 * 1024);

    // The source scaled to `pixels` with the gravity's crop and rounded
    // corners of `radius` pixels. `exact` false accepts the last prepared
    // image of this source at any size.
    QImage prepared(const QImage &source, QSize pixels, double radius, Gravity gravity, bool exact,
                    double dpr = 1.0);

    struct Request {
        QImage source;
        QSize pixels;
        double radius = 0;
        Gravity gravity = Gravity::ResizeAspectFill;
        bool exact = true;
        double dpr = 1.0;
    };
    // Whether prepared() would answer `request` without preparing.
    bool holds(const Request &request) const;
    // Prepares what `requests` need and is not held yet, several at once on
    // the cache's own threads, so that a frame in which many tiles took a
    // new size (a search that moved them all) costs the main thread a share
    // of the work, not all of it. Returns how many were prepared.
    int prepareAll(const std::vector<Request> &requests);
    // The picture prepared() keeps: pure, safe on any thread.
    static QImage render(const QImage &source, QSize pixels, double radius, Gravity gravity, double dpr);

    qint64 bytes() const { return m_bytes; }
    int count() const { return int(m_entries.size()); }
    void clear();

private:
    struct Entry {
        QImage image;
        QSize pixels;
        double radius = 0;
        Gravity gravity = Gravity::ResizeAspectFill;
        std::list<qint64>::iterator lru;
    };
    void evict();
    void store(const QImage &source, QImage image, QSize pixels, double radius, Gravity gravity);

    qint64 m_limit;
    QThreadPool m_pool;
    qint64 m_bytes = 0;
    QHash<qint64, Entry> m_entries; // by the source image's cache key
    std::list<qint64> m_lru;         // most recent first
};

// Where a source image of size `image` lands in `target` under `gravity`
// (may exceed the target for aspect fill).
QRectF gravityRect(const QSizeF &image, const QRectF &target, Gravity gravity);

class LayerPainter {
public:
    explicit LayerPainter(TileImageCache &cache) : m_cache(cache) {}

    // Paints `root`'s sublayers (and the root's background) at media time
    // `now`. `visible` is the part of root's coordinates to paint; the painter
    // is expected to map it to the device already. `dpr` is the device pixel
    // ratio of the target.
    void paint(QPainter &painter, const Layer &root, double now, const QRectF &visible, double dpr);
    // Paints only `layers` (sublayers of `root`), in their order for equal
    // z positions; for large trees whose owner knows what can be seen.
    void paint(QPainter &painter, const Layer &root, const std::vector<const Layer *> &layers, double now,
               const QRectF &visible, double dpr);

private:
    void paintLayer(QPainter &painter, const Layer &layer, const Layer *parent, double now, double dpr,
                    const QRectF *cull);
    void paintContents(QPainter &painter, const Layer &layer, const QRectF &rect, double radius, double dpr,
                       bool moving, double now);
    // Prepares up front, together, the pictures the plain tiles among
    // `order` are about to ask for.
    void prepareAhead(const Layer &root, const std::vector<const Layer *> &order, double now, const QRectF &visible,
                      double dpr);

    TileImageCache &m_cache;
};

} // namespace zezevaveri
