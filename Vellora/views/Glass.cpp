#include "Glass.h"

#include <QScrollBar>

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QtMath>

namespace vellora {

QColor lightGrey() { return QColor::fromRgb(214, 214, 214); }
QColor midGrey() { return QColor::fromRgb(98, 98, 98); }

void paintGlassCapsule(QPainter &painter, const QRectF &rect, const QColor &tint, double strokeOpacity)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    const double radius = rect.height() / 2.0;
    QPainterPath capsule;
    capsule.addRoundedRect(rect, radius, radius);
    // The glass itself: a faint lift of the dark background, then the tint.
    painter.fillPath(capsule, QColor(255, 255, 255, 18));
    painter.fillPath(capsule, tint);

    const QRectF inner = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient gradient(inner.topLeft(), inner.bottomLeft());
    auto white = [](double opacity) {
        QColor c(255, 255, 255);
        c.setAlphaF(float(qBound(0.0, opacity, 1.0)));
        return c;
    };
    gradient.setColorAt(0.0, white(strokeOpacity));
    gradient.setColorAt(0.5, white(strokeOpacity / 4.0));
    gradient.setColorAt(1.0, white(strokeOpacity));
    painter.setPen(QPen(QBrush(gradient), 1.0));
    painter.setBrush(Qt::NoBrush);
    const double innerRadius = inner.height() / 2.0;
    painter.drawRoundedRect(inner, innerRadius, innerRadius);
    painter.restore();
}

