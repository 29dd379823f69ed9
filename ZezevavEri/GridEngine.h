#pragma once
// Everything the grid view does, without a window: tiles rebuilt by id, the
// justified layout with its glide, opening onto the stage, the neighbour push,
// the pager, hover and its pill, clicks and selection, and the decode-ahead.
// The view supplies a GridHost (its size, scrolling, the widgets it owns) and
// paints the layer tree at the clock's time.

#include "Decoder.h"
#include "Geometry.h"
#include "GridClock.h"
#include "Layer.h"

#include <QCache>
#include <QHash>
#include <QLoggingCategory>
#include <QSet>
#include <QUrl>

#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

namespace zezevaveri {

Q_DECLARE_LOGGING_CATEGORY(lcGrid)

// What the engine needs of the view around it. Coordinates are the
// document's: the origin is the top left of the first row's area.
class GridHost {
public:
    virtual ~GridHost() = default;
    virtual double width() const = 0;
    // The part of the document on screen.
    virtual QRectF visibleRect() const = 0;
    virtual void setDocumentHeight(double height) = 0;
    // Scrolls so that the visible top is `y` (already clamped).
    virtual void scrollTo(double y) = 0;
    virtual double backingScale() const { return 2.0; }
    virtual bool reduceMotion() const { return false; }
    // Height the header wants, or a negative value without a header.
    virtual double headerHeight() const { return -1; }
    virtual void setHeaderFrame(const QRectF &) {}
    virtual void fadeHeader(double /*alpha*/) {}
    virtual void showStageOverlay(const QRectF &, bool /*hidden*/) {}
    virtual void removeStageOverlay() {}
    virtual bool hasHoverOverlay() const { return false; }
    virtual void showHoverOverlay(const ScatterItem &, const QRectF &, std::function<void()> /*open*/) {}
    virtual void hideHoverOverlay() {}
    virtual void setAccessibilityIdentifier(const QString &) {}
    // Something visible changed; repaint when convenient.
    virtual void setNeedsDisplay() {}
};

class GridEngine {
public:
    GridEngine(GridHost &host, GridClock &clock = GridClock::system(), ImageDecoder *decoder = nullptr);
    ~GridEngine();
    GridEngine(const GridEngine &) = delete;
    GridEngine &operator=(const GridEngine &) = delete;

    // Settings and callbacks.
    ScatterConfig config;
    ContentSource content;
    std::function<void(const std::optional<QString> &)> onOpen;
    std::function<void(const QString &)> onActivate;
    std::function<void(const QStringList &)> onSelect;
    std::function<QImage(const QString &)> tileIcon;

    // Items: setting them rebuilds the tiles by id against the old list.
    const std::vector<ScatterItem> &items() const { return m_items; }
    void setItems(std::vector<ScatterItem> items);
    // The same change told by id: the `removed` ids leave, then each of
    // `inserted` takes its position in the new list, lowest first. An id in
    // both keeps its tile (moved, or with its new description); the others
    // stay as they are. Costs the changed items, not the whole list.
    void applyChanges(const QStringList &removed, const std::vector<std::pair<size_t, ScatterItem>> &inserted);
    // The same told by position, for changes of any size (a search over a
    // large library): `removed` are indexes into the current list,
    // ascending; then each of `inserted` takes its index in the new list,
    // ascending. No id may be in both, nor twice in the new list. Costs one
    // pass over the list, and only the tiles that exist are touched.
    // The items that leave are moved into `leaving`, in order, when given:
    // a caller that keeps them for later spares the copies. The items of
    // `inserted` are moved out; the list stays the caller's, so that its
    // memory can serve the next change instead of being faulted in anew.
    void applyPositionalChange(const std::vector<size_t> &removed,
                               std::vector<std::pair<size_t, ScatterItem>> &&inserted,
                               std::vector<ScatterItem> *leaving = nullptr);

    // Room for the lists a change by position builds over `count` items,
    // made on any thread with its memory already touched: faulting in tens
    // of megabytes on the first change of a large list stalls a frame.
    struct SpareRoom {
        std::vector<ScatterItem> items;
        std::vector<double> aspects;
        std::vector<LayerPtr> tiles;
    };
    static SpareRoom makeSpareRoom(size_t count);
    // Takes each list that holds more than the one kept for the next change.
    void adoptSpareRoom(SpareRoom &&room);
    // How many items the lists kept for the next change hold without growing.
    size_t spareRoom() const;

