#include "QuickLook.h"

#include "Background.h"
#include "WindowBackground.h"

#include "platform/ImageIO.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>

namespace vellora {

QuickLook::QuickLook(QWidget *parent) : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setWindowTitle(tr("Quick Look"));
    resize(800, 600);
}

void QuickLook::toggle(const QString &path)
{
    if (isVisible() && path == m_path) {
        hide();
        return;
    }
    preview(path);
}

void QuickLook::preview(const QString &path)
{
    ++m_request;
    m_path = path;
    m_image = QImage();
    m_failed = false;
    fitToScreen();
    show();
    raise();
    activateWindow();
    update();
    const quint64 request = m_request;
    views::inBackground<QImage>(
        this, [path] { return downsampledImage(path, kQuickLookPixels); },
        [this, request, path](QImage image) {
            if (request != m_request)
                return;
            m_image = std::move(image);
            m_failed = m_image.isNull();
            fitToScreen();
            update();
            emit imageReady(path);
        });
}

void QuickLook::fitToScreen()
{
    QScreen *screen = parentWidget() && parentWidget()->screen() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
    const QSize room = available.size() * 0.85;
    QSize size = m_image.isNull() ? QSize(800, 600) : m_image.size();
    if (size.width() > room.width() || size.height() > room.height())
        size.scale(room, Qt::KeepAspectRatio);
    size = size.expandedTo(QSize(200, 150));
    resize(size);
    move(available.center() - QPoint(size.width() / 2, size.height() / 2));
}

void QuickLook::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), windowBackground());
    if (m_image.isNull()) {
        p.setPen(QColor(255, 255, 255, 150));
        p.drawText(rect(), Qt::AlignCenter, m_failed ? tr("No preview") : tr("Loading…"));
        return;
    }
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QSizeF target = QSizeF(m_image.size()).scaled(QSizeF(size()), Qt::KeepAspectRatio);
    const QRectF frame(QPointF((width() - target.width()) / 2, (height() - target.height()) / 2), target);
    p.drawImage(frame, m_image);
}

void QuickLook::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Space) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

void QuickLook::mousePressEvent(QMouseEvent *) { hide(); }

void QuickLook::hideEvent(QHideEvent *event)
{
    // A decode still running for a closed preview is dropped, and the
    // picture's memory goes with the window.
    ++m_request;
    m_image = QImage();
    QWidget::hideEvent(event);
}

} // namespace vellora
