#pragma once
// One library entry, an image or a link.

#include "CodingError.h"
#include "CompactText.h"
#include "LinkInsight.h"
#include "SharedOptional.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <nlohmann/json_fwd.hpp>

#include <optional>

namespace vellora {

struct Item {
    // Required in the stored form.
    QString id;
    QString kind; // "image" or "link"
    QString originalFilename;
    QString storedFilename;
    QString thumbnailFilename;
    qint64 pixelWidth = 0;
    qint64 pixelHeight = 0;
    QString contentHash;
    double dateAdded = 0.0;
    double dateCreated = 0.0;
    QStringList collectionIds;

    // Optional: unset is left out of the stored form.
    std::optional<QString> sourceURL;
    std::optional<QStringList> labels;
    std::optional<CompactText> ocrText;
    std::optional<QStringList> tags;
    std::optional<QStringList> palette;
    std::optional<qint64> fileSize;
    std::optional<QString> title;
    std::optional<QString> siteName;
    std::optional<QString> summary;
    std::optional<QString> faviconFilename;
    std::optional<double> snapshotDate;
    std::optional<CompactText> pageText;
    SharedOptional<LinkInsight> insight;
    std::optional<qint64> openCount;
    std::optional<double> lastOpenedAt;
    std::optional<double> trashedAt;
    std::optional<QStringList> trashedFrom;

    // The host of sourceURL exactly as written, without a leading "www.";
    // empty when there is no address, it does not parse, or has no host.
    QString host() const;

    // Members in declaration order; unset fields are left out.
    nlohmann::ordered_json toJSON() const;
    // Throws DecodingError.
    static Item fromJSON(const nlohmann::json &json);
};

} // namespace vellora