    void layout();
    // Layouts before this media time glide.
    void setGlideUntil(double time) { m_glideUntil = time; }
    double glideUntil() const { return m_glideUntil; }

    void open(const QString &id);
    void close();
    void nudge(int step);
    void nudgeForward() { nudge(+1); }
    void nudgeBack() { nudge(-1); }
    void scrollTo(const QString &id);
    std::optional<QString> focusedID() const;

    // Pointer. Points are in document coordinates.
    void mouseMoved(const QPointF &point);
    void mouseExited() { setHover(nullptr); }
    void mouseDown(const QPointF &point);
    void mouseUp(int modifiers);
    // A drag began from the press: the press is spent.
    void dragStarted() { m_press.reset(); }
    void selectAll();
    void select(const QStringList &ids);
    const QStringList &selected() const { return m_selected; }
    LayerPtr tileAt(const QPointF &point) const;
    // Index range [first, last) of the tiles laid out in the visible area.
    std::pair<size_t, size_t> visibleRange() const;
    std::optional<QString> pressedID() const;

    // The visible area moved (scrolling, resizing).
    void visibleChanged() { updateVisible(); }
    void updateVisible();

    // State, for the view and for tests. A tile is made once its place comes
    // near the visible area (the decode-ahead band) and kept from then on;
    // until then its entry in tiles() is null.
    const LayerPtr &rootLayer() const { return m_root; }
    const std::vector<LayerPtr> &tiles() const { return m_tiles; }
    const std::vector<QRectF> &frames() const { return m_frames; }
    LayerPtr layer(const QString &id) const { return m_layers.value(id); }
    const LayerPtr &hovered() const { return m_hovered; }
    const LayerPtr &opened() const { return m_opened; }
    const LayerPtr &staged() const { return m_staged; }
    const LayerPtr &pill() const { return m_pill; }
    // Opacity of the host's hover overlay now: it fades in on the hover spring.
    double hoverOverlayOpacity() const;
    const std::optional<QString> &pendingOpen() const { return m_pendingOpen; }
    const QSet<QString> &fading() const { return m_fading; }
    double documentHeight() const { return m_documentHeight; }
    double scrollDir() const { return m_scrollDir; }
    int pendingDecodes() const { return int(m_pending.size()); }
    double zoom() const { return m_zoom; }
    GridClock &clock() const { return m_clock; }
    GridHost &host() const { return m_host; }
    int indexOf(const Layer *tile) const;
    int indexOf(const QString &id) const;
    QRectF stageRectFor(int index) const;

    // The root's sublayers that can show in `visible`: the tiles laid out
    // there, everything that moves, and the opened and staged layers.
    std::vector<const Layer *> layersToPaint(const QRectF &visible) const;

    // Animation bookkeeping: whether anything moves now, and running the
    // completions of finished animations (the clock calls it on its own).
    bool isAnimating() const;
    void reap();

    // Keyed spring on a layer: sets the model value and animates from the
    // current presentation, so that the spring plays out in `duration`
    // seconds (its own settling time for 0). Under reduce motion everything
    // but opacity jumps.
    void animate(const LayerPtr &layer, const QString &keyPath, const Value &value, const SpringMotion &spring,
                 double duration, std::function<void()> completion = {});
    void addAnimation(const LayerPtr &layer, const QString &key, Animation animation);

