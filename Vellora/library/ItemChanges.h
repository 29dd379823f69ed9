#pragma once
// Which records one edit of the store touched, by id, so that the views can
// update what they show of those records instead of everything.

#include <QList>
#include <QStringList>

namespace vellora {

struct ItemChanges {
    // Appended at the end of the list, in order.
    QStringList added;
    // Changed where they are.
    QStringList changed;
    // Taken out; `removedAt[i]` is where `removed[i]` was in the list at the
    // moment it left (records after it moved up by one).
    QStringList removed;
    QList<qsizetype> removedAt;

    bool isEmpty() const { return added.isEmpty() && changed.isEmpty() && removed.isEmpty(); }
    // Every id named, each once.
    QStringList ids() const
    {
        QStringList all = added + changed + removed;
        all.removeDuplicates();
        return all;
    }
};

} // namespace vellora
