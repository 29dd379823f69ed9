#include "SharingRecords.h"

#include "library/LinkParser.h"
#include "library/SafeNames.h"
#include "platform/Uuid.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonDocument>
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
    f.insert(QStringLiteral("addedAt"), item.dateAdded);
    f.insert(QStringLiteral("contentHash"), item.contentHash);
    f.insert(QStringLiteral("ext"), QFileInfo(item.storedFilename).suffix());
    const QJsonObject changing = changingFields(item);
    for (auto it = changing.begin(); it != changing.end(); ++it)
        if (!it.value().isNull())
            f.insert(it.key(), it.value());
    if (const auto path = libraryFilePath(libraryRoot, QStringLiteral("thumbnails"), item.thumbnailFilename))
        if (QFileInfo(*path).isFile())
            record.assets.insert(QStringLiteral("thumbnail"), CloudAsset{*path, {}, 0});
    if (const auto path = libraryFilePath(libraryRoot, QStringLiteral("originals"), item.storedFilename))
        if (QFileInfo(*path).isFile())
            record.assets.insert(QStringLiteral("original"), CloudAsset{*path, {}, 0});
    return record;
}

QJsonObject changingFields(const Item &item)
{
    const auto text = [](const std::optional<QString> &value) { return value ? QJsonValue(*value) : QJsonValue(); };
    QJsonObject f;
    f.insert(QStringLiteral("title"), text(item.title));
    f.insert(QStringLiteral("tags"), item.tags ? QJsonValue(QJsonArray::fromStringList(*item.tags)) : QJsonValue());
    f.insert(QStringLiteral("pixelWidth"), double(item.pixelWidth));
    f.insert(QStringLiteral("pixelHeight"), double(item.pixelHeight));
    if (item.kind == QLatin1String("link")) {
        // What the link's page said: the other side never asks the page itself.
        f.insert(QStringLiteral("siteName"), text(item.siteName));
        f.insert(QStringLiteral("summary"), text(item.summary));
        f.insert(QStringLiteral("snapshotDate"), item.snapshotDate ? QJsonValue(*item.snapshotDate) : QJsonValue());
    }
    return f;
}

QStringList agreementParts(const QString &agreement)
{
    QStringList parts = agreement.split(QLatin1Char('|'));
    while (parts.size() < 3)
        parts.append(QString());
    return parts;
}

namespace {

QString fieldsDigest(const Item &item)
{
    QJsonObject fields = changingFields(item);
    // A run of the link road clears the time first and sets it at the end:
    // only the picture's stamp says whether there is something new to send.
    fields.remove(QStringLiteral("snapshotDate"));
    const QByteArray coded = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    return QString::fromLatin1(QCryptographicHash::hash(coded, QCryptographicHash::Sha1).toHex().left(16));
}

QString pictureStamp(const Item &item, const QString &previous)
{
    if (item.kind != QLatin1String("link"))
        return item.contentHash;
    if (!item.snapshotDate)
        return agreementParts(previous).at(1);
    return QString::number(*item.snapshotDate, 'f', 3);
}

} // namespace

QString agreement(const Item &item, const QString &previous, const QString &thumbnailHash)
{
    return fieldsDigest(item) + QLatin1Char('|') + pictureStamp(item, previous) + QLatin1Char('|') + thumbnailHash;
}

bool changedSince(const Item &item, const QString &agreed)
{
    if (agreed.isEmpty())
        return true;
    const QStringList parts = agreementParts(agreed);
    return parts.at(0) != fieldsDigest(item) || parts.at(1) != pictureStamp(item, agreed);
}

namespace {

std::optional<QStringList> tagsOf(const QJsonValue &value)
{
    if (!value.isArray())
        return std::nullopt;
    QStringList tags;
    for (const QJsonValue &tag : value.toArray())
        if (tag.isString())
            tags.append(tag.toString());
    return tags;
}

// A text field of a record: nothing when absent, unset when null, else the text.
bool readText(const QJsonObject &fields, const QString &key, std::optional<QString> &into)
{
    if (!fields.contains(key))
        return false;
    const QJsonValue value = fields.value(key);
    if (value.isNull())
        into.reset();
    else if (value.isString())
        into = value.toString();
    else
        return false;
    return true;
}

} // namespace

bool applyChangingFields(Item &item, const QJsonObject &fields, bool theirs)
{
    const Item before = item;
    if (fields.contains(QStringLiteral("tags"))) {
        const auto tags = tagsOf(fields.value(QStringLiteral("tags")));
        if (theirs)
            item.tags = tags;
        else if (tags)
            item.tags = mergeTags(item.tags.value_or(QStringList()), *tags);
    }
    if (theirs) {
        readText(fields, QStringLiteral("title"), item.title);
        if (item.kind == QLatin1String("link")) {
            readText(fields, QStringLiteral("siteName"), item.siteName);
            readText(fields, QStringLiteral("summary"), item.summary);
            const QJsonValue taken = fields.value(QStringLiteral("snapshotDate"));
            if (taken.isDouble())
                item.snapshotDate = taken.toDouble();
            const auto dimension = [&](const QString &key, qint64 &into) {
                const QJsonValue value = fields.value(key);
                if (value.isDouble() && value.toDouble() >= 0 && value.toDouble() <= 1e6)
                    into = qint64(value.toDouble());
            };
            dimension(QStringLiteral("pixelWidth"), item.pixelWidth);
            dimension(QStringLiteral("pixelHeight"), item.pixelHeight);
        }
    }
    return item.tags != before.tags || item.title != before.title || item.siteName != before.siteName
        || item.summary != before.summary || item.snapshotDate != before.snapshotDate
        || item.pixelWidth != before.pixelWidth || item.pixelHeight != before.pixelHeight;
}

bool isSectionId(const QString &id)
{
    static const QStringList sections{QStringLiteral("all"), QStringLiteral("inbox"), QStringLiteral("links"),
                                      QStringLiteral("trash")};
    return sections.contains(id);
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
    item.tags = tagsOf(f.value(QStringLiteral("tags")));
    if (item.kind == QLatin1String("link")) {
        // The link keeps what its page said on the sharer's side.
        if (f.value(QStringLiteral("siteName")).isString())
            item.siteName = f.value(QStringLiteral("siteName")).toString();
        if (f.value(QStringLiteral("summary")).isString())
            item.summary = f.value(QStringLiteral("summary")).toString();
        if (f.value(QStringLiteral("snapshotDate")).isDouble())
            item.snapshotDate = f.value(QStringLiteral("snapshotDate")).toDouble();
    }
    item.collectionIds = QStringList{collectionId};
    return item;
}

} // namespace vellora