    // The scale a selected tile rests at.
    static constexpr double kSelectedScale = 0.96;
    static inline const QColor kSelectionColour = QColor(10, 132, 255);
    static inline const QColor kPlaceholderColour = QColor(44, 44, 46);

private:
    void rebuildTiles(const std::vector<ScatterItem> &old);
    // A tile whose item left fades out and is then dropped.
    void fadeOut(const QString &id, const LayerPtr &tile, int revision);
    // A new tile for an item, or the one still fading out under its id.
    LayerPtr takeTile(const QString &id);
    // The tile at `index`, made now if it was not yet.
    const LayerPtr &ensureTile(size_t index);
    // A tile whose item left: faded out where it can be seen, else dropped.
    void dropTile(const QString &id, const LayerPtr &tile, int revision);
    // Frames, header frame and document height for the current width.
    double layoutFrames();
    void setSpinner(const LayerPtr &tile, bool on);
    void setHover(const LayerPtr &tile);
    void showPill(const LayerPtr &tile, const ScatterItem &item);
    void animateOpen(const LayerPtr &tile, bool animated);
    // The open tile onto the stage of the current visible area.
    void restage();
    // The scale a tile rests at in its state (opened, hovered, selected).
    double scaleFor(const LayerPtr &tile, bool selected) const;
    void scatterNeighbours(int index, std::optional<double> duration);
    void applySelectionMarks(const QStringList &old, bool all = false);
    void applyMark(int index, bool selected);
    QRectF currentLoadRect() const;
    double pageOffset(const Layer &layer) const;
    double pageSlide(const LayerPtr &layer, double target, double velocity, std::function<void()> completion);
    void requestFull(const LayerPtr &target, int index);
    void showFull(const LayerPtr &target, const QString &key, const QImage &image);
    QString thumbnailKey(const ScatterItem &item) const;
    QString fullKey(const ScatterItem &item) const;
    void scheduleReap(double endTime);
    void cancelDecode(const QString &key);
    void later(double delay, std::function<void()> work);
    // Index range [first, last) of the laid-out frames that reach [top, bottom].
    std::pair<size_t, size_t> frameRange(double top, double bottom) const;

    GridHost &m_host;
    GridClock &m_clock;
    std::unique_ptr<ImageDecoder> m_ownDecoder;
    ImageDecoder *m_decoder;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);

    std::vector<ScatterItem> m_items;
    // The lists before the last change by position, kept for the next one
    // so that it does not take fresh memory each time.
    std::vector<ScatterItem> m_spareItems;
    std::vector<double> m_spareAspects;
    std::vector<LayerPtr> m_spareTiles;
    std::vector<double> m_aspects; // of m_items, kept compact for the layout
    QStringList m_selected;
    std::vector<LayerPtr> m_tiles;
    std::vector<QRectF> m_frames;
    // The frames from this index on are out of date; those before it hold
    // for the geometry the layout last used.
    size_t m_layoutFrom = 0;
    struct LaidGeometry {
        double width = -1, header = 0, rowHeight = 0, gap = 0;
        bool operator==(const LaidGeometry &) const = default;
    } m_laid;
    QSet<QString> m_selectedSet;
    QHash<QString, LayerPtr> m_layers;
    LayerPtr m_root;
    LayerPtr m_hovered, m_opened, m_staged;
    bool m_glide = false;
    bool m_layoutSkipped = false;
    double m_glideUntil = 0;
    double m_zoom = 1.0;
    QPointF m_pan;
    QHash<QString, quint64> m_pending;
    QSet<QString> m_failed;
    double m_lastY = 0;
    double m_scrollDir = 0;
    struct Press {
        LayerPtr tile;
        QPointF at;
    };
    std::optional<Press> m_press;
    LayerPtr m_pill, m_pillIcon, m_pillText, m_pillArrow;
    LayerPtr m_hoverHostLayer = Layer::make(QStringLiteral("hoverHost"));
    QFont m_pillFont;
    QImage m_photoGlyph;
    QSet<QString> m_fading;
    QHash<QString, LayerPtr> m_fadingLayers;
    std::optional<QString> m_pendingOpen;
    double m_documentHeight = 0;
    // Index range of the tiles that may hold decoded pixels.
    size_t m_holdLo = 0, m_holdHi = 0;

    QCache<QString, QImage> m_thumbnails;
    QCache<QString, QImage> m_fullImages;
    // Longest side last asked for, by full-resolution key.
    QHash<QString, double> m_fullAsked;
    bool m_stageOverlayShown = false;
    std::unordered_map<Layer *, std::weak_ptr<Layer>> m_animated;
    quint64 m_reapTicket = 0;
    double m_reapAt = 0;
};

// Procedural stand-ins for the pill's glyphs.
QImage photoGlyphImage(double scale);
QImage arrowGlyphImage(double scale);

} // namespace zezevaveri
