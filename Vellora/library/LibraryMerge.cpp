#include "LibraryMerge.h"

#include <QHash>
#include <QSet>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <type_traits>

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

// One value of a record's JSON form; null stands for an absent field.
nlohmann::json field(const nlohmann::ordered_json &record, const std::string &key)
{
    const auto it = record.find(key);
    return it == record.end() ? nlohmann::json() : nlohmann::json(*it);
}

// Membership lists merge as sets: what either side added is in, what either
// side removed is out; local order first, then the other side's additions.
nlohmann::json mergeSet(const nlohmann::json &base, const nlohmann::json &local, const nlohmann::json &remote)
{
    const auto members = [](const nlohmann::json &list) {
        std::vector<std::string> out;
        if (list.is_array())
            for (const auto &v : list)
                if (v.is_string())
                    out.push_back(v.get<std::string>());
        return out;
    };
    const auto has = [](const std::vector<std::string> &list, const std::string &v) {
        return std::find(list.begin(), list.end(), v) != list.end();
    };
    const auto b = members(base), l = members(local), r = members(remote);
    nlohmann::json merged = nlohmann::json::array();
    std::vector<std::string> taken;
    for (const auto *side : {&l, &r}) {
        for (const std::string &v : *side) {
            if (has(taken, v))
                continue;
            const bool removed = has(b, v) && (!has(l, v) || !has(r, v));
            if (removed)
                continue;
            taken.push_back(v);
            merged.push_back(v);
        }
    }
    return merged;
}

// Field by field against the common ancestor. A change on one side wins over
// no change; a move to the trash carries its membership with it; the lists
// of collections and tags merge as sets; any other field changed on both
// sides keeps the local value.
Item mergeItem(const Item &base, const Item &local, const Item &remote)
{
    const nlohmann::ordered_json b = base.toJSON(), l = local.toJSON(), r = remote.toJSON();
    nlohmann::ordered_json merged = l;
    std::vector<std::string> keys;
    for (const auto *side : {&b, &l, &r})
        for (auto it = side->begin(); it != side->end(); ++it)
            if (std::find(keys.begin(), keys.end(), it.key()) == keys.end())
                keys.push_back(it.key());
    const auto set = [&merged](const std::string &key, const nlohmann::json &value) {
        if (value.is_null())
            merged.erase(key);
        else
            merged[key] = value;
    };
    for (const std::string &key : keys) {
        const nlohmann::json vb = field(b, key), vl = field(l, key), vr = field(r, key);
        if (vl == vr || vr == vb)
            continue; // ours already
        if (vl == vb) {
            set(key, vr);
            continue;
        }
        if (key == "collectionIds" || key == "tags" || key == "trashedFrom")
            set(key, mergeSet(vb, vl, vr));
    }
    // A move to the trash on either side wins; it takes its own membership.
    const bool trashedHere = l.contains("trashedAt") && !b.contains("trashedAt");
    const bool trashedThere = r.contains("trashedAt") && !b.contains("trashedAt");
    if (trashedHere || trashedThere) {
        const nlohmann::ordered_json &side = trashedHere ? l : r;
        merged["trashedAt"] = side["trashedAt"];
        merged["collectionIds"] = nlohmann::json::array();
        nlohmann::json from = field(side, "trashedFrom");
        // Collections the other side added meanwhile are remembered as well.
        const nlohmann::json other = field(trashedHere ? r : l, "collectionIds");
        if (other.is_array())
            for (const auto &id : other)
                if (from.is_array() && std::find(from.begin(), from.end(), id) == from.end())
                    from.push_back(id);
        set("trashedFrom", from);
    }
    try {
        return Item::fromJSON(merged);
    } catch (const std::exception &) {
        return local;
    }
}

template <typename Record>
Record mergeRecord(const Record &, const Record &local, const Record &)
{
    return local;
}

template <>
Item mergeRecord(const Item &base, const Item &local, const Item &remote)
{
    return mergeItem(base, local, remote);
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
    QHash<QString, const Record *> baseRecords;
    for (const Record &record : base)
        if (!baseRecords.contains(record.id))
            baseRecords.insert(record.id, &record);
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
        if (!theirs) {
            // Deleted there: a deletion wins over a change made here (an
            // item deleted with its files must not come back without them).
            if (changedHere && !std::is_same_v<Record, Item>)
                merged.append(record);
            continue;
        }
        if (!changedHere)
            merged.append(*theirs);
        else if (!changed(fingerprint(*theirs), *inBase))
            merged.append(record);
        else
            merged.append(mergeRecord(*baseRecords.value(record.id), record, *theirs));
    }
    for (const Record &record : remote) {
        if (seen.contains(record.id))
            continue;
        seen.insert(record.id);
        const auto inBase = baseValues.constFind(record.id);
        if (inBase == baseValues.cend()) {
            merged.append(record); // added there
        } else if (!std::is_same_v<Record, Item> && changed(fingerprint(record), *inBase)) {
            // A collection or smart folder deleted here while they changed it.
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
