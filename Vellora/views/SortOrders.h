#pragma once
// The grid's sort orders: the value stored as "gridSortOrder" and the label
// the header bar's menu shows. One table for the menu and the window's state.

#include <QCoreApplication>
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
        {QStringLiteral("newest"), QCoreApplication::translate("vellora::HeaderBar", "Date added, newest first")},
        {QStringLiteral("oldest"), QCoreApplication::translate("vellora::HeaderBar", "Date added, oldest first")},
        {QStringLiteral("az"), QCoreApplication::translate("vellora::HeaderBar", "Name, A\u2013Z")},
        {QStringLiteral("za"), QCoreApplication::translate("vellora::HeaderBar", "Name, Z\u2013A")},
        {QStringLiteral("opened"), QCoreApplication::translate("vellora::HeaderBar", "Most opened")},
    };
    return orders;
}

} // namespace vellora
