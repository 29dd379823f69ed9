#include "SharingRecords.h"

#include "enrichment/LinkParser.h"
#include "library/SafeNames.h"
#include "platform/Uuid.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QUuid>

namespace vellora {

QString zoneNameFor(const QString &collectionId) { return QStringLiteral("collection-") + collectionId; }

bool isJoined(const Board &board)
{
    return board.zoneOwner && !board.zoneOwner->isEmpty() && *board.zoneOwner != kCurrentUserDefaultName;
}

CloudScope scopeFor(const Board &board) { return isJoined(board) ? CloudScope::Shared : CloudScope::Private; }

CloudZoneID zoneFor(const Board &board)
{
    CloudZoneID zone;
    zone.name = board.zone.value_or(zoneNameFor(board.id));
    zone.owner = board.zoneOwner && !board.zoneOwner->isEmpty() ? *board.zoneOwner : kCurrentUserDefaultName;
    return zone;
}

std::optional<SharingSnapshot> decodeSnapshot(const QVariant &stored)
{
    if (!stored.isValid())
        return std::nullopt;
    if (stored.typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    SharingSnapshot snapshot;
    const QVariantMap map = stored.toMap();
    for (auto it = map.begin(); it != map.end(); ++it) {
        const QVariant &value = it.value();
        if (value.typeId() == QMetaType::QStringList) {
            snapshot.insert(it.key(), value.toStringList());
            continue;
        }
        if (value.typeId() != QMetaType::QVariantList)
            return std::nullopt;
        QStringList ids;
        for (const QVariant &element : value.toList()) {
            if (element.typeId() != QMetaType::QString)
                return std::nullopt;
            ids.append(element.toString());
        }
        snapshot.insert(it.key(), ids);
    }
    return snapshot;
}

QVariant encodeSnapshot(const SharingSnapshot &snapshot)
{
    QVariantMap map;
    for (auto it = snapshot.begin(); it != snapshot.end(); ++it)
        map.insert(it.key(), QVariant(it.value()));
    return map;
}

CloudRecord collectionRecord(const Board &board, const CloudZoneID &zone)
{
    CloudRecord record;
    record.type = kCollectionRecordType;
    record.name = board.id;
    record.zone = zone;
    record.fields.insert(QStringLiteral("name"), board.name);
    return record;
}

CloudRecord itemRecord(const Item &item, const CloudZoneID &zone, const QString &rootName, const QString &libraryRoot)
{
    CloudRecord record;
    record.type = kItemRecordType;
    record.name = item.id;
    record.zone = zone;
    record.parent = rootName;
    QJsonObject &f = record.fields;
    f.insert(QStringLiteral("label"), item.originalFilename);
    f.insert(QStringLiteral("kind"), item.kind);
    if (item.sourceURL)
        f.insert(QStringLiteral("sourceURL"), *item.sourceURL);
    if (item.title)
        f.insert(QStringLiteral("title"), *item.title);
    f.insert(QStringLiteral("addedAt"), item.dateAdded);
    if (item.tags)
        f.insert(QStringLiteral("tags"), QJsonArray::fromStringList(*item.tags));
    f.insert(QStringLiteral("pixelWidth"), double(item.pixelWidth));
    f.insert(QStringLiteral("pixelHeight"), double(item.pixelHeight));
    f.insert(QStringLiteral("contentHash"), item.contentHash);
    f.insert(QStringLiteral("ext"), QFileInfo(item.storedFilename).suffix());
    if (const auto path = libraryFilePath(libraryRoot, QStringLiteral("thumbnails"), item.thumbnailFilename))
        if (QFileInfo(*path).isFile())
            record.assets.insert(QStringLiteral("thumbnail"), CloudAsset{*path, {}, 0});
    if (const auto path = libraryFilePath(libraryRoot, QStringLiteral("originals"), item.storedFilename))
        if (QFileInfo(*path).isFile())
            record.assets.insert(QStringLiteral("original"), CloudAsset{*path, {}, 0});
    return record;
}

QString safeExtension(const QString &ext)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9]{1,8}$"));
    return plain.match(ext).hasMatch() ? ext : QStringLiteral("png");
}

std::optional<Item> itemFromRecord(const CloudRecord &record, const QString &collectionId, double now)
{
    // The record name becomes the file names of the item: only an id will do,
    // and never the nil one.
    if (!isUUIDString(record.name) || QUuid::fromString(record.name).isNull())
        return std::nullopt;
    const QJsonObject &f = record.fields;
    Item item;
    item.id = record.name;
    const QString kind = f.value(QStringLiteral("kind")).toString();
    item.kind = kind == QLatin1String("link") ? kind : QStringLiteral("image");
    const QString ext = safeExtension(f.value(QStringLiteral("ext")).toString());
    item.storedFilename = item.id + QLatin1Char('.') + ext;
    item.thumbnailFilename = item.id + QStringLiteral(".jpg");
    const QString label = f.value(QStringLiteral("label")).toString();
    item.originalFilename = isSafePathComponent(label) ? label : item.storedFilename;
    const auto dimension = [&](const QString &key) {
        const double value = f.value(key).toDouble();
        return value >= 0 && value <= 1e6 ? qint64(value) : qint64(0);
    };
    item.pixelWidth = dimension(QStringLiteral("pixelWidth"));
    item.pixelHeight = dimension(QStringLiteral("pixelHeight"));
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    const QString hash = f.value(QStringLiteral("contentHash")).toString();
    // Replaced by the digest of the original once it has arrived.
    item.contentHash = hex.match(hash).hasMatch() ? hash : QString();
    const QJsonValue added = f.value(QStringLiteral("addedAt"));
    item.dateAdded = added.isDouble() ? added.toDouble() : now;
    item.dateCreated = item.dateAdded;
    if (f.value(QStringLiteral("sourceURL")).isString())
        item.sourceURL = normalizedLinkURL(f.value(QStringLiteral("sourceURL")).toString());
    if (f.value(QStringLiteral("title")).isString())
        item.title = f.value(QStringLiteral("title")).toString();
    if (f.value(QStringLiteral("tags")).isArray()) {
        QStringList tags;
        for (const QJsonValue &tag : f.value(QStringLiteral("tags")).toArray())
            if (tag.isString())
                tags.append(tag.toString());
        item.tags = tags;
    }
    item.collectionIds = QStringList{collectionId};
    return item;
}

} // namespace vellora
