#pragma once
// How one shared collection looks in the cloud database: a zone
// "collection-<id>", a root record "Collection" and one "Item" record per
// item; and the conversions between those records and the library's values.
// Pure functions, apart from looking whether an item's files exist.

#include "CloudDatabase.h"

#include "library/Board.h"
#include "library/Item.h"

#include <QMap>
#include <QVariant>

#include <optional>

namespace vellora {

inline const QString kCollectionRecordType = QStringLiteral("Collection");
inline const QString kItemRecordType = QStringLiteral("Item");
inline const QString kSnapshotKey = QStringLiteral("sharingSnapshot");
// The collection names last agreed with the service, so that only a rename
// made here is pushed.
inline const QString kSharedNamesKey = QStringLiteral("sharingNames");
inline const QString kTokenKeyPrefix = QStringLiteral("ckToken.");
// The largest file a fetched record may bring (thumbnail or original).
inline constexpr qint64 kMaxSharedAssetBytes = 256LL * 1024 * 1024;

using SharingSnapshot = QMap<QString, QStringList>;

QString zoneNameFor(const QString &collectionId);
// True when the user joined the collection (its owner is someone else).
bool isJoined(const Board &board);
CloudScope scopeFor(const Board &board);
CloudZoneID zoneFor(const Board &board);

// "sharingSnapshot" as stored; nothing when any value is not a list of strings.
std::optional<SharingSnapshot> decodeSnapshot(const QVariant &stored);
QVariant encodeSnapshot(const SharingSnapshot &snapshot);

// The "Item" record of `item` under the root record; assets only for files
// that exist under `libraryRoot`.
CloudRecord itemRecord(const Item &item, const CloudZoneID &zone, const QString &rootName,
                       const QString &libraryRoot);
CloudRecord collectionRecord(const Board &board, const CloudZoneID &zone);

// The extension a fetched record may give a file: letters and digits, one
// to eight of them; anything else is "png".
QString safeExtension(const QString &ext);
// The new item a fetched "Item" record describes, before its files arrive;
// nothing when the record cannot name a library item (its name is not an id).
std::optional<Item> itemFromRecord(const CloudRecord &record, const QString &collectionId, double now);

} // namespace vellora
