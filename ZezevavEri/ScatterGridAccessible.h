#pragma once
// What assistive technology (AT-SPI through Qt's bridge) sees of the grid:
// the tiles are painted inside the viewport, so the viewport's interface is
// a list whose children are its child widgets (the header, the hover and
// stage overlays) followed by one list item per tile laid out in the visible
// area, named by the item's title, with the selected and focused states, a
// press action (what a plain click does) and a toggle action (what a
// Ctrl-click does).

#include <QStringList>

namespace zezevaveri {

class ScatterGridView;

// Gives every grid's viewport that interface; once per process, before a
// viewport's interface is first asked for.
void installGridAccessibility();

// Tell assistive technology, while one listens, that the tiles moved
// (a relayout, a scroll) or that the selection went from `before` to `after`.
void announceGridReorder(ScatterGridView *view);
void announceGridSelection(ScatterGridView *view, const QStringList &before, const QStringList &after);

} // namespace zezevaveri
