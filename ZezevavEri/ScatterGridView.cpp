#include "ScatterGridView.h"

#include "ScatterGridAccessible.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDrag>
#include <QGraphicsOpacityEffect>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QResizeEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace zezevaveri {

namespace {
constexpr int kFrameMs = 16;
constexpr int kHeaderFadeMs = 250;

int clickModifiers(Qt::KeyboardModifiers modifiers)
{
    int out = NoModifier;
    if (modifiers & Qt::ShiftModifier)
        out |= ShiftModifier;
    if (modifiers & Qt::ControlModifier)
        out |= CommandModifier;
    return out;
}
} // namespace

PassthroughHost::PassthroughHost(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    setAttribute(Qt::WA_NoSystemBackground);
}

void PassthroughHost::setContent(QWidget *content)
{
    if (m_content == content)
        return;
    if (m_content) {
        // Out of sight at once: until it is deleted it would share the
        // host with the new content, and show twice.
        m_content->hide();
        QWidget::layout()->removeWidget(m_content);
        m_content->deleteLater();
    }
    m_content = content;
    if (content)
        static_cast<QVBoxLayout *>(QWidget::layout())->addWidget(content);
}

ScatterGridView::ScatterGridView(QWidget *parent, GridClock &clock, ImageDecoder *decoder)
    : QAbstractScrollArea(parent), m_engine(*this, clock, decoder)
{
    init();
}

ScatterGridView::ScatterGridView(const QRect &frame, QWidget *parent) : ScatterGridView(parent)
{
    setGeometry(frame);
}

ScatterGridView::~ScatterGridView()
{
    m_ticker.stop();
}

void ScatterGridView::init()
{
    // Before anything asks for the viewport's interface: a plain one would
    // be kept for good.
    installGridAccessibility();
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    setAcceptDrops(true);
    viewport()->setMouseTracking(true);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setAutoFillBackground(false);
    QPalette palette = viewport()->palette();
    palette.setColor(QPalette::Window, m_engine.config.background);
    palette.setColor(QPalette::Base, m_engine.config.background);
    viewport()->setPalette(palette);
    setPalette(palette);
    verticalScrollBar()->setSingleStep(40);

    m_hoverHost = new PassthroughHost(viewport());
    m_hoverHost->hide();

    m_ticker.setInterval(kFrameMs);
    m_ticker.setTimerType(Qt::PreciseTimer);
    connect(&m_ticker, &QTimer::timeout, this, &ScatterGridView::tick);

    m_engine.onOpen = [this](const std::optional<QString> &id) {
        if (onOpen)
            onOpen(id);
    };
    m_engine.onActivate = [this](const QString &id) {
        if (onActivate)
            onActivate(id);
    };
    m_engine.onSelect = [this](const QStringList &ids) {
        announceGridSelection(this, m_announcedSelection, ids);
        m_announcedSelection = ids;
        if (onSelect)
            onSelect(ids);
    };
}

void ScatterGridView::setConfig(const ScatterConfig &config)
{
    m_engine.config = config;
    m_engine.rootLayer()->backgroundColor = config.background;
    QPalette palette = viewport()->palette();
    palette.setColor(QPalette::Window, config.background);
    palette.setColor(QPalette::Base, config.background);
    viewport()->setPalette(palette);
    setNeedsLayout();
}

QList<ScatterItem> ScatterGridView::items() const
{
    const auto &items = m_engine.items();
    return QList<ScatterItem>(items.begin(), items.end());
}

bool ScatterGridView::showsItems(const QList<ScatterItem> &items) const
{
    const auto &shown = m_engine.items();
    return std::equal(shown.begin(), shown.end(), items.begin(), items.end());
}

void ScatterGridView::setItems(const QList<ScatterItem> &items)
{
    m_engine.setItems(std::vector<ScatterItem>(items.begin(), items.end()));
    setNeedsLayout();
}

void ScatterGridView::applyChanges(const QStringList &removed,
                                   const std::vector<std::pair<size_t, ScatterItem>> &inserted)
{
    m_engine.applyChanges(removed, inserted);
    setNeedsLayout();
}

void ScatterGridView::applyPositionalChange(const std::vector<size_t> &removed,
                                            std::vector<std::pair<size_t, ScatterItem>> &&inserted,
                                            std::vector<ScatterItem> *leaving)
{
    m_engine.applyPositionalChange(removed, std::move(inserted), leaving);
    setNeedsLayout();
}

