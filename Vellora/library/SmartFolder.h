#pragma once
// A saved set of conditions whose items follow from its rules.

#include "CodingError.h"
#include "Rule.h"

#include <QList>
#include <QString>

#include <nlohmann/json_fwd.hpp>

namespace vellora {

struct Item;

struct SmartFolder {
    QString id;
    QString name;
    // "any" combines the rules with or; every other value with and.
    QString match;
    QList<Rule> rules;

    bool operator==(const SmartFolder &) const = default;

    // Whether the item belongs; a folder without rules holds nothing.
    bool matches(const Item &item) const;
    // "Items added in the last 7 days", or "No rules yet".
    QString summary() const;

    // The two example folders ("Recent", "Warm tones"). Made once per
    // process with fresh ids; every later call returns the same values.
    static const QList<SmartFolder> &defaults();

    nlohmann::ordered_json toJSON() const;
    // Throws DecodingError.
    static SmartFolder fromJSON(const nlohmann::json &json);
};

} // namespace vellora
