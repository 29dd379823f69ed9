#pragma once
// Which records one edit of the store touched, by id, so that the views can
// update what they show of those records instead of everything.

#include <QList>
#include <QStringList>

namespace vellora {

struct ItemChanges {
    // Appended at the end of the list, in order; `addedAt[i]` is where
    // `added[i]` is in the list.
    QStringList added;
    QList<qsizetype> addedAt;
    // Changed where they are, at `changedAt[i]`; an id never changes this way.
    QStringList changed;
    QList<qsizetype> changedAt;
    // Taken out; `removedAt[i]` is where `removed[i]` was in the list at the
    // moment it left (records after it moved up by one).
    QStringList removed;
    QList<qsizetype> removedAt;
    // How the number of records outside the trash changed.
    qsizetype activeDelta = 0;

    void add(const QString &id, qsizetype at)
    {
        added.append(id);
        addedAt.append(at);
    }
    void change(const QString &id, qsizetype at)
    {
        changed.append(id);
        changedAt.append(at);
    }

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
