#include "ScatterGridAccessible.h"

#include "ScatterGridView.h"

#include <QAccessibleActionInterface>
#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QWindow>

namespace zezevaveri {

namespace {

// The viewport as a list: its child widgets, then the tiles on screen.
class ScatterGridAccessible : public QAccessibleWidget {
public:
    explicit ScatterGridAccessible(ScatterGridView *view);

    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *childAt(int x, int y) const override;
    QAccessible::State state() const override;

    ScatterGridView *view() const;
};

// One painted tile, found again by its item id on every call: a tile whose
// item went away makes its interface invalid, never one of another item.
class TileElement : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    TileElement(ScatterGridView *view, const QString &id) : m_view(view), m_id(id) {}

    // The item's index now; the last one found is tried first, as items
    // rarely move between two questions.
    int index() const
    {
        if (!m_view)
            return -1;
        const std::vector<ScatterItem> &items = m_view->engine().items();
        if (m_hint >= 0 && size_t(m_hint) < items.size() && items[size_t(m_hint)].id == m_id)
            return m_hint;
        m_hint = m_view->engine().indexOf(m_id);
        return m_hint;
    }
    const ScatterItem *item() const
    {
        const int i = index();
        return i < 0 ? nullptr : &m_view->engine().items()[size_t(i)];
    }
    // The tile's rectangle in the viewport's coordinates.
    QRect viewportRect() const
    {
        const LayerPtr layer = m_view ? m_view->engine().layer(m_id) : nullptr;
        if (!layer)
            return {};
        const double scrollY = m_view->engine().host().visibleRect().top();
        return layer->frame().translated(0, -scrollY).toAlignedRect();
    }