void ScatterGridView::ensureGeometry() const
{
    // A view that was never shown has not laid out its viewport yet; do it
    // now so that the grid works without a window.
    auto *self = const_cast<ScatterGridView *>(this);
    if (self->testAttribute(Qt::WA_PendingResizeEvent)) {
        QResizeEvent event(size(), QSize());
        QCoreApplication::sendEvent(self, &event);
        self->setAttribute(Qt::WA_PendingResizeEvent, false);
    }
}

void ScatterGridView::layout()
{
    m_layoutPosted = false;
    ensureGeometry();
    m_engine.layout();
    followPointer();
    placeChildren();
    announceGridReorder(this);
}

void ScatterGridView::followPointer()
{
    // Tiles move under a pointer that stays put (a relayout, a scroll): the
    // hover goes to the tile now under it, and its overlay to that tile.
    if (!m_pointer)
        return;
    m_engine.mouseMoved(documentPoint(*m_pointer));
    if (const LayerPtr &tile = m_engine.hovered())
        m_hoverFrame = tile->frame();
}

void ScatterGridView::setNeedsLayout()
{
    if (m_layoutPosted)
        return;
    m_layoutPosted = true;
    QMetaObject::invokeMethod(this, [this] {
        if (m_layoutPosted)
            layout();
    }, Qt::QueuedConnection);
}

void ScatterGridView::open(const QString &id)
{
    ensureGeometry();
    m_engine.open(id);
}

void ScatterGridView::close() { m_engine.close(); }

void ScatterGridView::glideFor(double seconds) { m_engine.setGlideUntil(m_engine.clock().now() + seconds); }

void ScatterGridView::setHeaderView(QWidget *header)
{
    if (header == m_header)
        return;
    if (m_header) {
        m_header->hide();
        m_header->setParent(nullptr);
    }
    if (m_header)
        m_header->removeEventFilter(this);
    m_header = header;
    m_headerEffect = nullptr;
    if (header) {
        // A header whose text changes may want another height (a line that
        // now wraps); its layout tells so, and the tiles below make room.
        header->installEventFilter(this);
        header->setParent(viewport());
        header->show();
        header->raise();
    }
    setNeedsLayout();
}

void ScatterGridView::setStageOverlay(QWidget *overlay)
{
    if (overlay == m_stageOverlay)
        return;
    const bool shown = m_stageOverlay && m_stageOverlay->isVisible();
    if (m_stageOverlay)
        m_stageOverlay->hide();
    m_stageOverlay = overlay;
    if (overlay) {
        overlay->setParent(viewport());
        overlay->setVisible(shown);
        placeChildren();
    }
}

