#pragma once
// The painted look shared by the window's controls: the glass capsule (a
// tinted capsule with a one-pixel white gradient border), the line symbols
// that stand in for the platform's symbol font, hue swatches and a small
// spinner. Everything here paints with QPainter; nothing holds library state.

#include <QColor>
#include <QPushButton>
#include <QRectF>
#include <QString>
#include <QWidget>

class QPainter;
class QScrollBar;
class QTimer;

namespace vellora {

// The two greys of the window's text: light (214/255) and mid (98/255).
QColor lightGrey();
QColor midGrey();

// Paints the glass capsule into `rect`: a capsule filled with `tint` over a
// faint glass layer, bordered inside the shape by a vertical gradient of
// white at `strokeOpacity`, a quarter of it, and `strokeOpacity` again.
void paintGlassCapsule(QPainter &painter, const QRectF &rect, const QColor &tint, double strokeOpacity);

// A thin, light handle on a clear track: the scroll bars of the grid and the
// inspector, which would otherwise be the style's light bars on the dark window.
void darkenScrollBar(QScrollBar *bar);

// The colour a hue swatch is filled with (hue in degrees).
QColor hueSwatchColour(double hue);

// Draws the line symbol called `name` ("plus", "magnifyingglass",
// "info.circle", "line.3.horizontal.decrease", "tray", "tray.2", "link",
// "trash", "rectangle.stack", "folder.badge.gearshape", "person.2.fill",
// "minus.circle", "photo", "sparkles", "globe", "folder") centred in `rect`.
// Unknown names draw a small circle, so a missing symbol is still visible.
void paintSymbol(QPainter &painter, const QRectF &rect, const QString &name, const QColor &colour,
                 double lineWidth = 1.4);

// A widget that paints the glass capsule behind its children.
class GlassCapsule : public QWidget {
    Q_OBJECT
public:
    GlassCapsule(const QColor &tint, double strokeOpacity, QWidget *parent = nullptr);
    void setTint(const QColor &tint);
    QColor tint() const { return m_tint; }
    double strokeOpacity() const { return m_stroke; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_tint;
    double m_stroke;
};

// A flat button that shows a symbol, a text or both on a transparent
// background (the capsule around it is painted by its parent or by itself
// when `capsule` is on).
class SymbolButton : public QPushButton {
    Q_OBJECT
public:
    explicit SymbolButton(const QString &symbol, QWidget *parent = nullptr);
    void setSymbol(const QString &symbol);
    QString symbol() const { return m_symbol; }
    // Paints a glass capsule behind the button.
    void setCapsule(const QColor &tint, double strokeOpacity);
    void clearCapsule() { m_capsule = false; update(); }
    // A rounded square behind the symbol (white at this opacity); 0 = none.
    void setHighlight(double opacity);
    double highlight() const { return m_highlight; }
    void setSymbolSize(double size) { m_symbolSize = size; update(); }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_symbol;
    bool m_capsule = false;
    QColor m_tint;
    double m_stroke = 0.0;
    double m_highlight = 0.0;
    double m_symbolSize = 16.0;
};

// A small spinning arc shown while something runs; hidden when stopped.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(int diameter, QWidget *parent = nullptr);
    void setRunning(bool running);
    bool running() const { return isVisibleTo(parentWidget()); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QTimer *m_timer;
    int m_angle = 0;
};

} // namespace vellora
