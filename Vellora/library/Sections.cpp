#include "Sections.h"

#include "LibraryStore.h"

#include <QCoreApplication>

namespace vellora {

const QList<BuiltInSection> &builtInSections()
{
    // Titles are words a person reads (translated); ids and icon names are not.
    static const QList<BuiltInSection> sections{
        {kSectionAll, QCoreApplication::translate("vellora::Sections", "All"),
         QStringLiteral("rectangle.stack"), QCoreApplication::translate("vellora::Sections", "All Items")},
        {kSectionInbox, QCoreApplication::translate("vellora::Sections", "Inbox"),
         QStringLiteral("tray"), QCoreApplication::translate("vellora::Sections", "Inbox")},
        {kSectionLinks, QCoreApplication::translate("vellora::Sections", "Links"),
         QStringLiteral("link"), QCoreApplication::translate("vellora::Sections", "Links")},
        {kSectionTrash, QCoreApplication::translate("vellora::Sections", "Trash"),
         QStringLiteral("trash"), QCoreApplication::translate("vellora::Sections", "Trash")},
    };
    return sections;
}

const BuiltInSection *builtInSection(const QString &id)
{
    for (const BuiltInSection &section : builtInSections())
        if (section.id == id)
            return &section;
    return nullptr;
}

SectionMember smartFolderMembership(const SmartFolder &folder)
{
    return [folder](const Item &item) { return !item.trashedAt && folder.matches(item); };
}

SectionMember sectionMembership(const QString &sectionId, const QString &inboxId,
                                const QList<SmartFolder> &smartFolders)
{
    if (sectionId == kSectionAll)
        return [](const Item &item) { return !item.trashedAt; };
    if (sectionId == kSectionInbox)
        return [inboxId](const Item &item) { return item.collectionIds.contains(inboxId); };
    if (sectionId == kSectionLinks)
        return [](const Item &item) { return !item.trashedAt && item.kind == QLatin1String("link"); };
    if (sectionId == kSectionTrash)
        return [](const Item &item) { return bool(item.trashedAt); };
    for (const SmartFolder &folder : smartFolders)
        if (folder.id == sectionId)
            return smartFolderMembership(folder);
    return [sectionId](const Item &item) { return item.collectionIds.contains(sectionId); };
}

SectionMember sectionMembership(const LibraryStore &store, const QString &sectionId)
{
    return sectionMembership(sectionId, store.defaultBoardId(), store.smartFolders());
}

// ---- SectionCounts ----

namespace {
constexpr qsizetype kFollowedSections = 64;
}

quint64 SectionCounts::marks(const Item &item) const
{
    quint64 bits = 0;
    for (qsizetype i = 0; i < m_members.size() && i < kFollowedSections; ++i)
        if (m_members[i](item))
            bits |= quint64(1) << i;
    return bits;
}

void SectionCounts::recount(const QList<Item> &items, const QList<SectionMember> &members, qint64 now)
{
    m_members = members;
    m_counts = QList<int>(members.size(), 0);
    m_marks.clear();
    bool unique = true;
    for (const Item &item : items) {
        quint64 bits = 0;
        for (qsizetype i = 0; i < members.size(); ++i) {
            if (!members[i](item))
                continue;
            ++m_counts[i];
            if (i < kFollowedSections)
                bits |= quint64(1) << i;
        }
        if (bits) {
            const qsizetype before = m_marks.size();
            m_marks.insert(item.id, bits);
            unique = unique && m_marks.size() != before;
        }
    }
    // Adjusting by id needs one record per id and a bit per section.
    m_valid = unique && members.size() <= kFollowedSections;
    m_countedAt = now;
}

void SectionCounts::apply(const ItemChanges &changes, const QList<Item> &items)
{
    if (!m_valid)
        return;
    auto adjust = [this](quint64 before, quint64 after) {
        for (qsizetype i = 0; i < m_counts.size() && i < kFollowedSections; ++i) {
            const quint64 bit = quint64(1) << i;
            if ((before ^ after) & bit)
                m_counts[i] += (after & bit) ? 1 : -1;
        }
    };
    for (const QString &id : changes.removed)
        adjust(m_marks.take(id), 0);
    auto take = [&](const QString &id, qsizetype at, bool added) {
        if (at < 0 || at >= items.size() || items[at].id != id || (added && m_marks.contains(id))) {
            m_valid = false;
            return;
        }
        const quint64 before = m_marks.value(id);
        const quint64 after = marks(items[at]);
        adjust(before, after);
        if (after)
            m_marks.insert(id, after);
        else
            m_marks.remove(id);
    };
    for (qsizetype i = 0; i < changes.added.size() && m_valid; ++i)
        take(changes.added[i], changes.addedAt.value(i, -1), true);
    for (qsizetype i = 0; i < changes.changed.size() && m_valid; ++i)
        take(changes.changed[i], changes.changedAt.value(i, -1), false);
}

} // namespace vellora
