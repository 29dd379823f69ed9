#include "library/OldLibrary.h"

#include "platform/IntakeFile.h"

#include <QFile>

#include <algorithm>

namespace vellora {

using nlohmann::json;

namespace {
// Far beyond any real library document; a bound on what one file may take.
constexpr qint64 kMaxOldLibraryBytes = qint64(256) << 20;
} // namespace

std::optional<QString> oldString(const json &object, const char *key)
{
    if (!object.is_object())
        return std::nullopt;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return QString::fromStdString(it->get<std::string>());
}

std::optional<double> oldNumber(const json &object, const char *key)
{
    if (!object.is_object())
        return std::nullopt;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number())
        return std::nullopt;
    return it->get<double>();
}

std::optional<OldLibrary> readOldLibrary(const QString &folder)
{
    // Another library's file: no link, FIFO or device, and a bounded size.
    const auto read = readIntakeFile(folder + QStringLiteral("/library.json"), LinkPolicy::Refuse, kMaxOldLibraryBytes);
    if (!read)
        return std::nullopt;
    const QByteArray &bytes = *read;
    const json document = json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return std::nullopt;

    const auto collections = document.find("collections");
    const auto order = document.find("topLevelOrder");
    if (collections == document.end() || !collections->is_array() || order == document.end() || !order->is_array())
        return std::nullopt;
    for (const json &c : *collections) {
        if (!c.is_object())
            return std::nullopt;
    }
    for (const json &id : *order) {
        if (!id.is_string())
            return std::nullopt;
    }

    OldLibrary library;
    for (const json &collection : *collections) {
        const std::optional<QString> id = oldString(collection, "id");
        const auto groups = collection.find("groups");
        if (groups == collection.end() || !groups->is_array())
            continue;
        for (const json &group : *groups) {
            if (!group.is_object())
                continue;
            const auto ids = group.find("itemIDs");
            if (ids == group.end() || !ids->is_array())
                continue;
            for (const json &itemId : *ids) {
                if (!itemId.is_string())
                    continue;
                const QString key = QString::fromStdString(itemId.get<std::string>());
                if (id)
                    library.collectionOfItem.insert(key, *id);
                else
                    library.collectionOfItem.remove(key);
            }
        }
    }

    for (const json &idValue : *order) {
        const QString id = QString::fromStdString(idValue.get<std::string>());
        const auto match = std::find_if(collections->begin(), collections->end(),
                                        [&](const json &c) { return oldString(c, "id") == id; });
        if (match == collections->end())
            continue;
        OldCollection c;
        c.id = id;
        c.name = oldString(*match, "name").value_or(QStringLiteral("Untitled"));
        c.dateCreated = oldNumber(*match, "dateCreated").value_or(0.0);
        library.collections.append(c);
    }

    const auto items = document.find("items");
    if (items != document.end() && items->is_array()) {
        for (const json &entry : *items) {
            if (entry.is_object())
                library.entries.push_back(entry);
        }
    }
    std::stable_sort(library.entries.begin(), library.entries.end(), [](const json &a, const json &b) {
        return oldNumber(a, "dateAdded").value_or(0.0) < oldNumber(b, "dateAdded").value_or(0.0);
    });
    return library;
}

} // namespace vellora
