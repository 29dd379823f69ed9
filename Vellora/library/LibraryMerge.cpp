#include "LibraryMerge.h"

#include <QHash>
#include <QSet>

#include <nlohmann/json.hpp>

#include <functional>

namespace vellora {

namespace {

// A record's value for comparison: its JSON form. A record that cannot be
// encoded never equals anything, so it counts as changed.
template <typename Record>
std::string fingerprint(const Record &record)
{
    try {
        return record.toJSON().dump();
    } catch (const std::exception &) {
        return {};
    }
}

template <typename Record>
QList<Record> mergeRecords(const QList<Record> &base, const QList<Record> &local, const QList<Record> &remote)
{
    auto index = [](const QList<Record> &records) {
        QHash<QString, std::string> values;
        for (const Record &record : records) {
            if (!values.contains(record.id))
                values.insert(record.id, fingerprint(record));
        }
        return values;
    };
    const QHash<QString, std::string> baseValues = index(base);
    const QHash<QString, std::string> localValues = index(local);
    QHash<QString, const Record *> remoteRecords;
    for (const Record &record : remote) {
        if (!remoteRecords.contains(record.id))
            remoteRecords.insert(record.id, &record);
    }
    auto changed = [](const std::string &a, const std::string &b) { return a.empty() || a != b; };

    QList<Record> merged;
    QSet<QString> seen;
    for (const Record &record : local) {
        if (seen.contains(record.id))
            continue;
        seen.insert(record.id);
        const auto inBase = baseValues.constFind(record.id);
        if (inBase == baseValues.cend()) {
            merged.append(record); // added here
            continue;
        }
        const bool changedHere = changed(localValues.value(record.id), *inBase);
        const Record *theirs = remoteRecords.value(record.id, nullptr);
        if (changedHere)
            merged.append(record);
        else if (theirs)
            merged.append(*theirs);
        // else: deleted there and untouched here
    }
    for (const Record &record : remote) {
        if (seen.contains(record.id))
            continue;
        seen.insert(record.id);
        const auto inBase = baseValues.constFind(record.id);
        if (inBase == baseValues.cend() || changed(fingerprint(record), *inBase)) {
            // Added there, or deleted here while they changed it.
            merged.append(record);
        }
    }
    return merged;
}

} // namespace

LibraryFile mergeLibraries(const LibraryFile &base, const LibraryFile &local, const LibraryFile &remote)
{
    LibraryFile merged;
    merged.collections = mergeRecords(base.collections, local.collections, remote.collections);
    merged.items = mergeRecords(base.items, local.items, remote.items);
    // A version written without smart folders did not touch them.
    const QList<SmartFolder> baseFolders = base.smartFolders.value_or(QList<SmartFolder>());
    merged.smartFolders = mergeRecords(baseFolders, local.smartFolders.value_or(baseFolders),
                                       remote.smartFolders.value_or(baseFolders));
    if (merged.collections.isEmpty())
        merged.collections = local.collections.isEmpty() ? remote.collections : local.collections;

    QSet<QString> existing;
    for (const Board &board : merged.collections) {
        existing.insert(board.id);
        merged.topLevelOrder.append(board.id);
    }
    // Collections one side deleted; ids that never named a collection are
    // left as they are.
    QSet<QString> deleted;
    for (const QList<Board> *side : {&base.collections, &local.collections, &remote.collections})
        for (const Board &board : *side)
            if (!existing.contains(board.id))
                deleted.insert(board.id);
    const QString fallback = merged.collections.isEmpty() ? QString() : merged.collections.first().id;
    for (Item &item : merged.items) {
        if (item.trashedAt)
            continue;
        QStringList kept;
        for (const QString &id : item.collectionIds)
            if (!deleted.contains(id))
                kept.append(id);
        if (kept.isEmpty())
            kept.append(fallback);
        item.collectionIds = kept;
    }
    return merged;
}

} // namespace vellora
