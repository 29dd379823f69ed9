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

inline const QString kCollectionRecordType = cloudprotocol::kTypeCollection;
inline const QString kItemRecordType = cloudprotocol::kTypeItem;
inline const QString kSnapshotKey = QStringLiteral("sharingSnapshot");
// The collection names last agreed with the service, so that only a rename
// made here is pushed.
inline const QString kSharedNamesKey = QStringLiteral("sharingNames");
inline const QString kTokenKeyPrefix = QStringLiteral("ckToken.");
// What was last agreed with the service about each shared item, per
// collection: [collection id: [item id: agreement()]]. A change made here
// since then is pushed; a change fetched from there is taken as it is.
inline const QString kAgreedKey = QStringLiteral("sharingAgreed");
// Items made here from someone else's records.
inline const QString kReceivedKey = QStringLiteral("sharingReceived");
// Collections joined once and left since: [collection id: [owner, zone]].
inline const QString kLeftKey = QStringLiteral("sharingLeft");
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

// The fields of an item that change after it was shared, as sent in a
// record that updates one already on the service.
QJsonObject changingFields(const Item &item);
// The item's shared state in short: its changing fields and the picture it
// shows (for a link the time of its snapshot; a link whose run is under
// way keeps `previous`'s picture), then the service's thumbnail digest.
QString agreement(const Item &item, const QString &previous = {}, const QString &thumbnailHash = {});
// The parts of an agreement(): fields digest, picture, thumbnail digest.
QStringList agreementParts(const QString &agreement);
// True when the item differs from what was agreed (a new picture, other
// fields); an unknown agreement counts as a difference.
bool changedSince(const Item &item, const QString &agreed);

// Applies the changing fields a fetched record brings to an item already
// here. `theirs`: the item was not changed here since the last agreement,
// so the record's values are taken as they are; otherwise the tags are
// merged the library's way and every other field stays ours. A field the
// record does not carry stays ours in both cases. True when the item changed.
bool applyChangingFields(Item &item, const QJsonObject &fields, bool theirs);

// True for an id that names one of the sections every library has ("all",
// "inbox", "links", "trash").
bool isSectionId(const QString &id);

// The extension a fetched record may give a file: letters and digits, one
// to eight of them; anything else is "png".
QString safeExtension(const QString &ext);
// The new item a fetched "Item" record describes, before its files arrive;
// nothing when the record cannot name a library item (its name is not an id).
std::optional<Item> itemFromRecord(const CloudRecord &record, const QString &collectionId, double now);

} // namespace vellora