void darkenScrollBar(QScrollBar *bar)
{
    bar->setStyleSheet(QStringLiteral(
        "QScrollBar:vertical { background: transparent; width: 10px; margin: 0; }"
        "QScrollBar::handle:vertical { background: rgba(255,255,255,60); border-radius: 3px; min-height: 32px;"
        " margin: 2px 2px 2px 2px; }"
        "QScrollBar::handle:vertical:hover { background: rgba(255,255,255,100); }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));
}

QColor hueSwatchColour(double hue)
{
    double h = std::fmod(hue, 360.0);
    if (h < 0)
        h += 360.0;
    return QColor::fromHsvF(float(h / 360.0), 0.72f, 0.92f);
}

void paintSymbol(QPainter &p, const QRectF &rect, const QString &name, const QColor &colour, double lineWidth)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing, true);
    const double s = qMin(rect.width(), rect.height());
    const QRectF r(rect.center().x() - s / 2, rect.center().y() - s / 2, s, s);
    const QPointF c = r.center();
    QPen pen(colour, lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    auto at = [&](double x, double y) { return QPointF(r.left() + x * s, r.top() + y * s); };

    if (name == QLatin1String("plus")) {
        p.drawLine(at(0.5, 0.18), at(0.5, 0.82));
        p.drawLine(at(0.18, 0.5), at(0.82, 0.5));
    } else if (name == QLatin1String("magnifyingglass")) {
        p.drawEllipse(QRectF(at(0.14, 0.14), at(0.66, 0.66)));
        p.drawLine(at(0.6, 0.6), at(0.86, 0.86));
    } else if (name == QLatin1String("info.circle")) {
        p.drawEllipse(QRectF(at(0.1, 0.1), at(0.9, 0.9)));
        p.drawLine(at(0.5, 0.45), at(0.5, 0.72));
        p.setBrush(colour);
        p.drawEllipse(at(0.5, 0.31), lineWidth * 0.7, lineWidth * 0.7);
    } else if (name == QLatin1String("line.3.horizontal.decrease")) {
        p.drawLine(at(0.16, 0.3), at(0.84, 0.3));
        p.drawLine(at(0.28, 0.5), at(0.72, 0.5));
        p.drawLine(at(0.4, 0.7), at(0.6, 0.7));
    } else if (name == QLatin1String("tray") || name == QLatin1String("tray.2")) {
        const bool two = name == QLatin1String("tray.2");
        QPainterPath path;
        path.moveTo(at(0.12, 0.55));
        path.lineTo(at(0.25, 0.25));
        path.lineTo(at(0.75, 0.25));
        path.lineTo(at(0.88, 0.55));
        path.lineTo(at(0.88, 0.8));
        path.lineTo(at(0.12, 0.8));
        path.closeSubpath();
        p.drawPath(path);
        p.drawPolyline(QPolygonF({at(0.12, 0.55), at(0.36, 0.55), at(0.42, 0.64), at(0.58, 0.64), at(0.64, 0.55),
                                  at(0.88, 0.55)}));
        if (two)
            p.drawLine(at(0.25, 0.4), at(0.75, 0.4));
    } else if (name == QLatin1String("link")) {
        p.translate(c);
        p.rotate(-45);
        p.drawRoundedRect(QRectF(-0.42 * s, -0.14 * s, 0.46 * s, 0.28 * s), 0.14 * s, 0.14 * s);
        p.drawRoundedRect(QRectF(-0.04 * s, -0.14 * s, 0.46 * s, 0.28 * s), 0.14 * s, 0.14 * s);
    } else if (name == QLatin1String("trash")) {
        p.drawLine(at(0.18, 0.26), at(0.82, 0.26));
        p.drawLine(at(0.4, 0.26), at(0.42, 0.14));
        p.drawLine(at(0.42, 0.14), at(0.58, 0.14));
        p.drawLine(at(0.58, 0.14), at(0.6, 0.26));
        p.drawPolyline(QPolygonF({at(0.26, 0.26), at(0.3, 0.86), at(0.7, 0.86), at(0.74, 0.26)}));
        p.drawLine(at(0.43, 0.4), at(0.44, 0.72));
        p.drawLine(at(0.57, 0.4), at(0.56, 0.72));
    } else if (name == QLatin1String("rectangle.stack")) {
        p.drawRoundedRect(QRectF(at(0.12, 0.36), at(0.88, 0.86)), 0.08 * s, 0.08 * s);
        p.drawLine(at(0.2, 0.25), at(0.8, 0.25));
        p.drawLine(at(0.3, 0.14), at(0.7, 0.14));
    } else if (name == QLatin1String("folder") || name == QLatin1String("folder.badge.gearshape")) {
        QPainterPath path;
        path.moveTo(at(0.1, 0.8));
        path.lineTo(at(0.1, 0.22));
        path.lineTo(at(0.38, 0.22));
        path.lineTo(at(0.46, 0.32));
        path.lineTo(at(0.9, 0.32));
        path.lineTo(at(0.9, name == QLatin1String("folder") ? 0.8 : 0.5));
        if (name == QLatin1String("folder"))
            path.closeSubpath();
        else
            path.moveTo(at(0.56, 0.8)), path.lineTo(at(0.1, 0.8));
        p.drawPath(path);
        if (name != QLatin1String("folder")) {
            const QPointF g = at(0.76, 0.72);
            p.drawEllipse(g, 0.1 * s, 0.1 * s);
            for (int i = 0; i < 6; ++i) {
                const double a = qDegreesToRadians(60.0 * i);
                p.drawLine(g + QPointF(std::cos(a), std::sin(a)) * 0.13 * s,
                           g + QPointF(std::cos(a), std::sin(a)) * 0.2 * s);
            }
        }
    } else if (name == QLatin1String("person.2.fill")) {
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawEllipse(at(0.36, 0.32), 0.14 * s, 0.14 * s);
        p.drawPie(QRectF(at(0.1, 0.52), at(0.62, 1.0)), 0, 180 * 16);
        QColor faint = colour;
        faint.setAlphaF(colour.alphaF() * 0.7f);
        p.setBrush(faint);
        p.drawEllipse(at(0.68, 0.36), 0.12 * s, 0.12 * s);
        p.drawPie(QRectF(at(0.5, 0.56), at(0.92, 0.98)), 0, 180 * 16);
    } else if (name == QLatin1String("minus.circle")) {
        p.drawEllipse(QRectF(at(0.1, 0.1), at(0.9, 0.9)));
        p.drawLine(at(0.3, 0.5), at(0.7, 0.5));
    } else if (name == QLatin1String("photo")) {
        p.drawRoundedRect(QRectF(at(0.1, 0.2), at(0.9, 0.8)), 0.08 * s, 0.08 * s);
        p.drawPolyline(QPolygonF({at(0.16, 0.74), at(0.4, 0.46), at(0.56, 0.62), at(0.68, 0.52), at(0.84, 0.7)}));
        p.drawEllipse(at(0.68, 0.34), 0.06 * s, 0.06 * s);
    } else if (name == QLatin1String("photo.on.rectangle")) {
        // A picture in front of the corner of another one behind it.
        p.drawPolyline(QPolygonF({at(0.22, 0.2), at(0.22, 0.12), at(0.92, 0.12), at(0.92, 0.64), at(0.84, 0.64)}));
        p.drawRoundedRect(QRectF(at(0.08, 0.28), at(0.78, 0.84)), 0.07 * s, 0.07 * s);
        p.drawPolyline(QPolygonF({at(0.13, 0.78), at(0.34, 0.54), at(0.48, 0.68), at(0.58, 0.6), at(0.73, 0.76)}));
        p.drawEllipse(at(0.6, 0.42), 0.05 * s, 0.05 * s);
    } else if (name == QLatin1String("sparkles")) {
        auto star = [&](QPointF m, double k) {
            QPainterPath path;
            path.moveTo(m + QPointF(0, -k));
            path.quadTo(m, m + QPointF(k, 0));
            path.quadTo(m, m + QPointF(0, k));
            path.quadTo(m, m + QPointF(-k, 0));
            path.quadTo(m, m + QPointF(0, -k));
            p.setBrush(colour);
            p.drawPath(path);
        };
        star(at(0.42, 0.56), 0.32 * s);
        star(at(0.78, 0.24), 0.14 * s);
    } else if (name == QLatin1String("globe")) {
        p.drawEllipse(QRectF(at(0.1, 0.1), at(0.9, 0.9)));
        p.drawEllipse(QRectF(at(0.32, 0.1), at(0.68, 0.9)));
        p.drawLine(at(0.1, 0.5), at(0.9, 0.5));
    } else {
        p.drawEllipse(QRectF(at(0.25, 0.25), at(0.75, 0.75)));
    }
    p.restore();
}

GlassCapsule::GlassCapsule(const QColor &tint, double strokeOpacity, QWidget *parent)
    : QWidget(parent), m_tint(tint), m_stroke(strokeOpacity)
{
}

void GlassCapsule::setTint(const QColor &tint)
{
    m_tint = tint;
    update();
}

void GlassCapsule::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    paintGlassCapsule(painter, QRectF(rect()), m_tint, m_stroke);
}

