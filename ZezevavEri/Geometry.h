#pragma once
// The grid's arithmetic, free of layers and widgets: justified rows, the
// stage, pager stepping, the neighbour push, click selection and the hover
// pill's geometry.

#include "ScatterTypes.h"

#include <QRectF>
#include <QStringList>

#include <optional>
#include <span>
#include <vector>

namespace zezevaveri {

struct JustifiedLayout {
    // One frame per item, in item order; empty when the width leaves no room.
    std::vector<QRectF> frames;
    // Bottom of the last row including the trailing gap.
    double height = 0;
};

// Greedy justified rows: items are added to a row until the row, gaps
// included, reaches the available width; the row is then scaled to fit it
// exactly. The unfinished last row keeps its natural size.
JustifiedLayout justifiedLayout(std::span<const double> aspects, double width, double rowHeight,
                                double gap, double headerHeight = 0);
// The same into `frames`, reusing its storage; returns the height.
double justifiedLayout(std::span<const double> aspects, double width, double rowHeight, double gap,
                       double headerHeight, std::vector<QRectF> &frames);
// Lays out again from `first`, which must start a row of the layout that
// `frames` holds (for the same width, row height, gap and header): a row's
// break depends only on the items before it, so the frames before `first`
// stay as they are. `top` is that row's y. Returns the height.
double justifiedLayoutFrom(std::span<const double> aspects, double width, double rowHeight, double gap,
                           double headerHeight, size_t first, double top, std::vector<QRectF> &frames);
// The first index of the row that holds frame `index` of a layout.
size_t rowStartOf(std::span<const QRectF> frames, size_t index);

// Where an opened item sits: 80 % of the visible area, centred.
QRectF stageRect(double aspect, const QRectF &visible);

// First item from `index` in the direction of `step` that is not external.
std::optional<int> neighbourIndex(std::span<const ScatterItem> items, int index, int step);

// The visible rectangle grown by its height above and below, and by two rows
// more in the direction of the last scroll.
QRectF loadRect(const QRectF &visible, double scrollDir, double rowHeight, double gap);

// Neighbour push: for every frame intersecting `load` other than `index`,
// where it moves to (the frame itself when the push is under a point). Frames
// outside `load` get no entry.
struct PushTarget {
    int index;
    QRectF frame;
};
std::vector<PushTarget> pushTargets(std::span<const QRectF> frames, int index, const QRectF &load,
                                    int visibleCount, const ScatterConfig &config);

// Modifiers of a click as the grid reads them. Command is Ctrl on Linux.
enum ClickModifier { NoModifier = 0, ShiftModifier = 1, CommandModifier = 2 };

struct ClickResult {
    enum Action { ChangeSelection, Open, Activate } action = ChangeSelection;
    QStringList selected;
};

// What a completed click on `items[index]` does to the selection `selected`
// (ordered; its last entry is the anchor).
ClickResult clickResult(std::span<const ScatterItem> items, const QStringList &selected, int index,
                        int modifiers);

struct PillGeometry {
    double textWidth = 0;
    // Width the tile leaves for the text; only a text wider than this is cut.
    double room = 0;
    QRectF pill;  // in the tile's coordinates
    QRectF icon;  // in the pill's coordinates
    QRectF text;
    QRectF arrow;
};

// Geometry of the hover pill on a tile of size w × h whose text measures
// `measuredText` points.
PillGeometry pillGeometry(double w, double h, double measuredText, bool external);

} // namespace zezevaveri
