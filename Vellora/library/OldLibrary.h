#pragma once
// The library.json of an older library folder, read loosely: only the keys
// the import uses, each taken when it has the expected JSON type. The import
// itself (importLibrary) is in LibraryStoreMedia.h.

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <nlohmann/json.hpp>
#include <optional>

namespace vellora {

struct OldCollection {
    QString id;
    QString name;        // "Untitled" when the old file has none
    double dateCreated = 0;
};

struct OldLibrary {
    // The collections named by "topLevelOrder", in its order, each from the
    // first collection object with that id; ids without an object are left out.
    QList<OldCollection> collections;
    // Item id -> the id of the last collection whose groups list it. An item
    // listed last by a collection without an id has no entry.
    QHash<QString, QString> collectionOfItem;
    // The objects of "items", oldest "dateAdded" first (absent counts as 0).
    std::vector<nlohmann::json> entries;
};

// Nothing when library.json in `folder` cannot be read, is not a JSON object,
// or lacks "collections" as a list of objects or "topLevelOrder" as a list of
// strings.
std::optional<OldLibrary> readOldLibrary(const QString &folder);

// Loose readers of one member of an object: the value when it is there with
// that JSON type.
std::optional<QString> oldString(const nlohmann::json &object, const char *key);
std::optional<double> oldNumber(const nlohmann::json &object, const char *key);

} // namespace vellora
