#include "Geometry.h"

#include <algorithm>
#include <cmath>

namespace zezevaveri {

JustifiedLayout justifiedLayout(std::span<const double> aspects, double width, double rowHeight,
                                double gap, double headerHeight)
{
    JustifiedLayout out;
    out.height = justifiedLayout(aspects, width, rowHeight, gap, headerHeight, out.frames);
    return out;
}

double justifiedLayout(std::span<const double> aspects, double width, double rowHeight, double gap,
                       double headerHeight, std::vector<QRectF> &frames)
{
    const double h = std::isfinite(headerHeight) && headerHeight > 0 ? headerHeight : 0.0;
    return justifiedLayoutFrom(aspects, width, rowHeight, gap, headerHeight, 0, gap + h, frames);
}

size_t rowStartOf(std::span<const QRectF> frames, size_t index)
{
    if (index >= frames.size())
        return frames.size();
    // Rows lie at distinct heights, and a row's frames share its top.
    const double top = frames[index].y();
    while (index > 0 && frames[index - 1].y() == top)
        --index;
    return index;
}

double justifiedLayoutFrom(std::span<const double> aspects, double width, double rowHeight, double gap,
                           double headerHeight, size_t first, double top, std::vector<QRectF> &frames)
{
    struct {
        std::vector<QRectF> &frames;
        double height = 0;
    } out{frames};
    first = std::min({first, frames.size(), aspects.size()});
    if (first == 0)
        frames.clear();
    else
        frames.resize(first);
    const double r = rowHeight, g = gap;
    const double h = std::isfinite(headerHeight) && headerHeight > 0 ? headerHeight : 0.0;
    out.height = (std::isfinite(g) ? std::max(g, 0.0) : 0.0) + h;
    const double A = width - 2 * g;
    if (!std::isfinite(width) || !std::isfinite(r) || !std::isfinite(g) || r <= 0 || g < 0 || !(A > 0)) {
        frames.clear();
        return out.height;
    }

    // Room to grow: laying out again after one more item must not take a
    // fresh block of memory each time.
    if (out.frames.capacity() < aspects.size())
        out.frames.reserve(aspects.size() + aspects.size() / 4 + 64);
    double y = first == 0 ? g + h : top;
    size_t rowStart = first;
    double sum = 0;

    auto closeRow = [&](size_t end) {
        const size_t count = end - rowStart;
        const double k = (A - g * double(count - 1)) / sum;
        const double rowH = r * k;
        double x = g;
        for (size_t i = rowStart; i < end; ++i) {
            const double w = k * r * sanitizedAspect(aspects[i]);
            out.frames.emplace_back(x, y, w, rowH);
            x += w + g;
        }
        y += rowH + g;
        rowStart = end;
        sum = 0;
    };

    for (size_t i = first; i < aspects.size(); ++i) {
        // A row whose gaps alone would fill the width cannot take another item:
        // close it now so that no row ends with a scale of zero or below.
        if (i > rowStart && A - g * double(i - rowStart) <= 0)
            closeRow(i);
        sum += r * sanitizedAspect(aspects[i]);
        const size_t count = i + 1 - rowStart;
        if (g * double(count - 1) + sum >= A)
            closeRow(i + 1);
    }
    if (rowStart < aspects.size()) {
        double x = g;
        for (size_t i = rowStart; i < aspects.size(); ++i) {
            const double w = r * sanitizedAspect(aspects[i]);
            out.frames.emplace_back(x, y, w, r);
            x += w + g;
        }
        y += r + g;
    }
    return y;
}

QRectF stageRect(double aspect, const QRectF &visible)
{
    const double a = sanitizedAspect(aspect);
    const double w = std::max(0.0, std::min(a * 0.8 * visible.height(), 0.8 * visible.width()));
    const double h = w / a;
    QRectF rect(0, 0, w, h);
    rect.moveCenter(visible.center());
    return rect;
}

std::optional<int> neighbourIndex(std::span<const ScatterItem> items, int index, int step)
{
    if (step == 0 || index < 0 || index >= int(items.size()))
        return std::nullopt;
    const int dir = step > 0 ? 1 : -1;
    for (int i = index + step; i >= 0 && i < int(items.size()); i += dir) {
        if (!items[size_t(i)].external)
            return i;
    }
    return std::nullopt;
}

QRectF loadRect(const QRectF &visible, double scrollDir, double rowHeight, double gap)
{
    QRectF load = visible.adjusted(0, -visible.height(), 0, visible.height());
    const double extra = 2 * (rowHeight + gap);
    if (scrollDir < 0)
        load.setTop(load.top() - extra);
    else if (scrollDir > 0)
        load.setBottom(load.bottom() + extra);
    return load;
}

std::vector<PushTarget> pushTargets(std::span<const QRectF> frames, int index, const QRectF &load,
                                    int visibleCount, const ScatterConfig &config)
{
    std::vector<PushTarget> out;
    const QRectF origin = index >= 0 && index < int(frames.size()) ? frames[size_t(index)] : QRectF();
    const int threshold = config.densityThreshold;
    const double density = threshold >= 1 && threshold < visibleCount ? double(threshold) / visibleCount : 1.0;
    const double s = config.rowHeight / 156.0;
    const double base = density * config.push * s;
    const double range = config.reach * s;
    const QPointF c = origin.center();
    for (int i = 0; i < int(frames.size()); ++i) {
        if (i == index)
            continue;
        const QRectF &r = frames[size_t(i)];
        if (!r.intersects(load))
            continue;
        const QPointF delta = r.center() - c;
        const double d = std::max(std::hypot(delta.x(), delta.y()), 0.001);
        const double m = range > 0 ? base * std::exp(-d / range) : 0.0;
        QRectF target = r;
        if (m >= 1)
            target.translate(delta.x() / d * m, delta.y() / d * m);
        out.push_back({i, target});
    }
    return out;
}

ClickResult clickResult(std::span<const ScatterItem> items, const QStringList &selected, int index,
                        int modifiers)
{
    ClickResult out;
    out.selected = selected;
    if (index < 0 || index >= int(items.size()))
        return out;
    const ScatterItem &item = items[size_t(index)];
    const bool shift = modifiers & ShiftModifier;
    const bool command = modifiers & CommandModifier;

    if (shift && !selected.isEmpty()) {
        const QString &anchor = selected.last();
        auto it = std::find_if(items.begin(), items.end(), [&](const ScatterItem &x) { return x.id == anchor; });
        if (it != items.end()) {
            const int j = int(it - items.begin());
            for (int k = std::min(index, j); k <= std::max(index, j); ++k) {
                const QString &id = items[size_t(k)].id;
                if (!out.selected.contains(id))
                    out.selected.append(id);
            }
            return out;
        }
    }
    if (!shift && !command) {
        out.action = item.external ? ClickResult::Activate : ClickResult::Open;
        return out;
    }
    if (out.selected.contains(item.id))
        out.selected.removeAll(item.id);
    else
        out.selected.append(item.id);
    return out;
}

PillGeometry pillGeometry(double w, double h, double measuredText, bool external)
{
    PillGeometry g;
    const double arrow = external ? 24.0 : 0.0;
    const double available = w - 19 - 9.5 - 16 - 7.5 - 12 - arrow;
    g.room = std::max(available, 0.0);
    g.textWidth = std::min(g.room, std::trunc(std::max(measuredText, 0.0)));
    const double p = arrow + g.textWidth + 33.0 + 12.5;
    g.arrow = QRectF(p - 22.5, 11.0, 10.0, 10.0);
    g.pill = QRectF((w - p) * 0.5, h - 41.5, p, 32.0);
    g.icon = QRectF(9.5, 8.0, 16.0, 16.0);
    g.text = QRectF(33.0, 7.0, g.textWidth, 18.0);
    return g;
}

} // namespace zezevaveri
