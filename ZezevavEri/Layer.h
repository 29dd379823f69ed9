#pragma once
// A small layer model: every layer keeps a model value per key path and a set
// of keyed animations; its presentation value at a time t is the model value
// with the animations applied. Tiles, the pill and the spinner are layers;
// the painter draws the presentation of the tree at the clock's time.

#include "Spring.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

namespace zezevaveri {

class Layer;
using LayerPtr = std::shared_ptr<Layer>;

using Value = std::variant<double, QPointF, QRectF>;

Value interpolate(const Value &from, const Value &to, double fraction);
Value addValues(const Value &a, const Value &b);

// Key paths the model knows.
namespace keys {
inline const QString position = QStringLiteral("position");
inline const QString positionX = QStringLiteral("position.x");
inline const QString bounds = QStringLiteral("bounds");
inline const QString opacity = QStringLiteral("opacity");
inline const QString cornerRadius = QStringLiteral("cornerRadius");
inline const QString scale = QStringLiteral("transform.scale");
inline const QString translationX = QStringLiteral("transform.translation.x");
inline const QString rotationZ = QStringLiteral("transform.rotation.z");
inline const QString transform = QStringLiteral("transform");
} // namespace keys

struct Animation {
    enum Kind { Spring, Basic, Keyframes, Fade } kind = Basic;
    QString keyPath;
    std::optional<Value> from; // resolved from the presentation when added
    Value to = 0.0;
    std::vector<Value> values; // key frames, evenly spaced
    SpringCurve curve;         // springs
    double duration = 0;       // in the animation's own time
    double speed = 1;
    double beginTime = 0;      // set when added
    bool additive = false;
    bool repeatForever = false;
    std::function<void()> completion;

    // Media time at which it ends; infinite when it repeats forever.
    double endTime() const;
    bool finished(double now) const { return now >= endTime(); }
    // Value at `now`; `model` is the model value (additive animations add to it).
    Value valueAt(double now) const;
    // Local progress 0...1 of a Fade transition.
    double fraction(double now) const;

    static Animation spring(const QString &keyPath, const SpringMotion &motion, std::optional<Value> from,
                            Value to, double duration, double initialVelocity = 0);
};

enum class Gravity { ResizeAspectFill, ResizeAspect, Center };

// Presentation of the geometry a painter needs.
struct LayerState {
    QPointF position;
    QRectF bounds;
    double opacity = 1;
    double cornerRadius = 0;
    double scale = 1;
    double translationX = 0;
    double rotation = 0;
    // The frame after scale and translation, in the superlayer's coordinates.
    QRectF visualFrame() const;
};

struct TextRun {
    QString text;
    QFont font;
    QColor color;
};

class Layer {
public:
    explicit Layer(QString layerName = {}) { name = std::move(layerName); }
    static LayerPtr make(const QString &name = {}) { return std::make_shared<Layer>(name); }
    // Layers that outlive their superlayer (the pill, moved between tiles)
    // must not keep pointing at it.
    ~Layer();

    // Model values. Position, bounds and the animations come first so that a
    // layout pass over many tiles touches one cache line per tile.
    QPointF position;
    QRectF bounds;

private:
    std::vector<std::pair<QString, Animation>> m_animations;

public:
    QString name;
    double opacity = 1;
    double cornerRadius = 0;
    double zPosition = 0;
    double scale = 1;
    double translationX = 0;
    double rotation = 0;
    bool hidden = false;
    bool masksToBounds = false;
    bool extendedDynamicRange = false;
    QColor backgroundColor;  // invalid: none
    QColor borderColor;
    double borderWidth = 0;
    QImage contents;
    QImage previousContents; // shown under a running "fade" transition
    Gravity gravity = Gravity::ResizeAspectFill;
    double contentsScale = 1;
    QString contentsKey;      // cache key of the decoded contents

    // Text layers draw their runs, elided at the end to the layer's width
    // when `elideText` is set, else whole (a width rounded down to whole
    // points must not cut a text that fits).
    std::vector<TextRun> text;
    bool elideText = true;
    // Shape layers draw an arc of the ellipse inset by 1 in their bounds.
    bool isSpinner = false;
    QColor strokeColor;
    double lineWidth = 0;
    double strokeEnd = 1;
    // Kept centred in the superlayer (the spinner's constraints).
    bool centredInSuperlayer = false;

    QRectF frame() const;
    void setFrame(const QRectF &rect);
    void setTransformIdentity() { scale = 1; translationX = 0; rotation = 0; }

    Value modelValue(const QString &keyPath) const;
    void setModelValue(const QString &keyPath, const Value &value);
    Value presentationValue(const QString &keyPath, double now) const;
    LayerState presentation(double now) const;
    // The frame at `now` (position and bounds only, as hit testing sees it).
    QRectF presentationFrame(double now) const;

    // Adds or replaces the animation under `key`; a missing start value is
    // taken from the presentation at `now`.
    void addAnimation(const QString &key, Animation animation, double now);
    void removeAnimation(const QString &key);
    void removeAllAnimations();
    const Animation *animation(const QString &key) const;
    bool hasAnimations() const { return !m_animations.empty(); }
    const std::vector<std::pair<QString, Animation>> &animations() const { return m_animations; }
    // Whether any animation still moves at `now`.
    bool isAnimating(double now) const;
    // Whether anything but its opacity still changes at `now`: a tile that
    // only fades keeps its size, so its prepared picture still fits.
    bool isReshaping(double now) const;
    // Drops finished animations and hands back their completions.
    void reap(double now, std::vector<std::function<void()>> &completions);

    // Tree. Sublayers keep the order in which they were added.
    Layer *superlayer() const { return m_superlayer; }
    const std::vector<LayerPtr> &sublayers() const
    {
        if (m_holes)
            compact();
        return m_sublayers;
    }
    void addSublayer(const LayerPtr &layer);
    // Constant time: a grid drops thousands of faded tiles from one root, and
    // each must not cost a walk over all the others.
    void removeFromSuperlayer();
    LayerPtr sublayerNamed(const QString &name) const;
    bool hasSublayer(const Layer *layer) const { return layer && layer->m_superlayer == this; }

private:
    // Closes the gaps removals left, keeping the order.
    void compact() const;

    Layer *m_superlayer = nullptr;
    // Where this layer sits in its superlayer's list.
    size_t m_indexInSuperlayer = 0;
    // Removed sublayers leave an empty slot until the list is next read or
    // has become half empty.
    mutable std::vector<LayerPtr> m_sublayers;
    mutable size_t m_holes = 0;
};

} // namespace zezevaveri
