#pragma once
// The sections a library is browsed by: the four that every library has,
// each collection and each smart folder. What belongs to a section is
// decided here and nowhere else, so that the sidebar's counts, the page that
// shows a section and the window's incremental updates cannot disagree.

#include "Item.h"
#include "ItemChanges.h"
#include "SmartFolder.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace vellora {

class LibraryStore;

// The ids of the four sections every library has.
inline const QString kSectionAll = QStringLiteral("all");
inline const QString kSectionInbox = QStringLiteral("inbox");
inline const QString kSectionLinks = QStringLiteral("links");
inline const QString kSectionTrash = QStringLiteral("trash");

struct BuiltInSection {
    QString id;
    // The page heading and the Go menu's row.
    QString title;
    QString icon;
    // The sidebar row, which has room to say more ("All Items").
    QString rowTitle;
};
// "all", "inbox", "links", "trash", in this order.
const QList<BuiltInSection> &builtInSections();
// The built-in section with that id; null for any other id.
const BuiltInSection *builtInSection(const QString &id);

using SectionMember = std::function<bool(const Item &)>;

// Whether a record belongs to a section:
//   "all"    every item outside the trash;
//   "inbox"  the members of `inboxId` (the first collection);
//   "links"  the links outside the trash;
//   "trash"  the trashed items;
//   a smart folder's id: the items outside the trash that its rules match
//            (SmartFolder::matches). A smart folder wins over a collection
//            with the same id; the first folder with that id decides;
//   anything else: the members of the collection with that id.
SectionMember sectionMembership(const QString &sectionId, const QString &inboxId,
                                const QList<SmartFolder> &smartFolders);
// The same with the store's first collection and smart folders as they are now.
SectionMember sectionMembership(const LibraryStore &store, const QString &sectionId);
// One smart folder's members, whatever its id says.
SectionMember smartFolderMembership(const SmartFolder &folder);

// How many records belong to each of a few sections (up to 64 are followed
// by edits; more are counted once and then counted again on each edit). A
// recount reads the whole list; between two, edits adjust the counts by
// their records alone.
class SectionCounts {
public:
    // Counts `members` over `items` from scratch.
    void recount(const QList<Item> &items, const QList<SectionMember> &members, qint64 now);
    // Adjusts by one edit of `items` (the list as it is after the edit).
    // When the edit cannot be followed by its records the counts become
    // invalid and want a recount.
    void apply(const ItemChanges &changes, const QList<Item> &items);
    void invalidate() { m_valid = false; }
    bool valid() const { return m_valid; }
    // When the last recount ran: rules of the "added within" kind age.
    qint64 countedAt() const { return m_countedAt; }
    // The count of the i-th section of the last recount; 0 past the end.
    int count(qsizetype index) const { return m_counts.value(index); }

private:
    quint64 marks(const Item &item) const;

    QList<SectionMember> m_members;
    QList<int> m_counts;
    // Per record id, which sections it counts in (bit i: the i-th); only
    // records that count somewhere are kept.
    QHash<QString, quint64> m_marks;
    bool m_valid = false;
    qint64 m_countedAt = 0;
};

} // namespace vellora
