#include "SidebarAccessible.h"

#include "Sidebar.h"

#include <QAccessibleActionInterface>
#include <QCoreApplication>
#include <QHash>
#include <QPointer>
#include <QWindow>

namespace vellora {

namespace {

// One painted control of the sidebar, found again by its key on every call:
// a row that went away makes its interface invalid, never a wrong one.
class SidebarElement : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    SidebarElement(Sidebar *sidebar, const QString &key, bool badge)
        : m_sidebar(sidebar), m_key(key), m_badge(badge)
    {
    }

    std::optional<Sidebar::AccessibleElement> element() const
    {
        if (!m_sidebar)
            return std::nullopt;
        for (const Sidebar::AccessibleElement &e : m_sidebar->accessibleElements())
            if (e.key == m_key)
                return e;
        return std::nullopt;
    }

    bool isValid() const override
    {
        const auto e = element();
        return e && (!m_badge || e->shared);
    }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override
    {
        return m_sidebar && m_sidebar->window() ? m_sidebar->window()->windowHandle() : nullptr;
    }
    QAccessibleInterface *focusChild() const override { return nullptr; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *parent() const override;
    QAccessibleInterface *child(int index) const override;
    int childCount() const override
    {
        const auto e = element();
        return !m_badge && e && e->shared ? 1 : 0;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return childCount() == 1 && child == this->child(0) ? 0 : -1;
    }
    QString text(QAccessible::Text t) const override
    {
        const auto e = element();
        if (!e)
            return {};
        if (m_badge)
            return t == QAccessible::Name ? QCoreApplication::translate("vellora::Sidebar", "Shared") : QString();
        switch (t) {
        case QAccessible::Name:
            return e->name;
        case QAccessible::Description:
            return e->shared ? QCoreApplication::translate("vellora::Sidebar", "Shared") : QString();
        default:
            return {};
        }
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        const auto e = element();
        if (!e || !m_sidebar)
            return {};
        QRect r = e->rect;
        if (m_badge)
            r = QRect(r.right() - 26, r.center().y() - 5, 10, 10);
        return QRect(m_sidebar->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override { return m_badge ? QAccessible::Graphic : QAccessible::Button; }
    QAccessible::State state() const override
    {
        QAccessible::State st;
        const auto e = element();
        if (!e || !m_sidebar) {
            st.invalid = true;
            return st;
        }
        st.invisible = !m_sidebar->isVisible() || m_sidebar->visibleRegion().intersected(e->rect).isEmpty();
        st.offscreen = st.invisible;
        if (m_badge)
            return st;
        const bool row = !m_key.startsWith(QLatin1String("section:")) && m_key != QLatin1String("plus");
        st.selectable = row;
        st.selected = e->selected;
        st.focusable = true;
        st.hasPopup = m_key == QLatin1String("plus");
        return st;
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ActionInterface && !m_badge)
            return static_cast<QAccessibleActionInterface *>(this);
        return nullptr;
    }

    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString &name) override
    {
        if (name == pressAction() && m_sidebar && element())
            m_sidebar->pressElement(m_key);
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    QPointer<Sidebar> m_sidebar;
    QString m_key;
    bool m_badge;
};

// The interfaces handed out, one per sidebar, key and kind, for as long as
// the sidebar lives.
struct HandedOut {
    QHash<QString, QAccessible::Id> ids;
    QHash<const Sidebar *, QStringList> bySidebar;
};
HandedOut &handedOut()
{
    static HandedOut out;
    return out;
}

QString elementKey(const Sidebar *sidebar, const QString &key, bool badge)
{
    return QString::number(quintptr(sidebar), 16) + (badge ? u'!' : u'/') + key;
}

QAccessibleInterface *elementInterface(Sidebar *sidebar, const QString &key, bool badge)
{
    HandedOut &out = handedOut();
    const QString k = elementKey(sidebar, key, badge);
    if (const auto it = out.ids.constFind(k); it != out.ids.constEnd())
        return QAccessible::accessibleInterface(*it);
    auto *element = new SidebarElement(sidebar, key, badge);
    out.ids.insert(k, QAccessible::registerAccessibleInterface(element));
    if (!out.bySidebar.contains(sidebar)) {
        QObject::connect(sidebar, &QObject::destroyed, [sidebar] {
            HandedOut &out = handedOut();
            for (const QString &gone : out.bySidebar.take(sidebar))
                QAccessible::deleteAccessibleInterface(out.ids.take(gone));
        });
    }
    out.bySidebar[sidebar].append(k);
    return element;
}

QAccessibleInterface *SidebarElement::parent() const
{
    if (!m_sidebar)
        return nullptr;
    if (m_badge)
        return elementInterface(m_sidebar, m_key, false);
    return QAccessible::queryAccessibleInterface(m_sidebar);
}

QAccessibleInterface *SidebarElement::child(int index) const
{
    if (index != 0 || childCount() != 1)
        return nullptr;
    return elementInterface(m_sidebar, m_key, true);
}

QAccessibleInterface *sidebarFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("vellora::Sidebar") && object && object->isWidgetType())
        return new SidebarAccessible(static_cast<Sidebar *>(object));
    return nullptr;
}

} // namespace

SidebarAccessible::SidebarAccessible(Sidebar *sidebar) : QAccessibleWidget(sidebar, QAccessible::List, QCoreApplication::translate("vellora::Sidebar", "Sidebar")) {}

Sidebar *SidebarAccessible::sidebar() const { return static_cast<Sidebar *>(widget()); }

int SidebarAccessible::childCount() const { return int(sidebar()->accessibleElements().size()); }

QAccessibleInterface *SidebarAccessible::child(int index) const
{
    const QList<Sidebar::AccessibleElement> elements = sidebar()->accessibleElements();
    if (index < 0 || index >= elements.size())
        return nullptr;
    return elementInterface(sidebar(), elements.at(index).key, false);
}

int SidebarAccessible::indexOfChild(const QAccessibleInterface *child) const
{
    const QList<Sidebar::AccessibleElement> elements = sidebar()->accessibleElements();
    for (int i = 0; i < elements.size(); ++i) {
        const auto it = handedOut().ids.constFind(elementKey(sidebar(), elements.at(i).key, false));
        if (it != handedOut().ids.constEnd() && QAccessible::accessibleInterface(*it) == child)
            return i;
    }
    return -1;
}

QAccessibleInterface *SidebarAccessible::childAt(int x, int y) const
{
    const QPoint local = sidebar()->mapFromGlobal(QPoint(x, y));
    for (const Sidebar::AccessibleElement &e : sidebar()->accessibleElements())
        if (e.rect.contains(local))
            return elementInterface(sidebar(), e.key, false);
    return nullptr;
}

void installSidebarAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(sidebarFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace vellora
