#pragma once
// One condition of a smart folder. Exactly one of ten cases; the payload
// members that a case does not use stay at their defaults (the factories
// below take care of that), and equality and hashing look only at the
// members the case uses.

#include "CodingError.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <nlohmann/json_fwd.hpp>

namespace vellora {

struct Item;

struct Rule {
    enum class Case {
        Kind,            // text: "image" or "link"
        TagsAny,         // tags
        TagsAll,         // tags
        NoTags,          // no payload
        LabelContains,   // text
        TextContains,    // text
        DomainIs,        // text: a host name
        AddedWithinDays, // number: days
        ColourNear,      // text: "#rrggbb", tolerance: degrees
        OpenedAtLeast,   // number: openings
    };

    Case ruleCase = Case::NoTags;
    QString text;
    QStringList tags;
    qint64 number = 0;
    double tolerance = 0.0;

    static Rule kind(const QString &kind);
    static Rule tagsAny(const QStringList &tags);
    static Rule tagsAll(const QStringList &tags);
    static Rule noTags();
    static Rule labelContains(const QString &text);
    static Rule textContains(const QString &text);
    static Rule domainIs(const QString &host);
    static Rule addedWithinDays(qint64 days);
    static Rule colourNear(const QString &colour, double tolerance);
    static Rule openedAtLeast(qint64 count);

    // The key of the case in the stored form ("tagsAny", "colourNear", ...).
    static const char *caseName(Case ruleCase);

    // Reads the present moment from vellora::now() on every call.
    bool matches(const Item &item) const;
    // The short English phrase the views show ("tagged a or b").
    QString summary() const;

    // {"<case>": {"_0": ..., "_1": ...}}; noTags has an empty object.
    nlohmann::ordered_json toJSON() const;
    // Throws DecodingError; an object without exactly one case member gives
    // "Invalid number of keys found, expected one.".
    static Rule fromJSON(const nlohmann::json &json);

    bool operator==(const Rule &other) const;
};

size_t qHash(const Rule &rule, size_t seed = 0) noexcept;

// The hue in degrees (0 up to 360) of a stored colour string; grey, black
// and white have hue 0. A leading "#" is optional; text that is not
// hexadecimal reads as black.
double colourHueDegrees(const QString &colour);

} // namespace vellora
