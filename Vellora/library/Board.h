#pragma once
// One collection.

#include "CodingError.h"

#include <QString>
#include <QStringList>

#include <nlohmann/json_fwd.hpp>

#include <optional>

namespace vellora {

struct Board {
    QString id;
    QString name;
    double dateCreated = 0.0;
    // Carried through every edit and save unchanged.
    QStringList groups;
    // Set while the collection is shared.
    std::optional<QString> zone;
    std::optional<QString> zoneOwner;

    bool operator==(const Board &) const = default;

    nlohmann::ordered_json toJSON() const;
    // Throws DecodingError.
    static Board fromJSON(const nlohmann::json &json);
};

size_t qHash(const Board &board, size_t seed = 0) noexcept;

} // namespace vellora