    bool isValid() const override { return index() >= 0; }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override
    {
        return m_view && m_view->window() ? m_view->window()->windowHandle() : nullptr;
    }
    QAccessibleInterface *focusChild() const override { return nullptr; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *parent() const override
    {
        return m_view ? QAccessible::queryAccessibleInterface(m_view->viewport()) : nullptr;
    }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QString text(QAccessible::Text t) const override
    {
        const ScatterItem *it = item();
        if (!it)
            return {};
        // Titles come from pages and file names: assistive technology reads
        // them as they stand, never as markup.
        switch (t) {
        case QAccessible::Name:
            return it->title;
        case QAccessible::Description:
            return it->subtitle;
        default:
            return {};
        }
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        const QRect r = viewportRect();
        if (!m_view || r.isNull())
            return {};
        return QRect(m_view->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override
    {
        QAccessible::State st;
        if (!isValid()) {
            st.invalid = true;
            return st;
        }
        QWidget *viewport = m_view->viewport();
        st.invisible = !viewport->isVisible() || viewport->visibleRegion().intersected(viewportRect()).isEmpty();
        st.offscreen = st.invisible;
        st.selectable = true;
        st.selected = m_view->engine().selected().contains(m_id);
        st.focusable = true;
        st.focused = m_view->hasFocus() && m_view->focusedID() == m_id;
        return st;
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface *>(this);
        return nullptr;
    }

    QStringList actionNames() const override { return {pressAction(), toggleAction()}; }
    void doAction(const QString &name) override
    {
        const ScatterItem *it = item();
        if (!it)
            return;
        if (name == pressAction()) {
            // As a plain click: a link goes to its page, a picture opens.
            if (it->external) {
                if (m_view->onActivate)
                    m_view->onActivate(m_id);
            } else {
                m_view->open(m_id);
            }
        } else if (name == toggleAction()) {
            QStringList selected = m_view->selected();
            if (selected.contains(m_id))
                selected.removeAll(m_id);
            else
                selected.append(m_id);
            m_view->select(selected);
        }
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    QPointer<ScatterGridView> m_view;
    QString m_id;
    mutable int m_hint = -1;
};

// The interfaces handed out, one per view and item id, for as long as the
// view lives (or its item stays).
struct HandedOut {
    QHash<const ScatterGridView *, QHash<QString, QAccessible::Id>> byView;
};
HandedOut &handedOut()
{
    static HandedOut out;
    return out;
}

// Ids of items that left the grid are let go once they outnumber the
// items, so that a long session of imports and deletes holds no more
// interfaces than about twice its tiles.
void sweep(ScatterGridView *view, QHash<QString, QAccessible::Id> &ids)
{
    const std::vector<ScatterItem> &items = view->engine().items();
    if (size_t(ids.size()) <= 2 * items.size() + 16)
        return;
    QSet<QString> present;
    present.reserve(qsizetype(items.size()));
    for (const ScatterItem &item : items)
        present.insert(item.id);
    for (auto it = ids.begin(); it != ids.end();) {
        if (present.contains(it.key())) {
            ++it;
        } else {
            QAccessible::deleteAccessibleInterface(it.value());
            it = ids.erase(it);
        }
    }
}

QAccessibleInterface *tileInterface(ScatterGridView *view, const QString &id)
{
    HandedOut &out = handedOut();
    auto found = out.byView.find(view);
    if (found == out.byView.end()) {
        found = out.byView.insert(view, {});
        QObject::connect(view, &QObject::destroyed, [view] {
            for (const QAccessible::Id gone : handedOut().byView.take(view))
                QAccessible::deleteAccessibleInterface(gone);
        });
    }
    QHash<QString, QAccessible::Id> &ids = found.value();
    if (const auto it = ids.constFind(id); it != ids.constEnd())
        return QAccessible::accessibleInterface(*it);
    sweep(view, ids);
    auto *element = new TileElement(view, id);
    ids.insert(id, QAccessible::registerAccessibleInterface(element));
    return element;
}

// The interface already handed out for that tile, or none.
QAccessibleInterface *knownTileInterface(const ScatterGridView *view, const QString &id)
{
    const auto found = handedOut().byView.constFind(view);
    if (found == handedOut().byView.constEnd())
        return nullptr;
    const auto it = found->constFind(id);
    return it == found->constEnd() ? nullptr : QAccessible::accessibleInterface(*it);
}

ScatterGridView *viewOfViewport(QObject *object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto *view = qobject_cast<ScatterGridView *>(object->parent());
    return view && view->viewport() == object ? view : nullptr;
}

QAccessibleInterface *gridFactory(const QString &className, QObject *object)
{
    // The viewport is a plain widget, told apart by the view around it.
    if (className != QLatin1String("QWidget"))
        return nullptr;
    if (ScatterGridView *view = viewOfViewport(object))
        return new ScatterGridAccessible(view);
    return nullptr;
}

ScatterGridAccessible::ScatterGridAccessible(ScatterGridView *view) : QAccessibleWidget(view->viewport(), QAccessible::List)
{
}

ScatterGridView *ScatterGridAccessible::view() const { return viewOfViewport(widget()); }

int ScatterGridAccessible::childCount() const
{
    ScatterGridView *grid = view();
    if (!grid)
        return QAccessibleWidget::childCount();
    const auto [lo, hi] = grid->engine().visibleRange();
    return QAccessibleWidget::childCount() + int(hi - lo);
}

QAccessibleInterface *ScatterGridAccessible::child(int index) const
{
    const int widgets = QAccessibleWidget::childCount();
    if (index < widgets)
        return index < 0 ? nullptr : QAccessibleWidget::child(index);
    ScatterGridView *grid = view();
    if (!grid)
        return nullptr;
    const auto [lo, hi] = grid->engine().visibleRange();
    const size_t i = lo + size_t(index - widgets);
    if (i >= hi)
        return nullptr;
    return tileInterface(grid, grid->engine().items()[i].id);
}

int ScatterGridAccessible::indexOfChild(const QAccessibleInterface *child) const
{
    if (!child)
        return -1;
    if (child->object())
        return QAccessibleWidget::indexOfChild(child);
    ScatterGridView *grid = view();
    if (!grid)
        return -1;
    const auto [lo, hi] = grid->engine().visibleRange();
    const std::vector<ScatterItem> &items = grid->engine().items();
    for (size_t i = lo; i < hi; ++i)
        if (knownTileInterface(grid, items[i].id) == child)
            return QAccessibleWidget::childCount() + int(i - lo);
    return -1;
}

QAccessibleInterface *ScatterGridAccessible::childAt(int x, int y) const
{
    QAccessibleInterface *widgetChild = QAccessibleWidget::childAt(x, y);
    ScatterGridView *grid = view();
    if (!grid)
        return widgetChild;
    // The hover overlay covers the tile under the pointer: the tile is
    // what is there.
    if (widgetChild && widgetChild->object() != grid->hoverHost())
        return widgetChild;
    const QPoint local = grid->viewport()->mapFromGlobal(QPoint(x, y));
    const QPointF point(local.x(), local.y() + grid->engine().host().visibleRect().top());
    const auto [lo, hi] = grid->engine().visibleRange();
    for (size_t i = lo; i < hi; ++i) {
        const QString &id = grid->engine().items()[i].id;
        const LayerPtr layer = grid->engine().layer(id);
        if (layer && layer->frame().contains(point))
            return tileInterface(grid, id);
    }
    return widgetChild;
}

QAccessible::State ScatterGridAccessible::state() const
{
    QAccessible::State st = QAccessibleWidget::state();
    st.multiSelectable = true;
    st.extSelectable = true;
    return st;
}

} // namespace

void installGridAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(gridFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

void announceGridReorder(ScatterGridView *view)
{
    if (!QAccessible::isActive() || !view)
        return;
    QAccessibleEvent reorder(view->viewport(), QAccessible::ObjectReorder);
    QAccessible::updateAccessibility(&reorder);
}

void announceGridSelection(ScatterGridView *view, const QStringList &before, const QStringList &after)
{
    if (!QAccessible::isActive() || !view)
        return;
    const QSet<QString> was(before.begin(), before.end());
    const QSet<QString> now(after.begin(), after.end());
    QAccessible::State changed;
    changed.selected = true;
    for (const QString &id : (was - now) | (now - was)) {
        if (QAccessibleInterface *tile = knownTileInterface(view, id)) {
            QAccessibleStateChangeEvent event(tile, changed);
            QAccessible::updateAccessibility(&event);
        }
    }
    QAccessibleEvent within(view->viewport(), QAccessible::SelectionWithin);
    QAccessible::updateAccessibility(&within);
    if (view->hasFocus() && !after.isEmpty())
        if (QAccessibleInterface *tile = tileInterface(view, after.last())) {
            QAccessibleEvent focus(tile, QAccessible::Focus);
            QAccessible::updateAccessibility(&focus);
        }
}

} // namespace zezevaveri
