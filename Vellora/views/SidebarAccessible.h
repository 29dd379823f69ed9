#pragma once
// What assistive technology (AT-SPI through Qt's bridge) sees of the
// sidebar: its rows are painted inside one widget, so each row, the plus
// button and the section plus buttons get an interface of their own: a
// button named by its title ("Add", "Add to Collections", "Inbox"), with the
// selected state on the shown section and a press action; a shared
// collection carries a "Shared" picture as its one child.

#include <QAccessibleWidget>

namespace vellora {

class Sidebar;

class SidebarAccessible : public QAccessibleWidget {
public:
    explicit SidebarAccessible(Sidebar *sidebar);

    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *childAt(int x, int y) const override;

    Sidebar *sidebar() const;
};

// Makes SidebarAccessible the interface of every Sidebar; once per process.
void installSidebarAccessibility();

} // namespace vellora