QImage ScatterGridView::renderFrame()
{
    ensureGeometry();
    const double dpr = devicePixelRatioF();
    QImage image(viewport()->size() * dpr, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    QPainter painter(&image);
    const QRectF visible = visibleRect();
    painter.translate(0, -visible.top());
    m_painter.paint(painter, *m_engine.rootLayer(), m_engine.layersToPaint(visible), m_engine.clock().now(), visible, dpr);
    return image;
}

// ---------------------------------------------------------------- host

double ScatterGridView::width() const
{
    ensureGeometry();
    return viewport()->width();
}

double ScatterGridView::scrollY() const { return verticalScrollBar()->value(); }

QRectF ScatterGridView::visibleRect() const
{
    ensureGeometry();
    return QRectF(0, scrollY(), viewport()->width(), viewport()->height());
}

void ScatterGridView::setDocumentHeight(double height)
{
    m_documentHeight = height;
    QScrollBar *bar = verticalScrollBar();
    bar->setPageStep(viewport()->height());
    bar->setRange(0, std::max(0, int(std::ceil(height - viewport()->height()))));
}

void ScatterGridView::scrollTo(double y) { verticalScrollBar()->setValue(int(std::lround(y))); }

double ScatterGridView::backingScale() const { return window() && window()->windowHandle() ? devicePixelRatioF() : 2.0; }

double ScatterGridView::headerHeight() const
{
    if (!m_header)
        return -1;
    const int w = viewport()->width();
    if (m_header->hasHeightForWidth())
        return m_header->heightForWidth(w);
    return m_header->sizeHint().height();
}

void ScatterGridView::setHeaderFrame(const QRectF &frame)
{
    m_headerFrame = frame;
    placeChildren();
}

void ScatterGridView::fadeHeader(double alpha)
{
    if (!m_header)
        return;
    if (!m_headerEffect) {
        m_headerEffect = new QGraphicsOpacityEffect(m_header);
        m_headerEffect->setOpacity(1.0);
        m_header->setGraphicsEffect(m_headerEffect);
    }
    if (m_headerFade)
        m_headerFade->stop();
    // Faded out, the header is hidden: a widget that paints its own
    // background keeps the viewport from painting what is under it, and
    // would leave a stale band over the stage.
    if (alpha > 0)
        m_header->show();
    if (m_reduceMotion) {
        m_headerEffect->setOpacity(alpha);
        m_header->setVisible(alpha > 0);
        return;
    }
    auto *fade = new QPropertyAnimation(m_headerEffect, "opacity", m_headerEffect);
    fade->setDuration(kHeaderFadeMs);
    fade->setEndValue(alpha);
    m_headerFade = fade;
    QPointer<QWidget> header = m_header;
    connect(fade, &QPropertyAnimation::finished, this, [header, alpha] {
        if (header && alpha <= 0)
            header->hide();
    });
    fade->start(QAbstractAnimation::DeleteWhenStopped);
}

void ScatterGridView::showStageOverlay(const QRectF &frame, bool hidden)
{
    m_stageFrame = frame;
    if (!m_stageOverlay)
        return;
    if (m_stageOverlay->parentWidget() != viewport())
        m_stageOverlay->setParent(viewport());
    placeChildren();
    m_stageOverlay->setVisible(!hidden);
    m_stageOverlay->raise();
}

void ScatterGridView::removeStageOverlay()
{
    if (m_stageOverlay)
        m_stageOverlay->hide();
}

void ScatterGridView::showHoverOverlay(const ScatterItem &item, const QRectF &frame, std::function<void()> open)
{
    if (!hoverOverlay)
        return;
    m_hoverHost->setContent(hoverOverlay(item, std::move(open)));
    m_hoverFrame = frame;
    placeChildren();
    if (!m_hoverEffect) {
        m_hoverEffect = new QGraphicsOpacityEffect(m_hoverHost);
        m_hoverHost->setGraphicsEffect(m_hoverEffect);
    }
    m_hoverEffect->setOpacity(m_engine.hoverOverlayOpacity());
    m_hoverHost->show();
    m_hoverHost->raise();
}

void ScatterGridView::hideHoverOverlay()
{
    m_hoverHost->hide();
}

void ScatterGridView::setAccessibilityIdentifier(const QString &id)
{
    m_accessibilityIdentifier = id;
    setAccessibleName(id);
}

void ScatterGridView::setNeedsDisplay()
{
    viewport()->update();
    if (!m_ticker.isActive())
        m_ticker.start();
}

void ScatterGridView::tick()
{
    m_engine.reap();
    viewport()->update();
    if (m_hoverEffect && m_hoverHost->isVisible())
        m_hoverEffect->setOpacity(m_engine.hoverOverlayOpacity());
    if (!m_engine.isAnimating())
        m_ticker.stop();
}

void ScatterGridView::placeChildren()
{
    const double y = scrollY();
    if (m_header)
        m_header->setGeometry(m_headerFrame.translated(0, -y).toRect());
    if (m_stageOverlay)
        m_stageOverlay->setGeometry(m_stageFrame.translated(0, -y).toRect());
    if (m_hoverHost)
        m_hoverHost->setGeometry(m_hoverFrame.translated(0, -y).toRect());
}

QPointF ScatterGridView::documentPoint(const QPoint &p) const { return QPointF(p.x(), p.y() + scrollY()); }

// ---------------------------------------------------------------- events

void ScatterGridView::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    const double y = scrollY();
    const QRectF visible = QRectF(event->rect()).translated(0, y);
    painter.translate(0, -y);
    m_painter.paint(painter, *m_engine.rootLayer(), m_engine.layersToPaint(visible), m_engine.clock().now(), visible,
                    devicePixelRatioF());
}

void ScatterGridView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    verticalScrollBar()->setPageStep(viewport()->height());
    setNeedsLayout();
}

void ScatterGridView::scrollContentsBy(int, int)
{
    // The tiles that came into view get their layers first: the one now
    // under the pointer may be among them.
    m_engine.visibleChanged();
    followPointer();
    placeChildren();
    viewport()->update();
    announceGridReorder(this);
}

