#pragma once
// The grid as a widget: a vertical scroll area whose viewport paints the
// engine's layer tree at the clock's time. It ticks only while something
// moves; at rest a frame is a set of blits of pre-masked tile images. It
// works without a window too (resize it and call layout()).

#include "GridEngine.h"
#include "LayerPainter.h"

#include <QAbstractScrollArea>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <optional>

class QGraphicsOpacityEffect;
class QKeyEvent;
class QMimeData;
class QMenu;
class QPropertyAnimation;

namespace zezevaveri {

// Hosts a hover overlay; presses on its empty parts fall through to the grid.
class PassthroughHost : public QWidget {
public:
    explicit PassthroughHost(QWidget *parent = nullptr);
    void setContent(QWidget *content);
    QWidget *content() const { return m_content; }

private:
    QPointer<QWidget> m_content;
};

class ScatterGridView : public QAbstractScrollArea, private GridHost {
    Q_OBJECT
public:
    explicit ScatterGridView(QWidget *parent = nullptr, GridClock &clock = GridClock::system(),
                             ImageDecoder *decoder = nullptr);
    // A view with the given geometry, as the self-check makes one.
    explicit ScatterGridView(const QRect &frame, QWidget *parent = nullptr);
    ~ScatterGridView() override;

    const ScatterConfig &config() const { return m_engine.config; }
    void setConfig(const ScatterConfig &config);

    QList<ScatterItem> items() const;
    // Whether the view shows exactly `items`, compared in place.
    bool showsItems(const QList<ScatterItem> &items) const;
    // Stores the list and rebuilds the tiles against the old one.
    void setItems(const QList<ScatterItem> &items);
    // The same by id: `removed` leave, then each of `inserted` takes its
    // position, lowest first (see GridEngine::applyChanges).
    void applyChanges(const QStringList &removed, const std::vector<std::pair<size_t, ScatterItem>> &inserted);
    // The same by position (see GridEngine::applyPositionalChange).
    void applyPositionalChange(const std::vector<size_t> &removed, std::vector<std::pair<size_t, ScatterItem>> &&inserted,
                               std::vector<ScatterItem> *leaving = nullptr);

    // Lays the tiles out for the current width (and replays a pending open).
    void layout();
    // Lays out on the next turn of the event loop.
    void setNeedsLayout();
    // Whether a layout asked for is still to come.
    bool layoutPending() const { return m_layoutPosted; }

    void open(const QString &id);
    void close();
    void nudge(int step) { m_engine.nudge(step); }
    void nudgeForward() { m_engine.nudgeForward(); }
    void nudgeBack() { m_engine.nudgeBack(); }
    void scrollTo(const QString &id) { m_engine.scrollTo(id); }
    void select(const QStringList &ids) { m_engine.select(ids); }
    void selectAll() { m_engine.selectAll(); }
    QStringList selected() const { return m_engine.selected(); }
    std::optional<QString> focusedID() const { return m_engine.focusedID(); }
    std::optional<QString> pendingOpen() const { return m_engine.pendingOpen(); }

    // Layouts during the next `seconds` glide tiles to their new places.
    void glideFor(double seconds);
    void setReduceMotion(bool on) { m_reduceMotion = on; }
    bool reduceMotion() const override { return m_reduceMotion; }

    QWidget *headerView() const { return m_header; }
    // Takes the header as a child of the viewport; the old one is released
    // to no parent and hidden.
    void setHeaderView(QWidget *header);
    QWidget *stageOverlay() const { return m_stageOverlay; }
    // The host of the hover overlay (a child of the viewport).
    PassthroughHost *hoverHost() const { return m_hoverHost; }
    void setStageOverlay(QWidget *overlay);

    // Callbacks. `content` runs on the decode pool.
    void setContent(ContentSource content) { m_engine.content = std::move(content); }
    std::function<void(const std::optional<QString> &)> onOpen;
    std::function<void(const QString &)> onActivate;
    std::function<void(const QStringList &)> onSelect;
    std::function<void(const QString &)> onDelete;
    std::function<void(const QList<QUrl> &)> onDropURLs;
    std::function<void()> onPaste;
    std::function<bool(QKeyEvent *, const std::optional<QString> &)> onKey;
    std::function<QMenu *(const QString &)> tileMenu;
    std::function<QUrl(const QString &)> dragURL;
    // What a drag of the tile carries, when set (the caller's object, or
    // null for no drag); else the dragURL alone.
    std::function<QMimeData *(const QString &)> dragData;
    void setTileIcon(std::function<QImage(const QString &)> icon) { m_engine.tileIcon = std::move(icon); }
    std::function<QWidget *(const ScatterItem &, std::function<void()> open)> hoverOverlay;

    GridEngine &engine() { return m_engine; }
    const GridEngine &engine() const { return m_engine; }
    QString accessibilityIdentifier() const { return m_accessibilityIdentifier; }
    // Whether frames are being ticked (only while something moves).
    bool isTicking() const { return m_ticker.isActive(); }
    // The viewport's contents at the clock's time, drawn off screen.
    QImage renderFrame();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool viewportEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // GridHost
    double width() const override;
    QRectF visibleRect() const override;
    void setDocumentHeight(double height) override;
    void scrollTo(double y) override;
    double backingScale() const override;
    double headerHeight() const override;
    void setHeaderFrame(const QRectF &frame) override;
    void fadeHeader(double alpha) override;
    void showStageOverlay(const QRectF &frame, bool hidden) override;
    void removeStageOverlay() override;
    bool hasHoverOverlay() const override { return bool(hoverOverlay); }
    void showHoverOverlay(const ScatterItem &item, const QRectF &frame, std::function<void()> open) override;
    void hideHoverOverlay() override;
    void setAccessibilityIdentifier(const QString &id) override;
    void setNeedsDisplay() override;

    void init();
    void ensureGeometry() const;
    double scrollY() const;
    QPointF documentPoint(const QPoint &viewportPoint) const;
    void placeChildren();
    void followPointer();
    void tick();

    GridEngine m_engine;
    TileImageCache m_imageCache;
    LayerPainter m_painter{m_imageCache};
    QTimer m_ticker;
    bool m_layoutPosted = false;
    bool m_reduceMotion = false;
    double m_documentHeight = 0;
    QPointer<QWidget> m_header;
    QRectF m_headerFrame;
    QPointer<QGraphicsOpacityEffect> m_headerEffect;
    QPointer<QPropertyAnimation> m_headerFade;
    QPointer<QWidget> m_stageOverlay;
    QRectF m_stageFrame;
    PassthroughHost *m_hoverHost = nullptr;
    QPointer<QGraphicsOpacityEffect> m_hoverEffect;
    QRectF m_hoverFrame;
    QString m_accessibilityIdentifier;
    // The selection assistive technology was last told of.
    QStringList m_announcedSelection;
    QPoint m_pressAt;
    bool m_pressActive = false;
    // Where the pointer is over the viewport, while it is.
    std::optional<QPoint> m_pointer;
};

} // namespace zezevaveri
