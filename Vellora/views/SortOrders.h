#pragma once
// The grid's sort orders: the value stored as "gridSortOrder" and the label
// the header bar's menu shows. One table for the menu and the window's state.

#include <QList>
#include <QString>

namespace vellora {

struct SortOrder {
    QString value;
    QString label;
};

// "newest", "oldest", "az", "za", "opened", in menu order.
inline const QList<SortOrder> &sortOrders()
{
    static const QList<SortOrder> orders{
        {QStringLiteral("newest"), QStringLiteral("Date added, newest first")},
        {QStringLiteral("oldest"), QStringLiteral("Date added, oldest first")},
        {QStringLiteral("az"), QString::fromUtf8("Name, A\u2013Z")},
        {QStringLiteral("za"), QString::fromUtf8("Name, Z\u2013A")},
        {QStringLiteral("opened"), QStringLiteral("Most opened")},
    };
    return orders;
}

} // namespace vellora