void ScatterGridView::showEvent(QShowEvent *event)
{
    QAbstractScrollArea::showEvent(event);
    QMetaObject::invokeMethod(this, [this] {
        if (window())
            setFocus(Qt::OtherFocusReason);
    }, Qt::QueuedConnection);
}

bool ScatterGridView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_header && event->type() == QEvent::LayoutRequest)
        setNeedsLayout();
    return QAbstractScrollArea::eventFilter(watched, event);
}

bool ScatterGridView::viewportEvent(QEvent *event)
{
    // Moving onto a child (the hover overlay) leaves the viewport too; only
    // leaving its area ends the hover.
    if (event->type() == QEvent::Leave && !viewport()->rect().contains(viewport()->mapFromGlobal(QCursor::pos()))) {
        m_pointer.reset();
        m_engine.mouseExited();
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void ScatterGridView::mousePressEvent(QMouseEvent *event)
{
    setFocus(Qt::MouseFocusReason);
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    m_pressAt = event->position().toPoint();
    m_engine.mouseDown(documentPoint(m_pressAt));
    m_pressActive = bool(m_engine.pressedID());
    event->accept();
}

void ScatterGridView::mouseMoveEvent(QMouseEvent *event)
{
    const QPoint at = event->position().toPoint();
    if (m_pressActive && (event->buttons() & Qt::LeftButton) &&
        (at - m_pressAt).manhattanLength() >= QApplication::startDragDistance()) {
        const std::optional<QString> id = m_engine.pressedID();
        m_engine.dragStarted();
        m_pressActive = false;
        QMimeData *mime = nullptr;
        if (id && dragData) {
            mime = dragData(*id);
        } else if (const QUrl url = id && dragURL ? dragURL(*id) : QUrl(); url.isValid()) {
            mime = new QMimeData;
            mime->setUrls({url});
        }
        if (mime) {
            auto *drag = new QDrag(this);
            drag->setMimeData(mime);
            drag->exec(Qt::CopyAction);
        }
        return;
    }
    m_pointer = at;
    m_engine.mouseMoved(documentPoint(at));
}

void ScatterGridView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_pressActive = false;
    m_engine.mouseUp(clickModifiers(event->modifiers()));
}

void ScatterGridView::keyPressEvent(QKeyEvent *event)
{
    if (onKey && onKey(event, m_engine.focusedID()))
        return;
    const bool opened = bool(m_engine.opened());
    if (event->matches(QKeySequence::SelectAll)) {
        m_engine.selectAll();
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        if (onPaste)
            onPaste();
        return;
    }
    switch (event->key()) {
    case Qt::Key_Escape:
        if (opened) {
            m_engine.close();
            return;
        }
        break;
    case Qt::Key_Left:
        if (opened) {
            m_engine.nudgeBack();
            return;
        }
        break;
    case Qt::Key_Right:
        if (opened) {
            m_engine.nudgeForward();
            return;
        }
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (opened) {
            m_engine.close();
            return;
        }
        if (!m_engine.selected().isEmpty()) {
            const QString id = m_engine.selected().last();
            const int index = m_engine.indexOf(id);
            if (index >= 0 && m_engine.items()[size_t(index)].external) {
                if (onActivate)
                    onActivate(id);
            } else if (index >= 0) {
                m_engine.open(id);
            }
            return;
        }
        break;
    case Qt::Key_Delete:
    case Qt::Key_Backspace:
        if (const auto id = m_engine.focusedID(); id && onDelete) {
            onDelete(*id);
            return;
        }
        break;
    default:
        break;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void ScatterGridView::contextMenuEvent(QContextMenuEvent *event)
{
    const LayerPtr tile = m_engine.tileAt(documentPoint(viewport()->mapFrom(this, event->pos())));
    if (!tile || !tileMenu)
        return;
    QMenu *menu = tileMenu(tile->name);
    if (!menu)
        return;
    menu->exec(event->globalPos());
    menu->deleteLater();
}

void ScatterGridView::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls() && event->source() != this)
        event->acceptProposedAction();
}

void ScatterGridView::dragMoveEvent(QDragMoveEvent *event)
{
    if (event->mimeData()->hasUrls() && event->source() != this)
        event->acceptProposedAction();
}

void ScatterGridView::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || event->source() == this)
        return;
    event->acceptProposedAction();
    if (onDropURLs)
        onDropURLs(urls);
}

} // namespace zezevaveri
