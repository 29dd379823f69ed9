#include "Layer.h"

#include <QTransform>

#include <algorithm>
#include <cmath>
#include <limits>

namespace zezevaveri {

namespace {
double asDouble(const Value &v)
{
    if (auto d = std::get_if<double>(&v))
        return *d;
    return 0.0;
}
QPointF asPoint(const Value &v)
{
    if (auto p = std::get_if<QPointF>(&v))
        return *p;
    return {};
}
QRectF asRect(const Value &v)
{
    if (auto r = std::get_if<QRectF>(&v))
        return *r;
    return {};
}
} // namespace

Value interpolate(const Value &from, const Value &to, double f)
{
    if (from.index() != to.index())
        return f < 1 ? from : to;
    if (auto a = std::get_if<double>(&from))
        return *a + (std::get<double>(to) - *a) * f;
    if (auto a = std::get_if<QPointF>(&from))
        return *a + (std::get<QPointF>(to) - *a) * f;
    const QRectF a = std::get<QRectF>(from), b = std::get<QRectF>(to);
    return QRectF(a.x() + (b.x() - a.x()) * f, a.y() + (b.y() - a.y()) * f,
                  a.width() + (b.width() - a.width()) * f, a.height() + (b.height() - a.height()) * f);
}

Value addValues(const Value &a, const Value &b)
{
    if (a.index() != b.index())
        return a;
    if (auto x = std::get_if<double>(&a))
        return *x + std::get<double>(b);
    if (auto x = std::get_if<QPointF>(&a))
        return *x + std::get<QPointF>(b);
    const QRectF r = std::get<QRectF>(a), s = std::get<QRectF>(b);
    return QRectF(r.x() + s.x(), r.y() + s.y(), r.width() + s.width(), r.height() + s.height());
}

double Animation::endTime() const
{
    if (repeatForever)
        return std::numeric_limits<double>::infinity();
    return beginTime + (speed > 0 ? duration / speed : duration);
}

double Animation::fraction(double now) const
{
    if (duration <= 0)
        return 1.0;
    double local = (now - beginTime) * speed;
    if (local <= 0)
        return 0.0;
    if (repeatForever)
        local = std::fmod(local, duration);
    else if (local >= duration)
        return 1.0;
    return local / duration;
}

Value Animation::valueAt(double now) const
{
    const Value start = from.value_or(to);
    switch (kind) {
    case Spring: {
        const double local = (now - beginTime) * speed;
        if (local >= duration)
            return to;
        return interpolate(start, to, curve.progress(local));
    }
    case Basic:
        return interpolate(start, to, fraction(now));
    case Keyframes: {
        if (values.empty())
            return to;
        if (values.size() == 1)
            return values.front();
        const double f = fraction(now) * double(values.size() - 1);
        const size_t i = std::min(size_t(f), values.size() - 2);
        return interpolate(values[i], values[i + 1], f - double(i));
    }
    case Fade:
        return to;
    }
    return to;
}

Animation Animation::spring(const QString &keyPath, const SpringMotion &motion, std::optional<Value> from,
                            Value to, double duration, double initialVelocity)
{
    Animation a;
    a.kind = Spring;
    a.keyPath = keyPath;
    a.curve = SpringCurve(motion, initialVelocity);
    a.from = std::move(from);
    a.to = std::move(to);
    a.duration = a.curve.settlingDuration();
    a.speed = springSpeed(a.duration, duration);
    return a;
}

QRectF LayerState::visualFrame() const
{
    QRectF r(0, 0, bounds.width() * scale, bounds.height() * scale);
    r.moveCenter(position + QPointF(translationX, 0));
    return r;
}

QRectF Layer::frame() const
{
    QRectF r(0, 0, bounds.width(), bounds.height());
    r.moveCenter(position);
    return r;
}

void Layer::setFrame(const QRectF &rect)
{
    bounds = QRectF(0, 0, rect.width(), rect.height());
    position = rect.center();
}

Value Layer::modelValue(const QString &k) const
{
    if (k == keys::position)
        return position;
    if (k == keys::positionX)
        return position.x();
    if (k == keys::bounds)
        return bounds;
    if (k == keys::opacity)
        return opacity;
    if (k == keys::cornerRadius)
        return cornerRadius;
    if (k == keys::scale)
        return scale;
    if (k == keys::translationX)
        return translationX;
    if (k == keys::rotationZ)
        return rotation;
    return 0.0;
}

void Layer::setModelValue(const QString &k, const Value &v)
{
    if (k == keys::position)
        position = asPoint(v);
    else if (k == keys::positionX)
        position.setX(asDouble(v));
    else if (k == keys::bounds)
        bounds = asRect(v);
    else if (k == keys::opacity)
        opacity = asDouble(v);
    else if (k == keys::cornerRadius)
        cornerRadius = asDouble(v);
    else if (k == keys::scale)
        scale = asDouble(v);
    else if (k == keys::translationX)
        translationX = asDouble(v);
    else if (k == keys::rotationZ)
        rotation = asDouble(v);
}

Value Layer::presentationValue(const QString &k, double now) const
{
    if (k == keys::positionX)
        return presentation(now).position.x();
    Value v = modelValue(k);
    for (const auto &[key, a] : m_animations) {
        if (a.keyPath != k || a.kind == Animation::Fade)
            continue;
        v = a.additive ? addValues(v, a.valueAt(now)) : a.valueAt(now);
    }
    return v;
}

LayerState Layer::presentation(double now) const
{
    LayerState s{position, bounds, opacity, cornerRadius, scale, translationX, rotation};
    for (const auto &[key, a] : m_animations) {
        if (a.kind == Animation::Fade)
            continue;
        const Value v = a.valueAt(now);
        const QString &k = a.keyPath;
        if (k == keys::position)
            s.position = a.additive ? s.position + asPoint(v) : asPoint(v);
        else if (k == keys::positionX)
            s.position.setX(a.additive ? s.position.x() + asDouble(v) : asDouble(v));
        else if (k == keys::bounds)
            s.bounds = asRect(v);
        else if (k == keys::opacity)
            s.opacity = a.additive ? s.opacity + asDouble(v) : asDouble(v);
        else if (k == keys::cornerRadius)
            s.cornerRadius = asDouble(v);
        else if (k == keys::scale)
            s.scale = a.additive ? s.scale + asDouble(v) : asDouble(v);
        else if (k == keys::translationX)
            s.translationX = a.additive ? s.translationX + asDouble(v) : asDouble(v);
        else if (k == keys::rotationZ)
            s.rotation = a.additive ? s.rotation + asDouble(v) : asDouble(v);
    }
    return s;
}

QRectF Layer::presentationFrame(double now) const
{
    if (m_animations.empty())
        return frame();
    const LayerState s = presentation(now);
    QRectF r(0, 0, s.bounds.width(), s.bounds.height());
    r.moveCenter(s.position);
    return r;
}

void Layer::addAnimation(const QString &key, Animation animation, double now)
{
    if (!animation.from && animation.kind != Animation::Keyframes && animation.kind != Animation::Fade)
        animation.from = presentationValue(animation.keyPath, now);
    animation.beginTime = now;
    for (auto &entry : m_animations) {
        if (entry.first == key) {
            // The replaced animation never finishes, but whoever waits on it
            // must still hear of it.
            if (entry.second.completion)
                entry.second.completion();
            entry.second = std::move(animation);
            return;
        }
    }
    m_animations.emplace_back(key, std::move(animation));
}

void Layer::removeAnimation(const QString &key)
{
    auto it = std::find_if(m_animations.begin(), m_animations.end(), [&](const auto &e) { return e.first == key; });
    if (it == m_animations.end())
        return;
    auto completion = std::move(it->second.completion);
    m_animations.erase(it);
    if (completion)
        completion();
}

void Layer::removeAllAnimations()
{
    auto animations = std::move(m_animations);
    m_animations.clear();
    for (auto &[key, a] : animations) {
        if (a.completion)
            a.completion();
    }
}

const Animation *Layer::animation(const QString &key) const
{
    for (const auto &[k, a] : m_animations) {
        if (k == key)
            return &a;
    }
    return nullptr;
}

bool Layer::isAnimating(double now) const
{
    return std::any_of(m_animations.begin(), m_animations.end(), [&](const auto &e) { return !e.second.finished(now); });
}

bool Layer::isReshaping(double now) const
{
    return std::any_of(m_animations.begin(), m_animations.end(),
                       [&](const auto &e) { return e.second.keyPath != keys::opacity && !e.second.finished(now); });
}

void Layer::reap(double now, std::vector<std::function<void()>> &completions)
{
    auto it = std::remove_if(m_animations.begin(), m_animations.end(), [&](auto &e) {
        if (!e.second.finished(now))
            return false;
        if (e.second.completion)
            completions.push_back(std::move(e.second.completion));
        return true;
    });
    m_animations.erase(it, m_animations.end());
}

void Layer::addSublayer(const LayerPtr &layer)
{
    if (!layer || layer.get() == this)
        return;
    LayerPtr keep = layer;
    keep->removeFromSuperlayer();
    keep->m_superlayer = this;
    keep->m_indexInSuperlayer = m_sublayers.size();
    m_sublayers.push_back(std::move(keep));
}

Layer::~Layer()
{
    for (const LayerPtr &sub : m_sublayers) {
        if (sub && sub->m_superlayer == this)
            sub->m_superlayer = nullptr;
    }
}

void Layer::compact() const
{
    size_t out = 0;
    for (size_t i = 0; i < m_sublayers.size(); ++i) {
        if (!m_sublayers[i])
            continue;
        if (out != i)
            m_sublayers[out] = std::move(m_sublayers[i]);
        m_sublayers[out]->m_indexInSuperlayer = out;
        ++out;
    }
    m_sublayers.resize(out);
    m_holes = 0;
}

void Layer::removeFromSuperlayer()
{
    Layer *parent = m_superlayer;
    if (!parent)
        return;
    m_superlayer = nullptr;
    const size_t at = m_indexInSuperlayer;
    if (at >= parent->m_sublayers.size() || parent->m_sublayers[at].get() != this)
        return;
    // The slot may hold the last reference to this layer: it goes only once
    // nothing here is touched any more.
    LayerPtr self = std::move(parent->m_sublayers[at]);
    if (at + 1 == parent->m_sublayers.size())
        parent->m_sublayers.pop_back();
    else
        ++parent->m_holes;
    if (parent->m_holes > 16 && parent->m_holes * 2 > parent->m_sublayers.size())
        parent->compact();
}

LayerPtr Layer::sublayerNamed(const QString &n) const
{
    for (const auto &l : m_sublayers) {
        if (l && l->name == n)
            return l;
    }
    return nullptr;
}

} // namespace zezevaveri
