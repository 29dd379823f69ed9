#pragma once
// The language model's structured description of a link page, kept in a link
// item's "insight".

#include "CodingError.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <nlohmann/json_fwd.hpp>

#include <optional>

namespace vellora {

struct LinkEntities {
    std::optional<QString> productName;
    std::optional<QString> price;
    std::optional<QString> author;
    std::optional<QString> publishDate;

    bool operator==(const LinkEntities &) const = default;

    // Members in declaration order; absent values are left out.
    nlohmann::ordered_json toJSON() const;
    // Throws DecodingError. Missing and null members read as absent.
    static LinkEntities fromJSON(const nlohmann::json &json);
};

struct LinkInsight {
    QString summary;
    QStringList keyPoints;
    QString category;
    LinkEntities entities;
    QStringList suggestedTags;

    bool operator==(const LinkInsight &) const = default;

    // All five members, always, in declaration order.
    nlohmann::ordered_json toJSON() const;
    // Throws DecodingError; every one of the five members is required.
    static LinkInsight fromJSON(const nlohmann::json &json);

    // The one-line form the command line prints: no whitespace, members in
    // declaration order, slashes escaped.
    QByteArray compactJSON() const;
    // Throws DecodingError.
    static LinkInsight decode(const QByteArray &json);
};

} // namespace vellora