SymbolButton::SymbolButton(const QString &symbol, QWidget *parent) : QPushButton(parent), m_symbol(symbol)
{
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
}

void SymbolButton::setSymbol(const QString &symbol)
{
    m_symbol = symbol;
    update();
}

void SymbolButton::setCapsule(const QColor &tint, double strokeOpacity)
{
    m_capsule = true;
    m_tint = tint;
    m_stroke = strokeOpacity;
    update();
}

void SymbolButton::setHighlight(double opacity)
{
    m_highlight = opacity;
    update();
}

QSize SymbolButton::sizeHint() const
{
    const int textWidth = text().isEmpty() ? 0 : fontMetrics().horizontalAdvance(text()) + 6;
    const int symbolWidth = m_symbol.isEmpty() ? 0 : int(m_symbolSize) + 12;
    return QSize(qMax(28, symbolWidth + textWidth), 28);
}

void SymbolButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QRectF all(rect());
    if (m_capsule)
        paintGlassCapsule(painter, all, m_tint, m_stroke);
    QColor fg = palette().color(QPalette::ButtonText);
    if (!isEnabled())
        fg.setAlphaF(0.4f);
    else if (isDown())
        fg = fg.lighter(130);
    const double sym = m_symbol.isEmpty() ? 0 : m_symbolSize;
    const double textWidth = text().isEmpty() ? 0 : painter.fontMetrics().horizontalAdvance(text());
    const double gap = (sym > 0 && textWidth > 0) ? 6 : 0;
    double x = all.center().x() - (sym + gap + textWidth) / 2.0;
    if (!m_symbol.isEmpty()) {
        const QRectF box(x - (28 - sym) / 2.0, all.center().y() - 14, 28, 28);
        if (m_highlight > 0) {
            QColor h(255, 255, 255);
            h.setAlphaF(float(m_highlight));
            painter.setPen(Qt::NoPen);
            painter.setBrush(h);
            painter.drawRoundedRect(box, 7, 7);
        }
        paintSymbol(painter, QRectF(x, all.center().y() - sym / 2, sym, sym), m_symbol, fg);
        x += sym + gap;
    }
    if (textWidth > 0) {
        painter.setPen(fg);
        painter.drawText(QRectF(x, 0, textWidth + 1, all.height()), Qt::AlignVCenter | Qt::AlignLeft, text());
    }
}

Spinner::Spinner(int diameter, QWidget *parent) : QWidget(parent), m_timer(new QTimer(this))
{
    setFixedSize(diameter, diameter);
    m_timer->setInterval(80);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 30) % 360;
        update();
    });
    hide();
}

void Spinner::setRunning(bool running)
{
    setVisible(running);
    if (running)
        m_timer->start();
    else
        m_timer->stop();
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QRectF r = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    QColor faint = lightGrey();
    faint.setAlphaF(0.25f);
    painter.setPen(QPen(faint, 2));
    painter.drawEllipse(r);
    painter.setPen(QPen(lightGrey(), 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(r, -m_angle * 16, 100 * 16);
}

} // namespace vellora
