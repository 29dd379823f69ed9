#include "Rule.h"

#include "CodingSupport.h"
#include "Item.h"
#include "Palette.h"

#include "platform/Clock.h"
#include "platform/Text.h"

#include <QHash>
#include <QSet>

#include <cstring>

namespace vellora {

using coding::ObjectReader;
using coding::Path;

namespace {

constexpr Rule::Case kAllCases[] = {
    Rule::Case::Kind,         Rule::Case::TagsAny,         Rule::Case::TagsAll,    Rule::Case::NoTags,
    Rule::Case::LabelContains, Rule::Case::TextContains,   Rule::Case::DomainIs,   Rule::Case::AddedWithinDays,
    Rule::Case::ColourNear,   Rule::Case::OpenedAtLeast,
};

Rule make(Rule::Case c)
{
    Rule r;
    r.ruleCase = c;
    return r;
}

// Tags fold with the full Unicode lower-case mapping, the same in every
// locale, so a library matches alike wherever it is opened.
QString folded(const QString &text) { return text.toLower(); }

QSet<QString> lowercasedSet(const QStringList &tags)
{
    QSet<QString> out;
    out.reserve(tags.size());
    for (const QString &t : tags)
        out.insert(folded(t));
    return out;
}

bool usesText(Rule::Case c)
{
    switch (c) {
    case Rule::Case::Kind:
    case Rule::Case::LabelContains:
    case Rule::Case::TextContains:
    case Rule::Case::DomainIs:
    case Rule::Case::ColourNear:
        return true;
    default:
        return false;
    }
}

bool usesTags(Rule::Case c) { return c == Rule::Case::TagsAny || c == Rule::Case::TagsAll; }
bool usesNumber(Rule::Case c) { return c == Rule::Case::AddedWithinDays || c == Rule::Case::OpenedAtLeast; }

} // namespace

Rule Rule::kind(const QString &kind) { Rule r = make(Case::Kind); r.text = kind; return r; }
Rule Rule::tagsAny(const QStringList &tags) { Rule r = make(Case::TagsAny); r.tags = tags; return r; }
Rule Rule::tagsAll(const QStringList &tags) { Rule r = make(Case::TagsAll); r.tags = tags; return r; }
Rule Rule::noTags() { return make(Case::NoTags); }
Rule Rule::labelContains(const QString &text) { Rule r = make(Case::LabelContains); r.text = text; return r; }
Rule Rule::textContains(const QString &text) { Rule r = make(Case::TextContains); r.text = text; return r; }
Rule Rule::domainIs(const QString &host) { Rule r = make(Case::DomainIs); r.text = host; return r; }
Rule Rule::addedWithinDays(qint64 days) { Rule r = make(Case::AddedWithinDays); r.number = days; return r; }
Rule Rule::colourNear(const QString &colour, double tolerance)
{
    Rule r = make(Case::ColourNear);
    r.text = colour;
    r.tolerance = tolerance;
    return r;
}
Rule Rule::openedAtLeast(qint64 count) { Rule r = make(Case::OpenedAtLeast); r.number = count; return r; }

const char *Rule::caseName(Case c)
{
    switch (c) {
    case Case::Kind: return "kind";
    case Case::TagsAny: return "tagsAny";
    case Case::TagsAll: return "tagsAll";
    case Case::NoTags: return "noTags";
    case Case::LabelContains: return "labelContains";
    case Case::TextContains: return "textContains";
    case Case::DomainIs: return "domainIs";
    case Case::AddedWithinDays: return "addedWithinDays";
    case Case::ColourNear: return "colourNear";
    case Case::OpenedAtLeast: return "openedAtLeast";
    }
    return "noTags";
}

bool Rule::operator==(const Rule &other) const
{
    if (ruleCase != other.ruleCase)
        return false;
    if (usesText(ruleCase) && text != other.text)
        return false;
    if (usesTags(ruleCase) && tags != other.tags)
        return false;
    if (usesNumber(ruleCase) && number != other.number)
        return false;
    if (ruleCase == Case::ColourNear && tolerance != other.tolerance)
        return false;
    return true;
}

size_t qHash(const Rule &rule, size_t seed) noexcept
{
    seed = qHashMulti(seed, int(rule.ruleCase));
    if (usesText(rule.ruleCase))
        seed = qHashMulti(seed, rule.text);
    if (usesTags(rule.ruleCase))
        seed = qHashMulti(seed, rule.tags);
    if (usesNumber(rule.ruleCase))
        seed = qHashMulti(seed, rule.number);
    if (rule.ruleCase == Rule::Case::ColourNear)
        // Equal tolerances must hash alike, and -0.0 equals 0.0.
        seed = qHashMulti(seed, rule.tolerance == 0.0 ? 0.0 : rule.tolerance);
    return seed;
}

double colourHueDegrees(const QString &colour)
{
    // Only a leading "#" is dropped: a colour typed without it is still read
    // as that colour rather than losing its first digit.
    const QStringView digits = colour.startsWith(u'#') ? QStringView(colour).mid(1) : QStringView(colour);
    const quint64 value = quint64(parseHexInteger(digits));
    const HSB hsb = hsbFromRGB(double((value >> 16) & 0xff) / 255.0, double((value >> 8) & 0xff) / 255.0,
                               double(value & 0xff) / 255.0);
    return hsb.hue * 360.0;
}

bool Rule::matches(const Item &item) const
{
    switch (ruleCase) {
    case Case::Kind:
        return item.kind == text;
    case Case::TagsAny: {
        if (tags.isEmpty())
            return false;
        const QSet<QString> have = lowercasedSet(item.tags.value_or(QStringList()));
        for (const QString &t : tags)
            if (have.contains(folded(t)))
                return true;
        return false;
    }
    case Case::TagsAll: {
        if (tags.isEmpty())
            return true;
        const QSet<QString> have = lowercasedSet(item.tags.value_or(QStringList()));
        for (const QString &t : tags)
            if (!have.contains(folded(t)))
                return false;
        return true;
    }
    case Case::NoTags:
        // The set of lower-cased tags is empty only when there are no tags
        // at all; a single empty tag still counts as one.
        return !item.tags || item.tags->isEmpty();
    case Case::LabelContains:
        if (item.labels)
            for (const QString &label : *item.labels)
                if (localizedStandardContains(label, text))
                    return true;
        return false;
    case Case::TextContains:
        return localizedStandardContains(item.originalFilename, text)
            || localizedStandardContains(item.title.value_or(QString()), text)
            || localizedStandardContains(item.summary.value_or(QString()), text)
            || localizedStandardContains(item.ocrText.value_or(QString()), text);
    case Case::DomainIs: {
        const QString host = item.host();
        if (caseInsensitiveEquals(host, text))
            return true;
        return host.endsWith(QLatin1Char('.') + folded(text));
    }
    case Case::AddedWithinDays:
        return now() - item.dateAdded <= double(number) * 86400.0;
    case Case::ColourNear:
        return paletteMatchesHue(item.palette.value_or(QStringList()), colourHueDegrees(text), tolerance);
    case Case::OpenedAtLeast:
        return item.openCount.value_or(0) >= number;
    }
    return false;
}

QString Rule::summary() const
{
    switch (ruleCase) {
    case Case::Kind:
        return text == QLatin1String("link") ? QStringLiteral("links") : QStringLiteral("images");
    case Case::TagsAny:
        return QStringLiteral("tagged ") + formatList(tags, ListJoin::Or);
    case Case::TagsAll:
        return QStringLiteral("tagged ") + formatList(tags, ListJoin::And);
    case Case::NoTags:
        return QStringLiteral("with no tags");
    case Case::LabelContains:
        return QStringLiteral("showing \u201c") + text + QStringLiteral("\u201d");
    case Case::TextContains:
        return QStringLiteral("mentioning \u201c") + text + QStringLiteral("\u201d");
    case Case::DomainIs:
        return QStringLiteral("from ") + text;
    case Case::AddedWithinDays:
        return QStringLiteral("added in the last ") + QString::number(number)
            + (number == 1 ? QStringLiteral(" day") : QStringLiteral(" days"));
    case Case::ColourNear:
        return QStringLiteral("with colours near ") + text;
    case Case::OpenedAtLeast:
        return QStringLiteral("opened at least ") + QString::number(number) + QStringLiteral("\u00d7");
    }
    return {};
}

nlohmann::ordered_json Rule::toJSON() const
{
    nlohmann::ordered_json payload = nlohmann::ordered_json::object();
    switch (ruleCase) {
    case Case::Kind:
    case Case::LabelContains:
    case Case::TextContains:
    case Case::DomainIs:
        payload["_0"] = text.toStdString();
        break;
    case Case::TagsAny:
    case Case::TagsAll:
        payload["_0"] = coding::stringArray(tags);
        break;
    case Case::NoTags:
        break;
    case Case::AddedWithinDays:
    case Case::OpenedAtLeast:
        payload["_0"] = std::int64_t(number);
        break;
    case Case::ColourNear:
        payload["_0"] = text.toStdString();
        payload["_1"] = tolerance;
        break;
    }
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out[caseName(ruleCase)] = std::move(payload);
    return out;
}

namespace coding {

Rule readRule(const nlohmann::json &value, const Path &path)
{
    if (!value.is_object())
        typeMismatch(path, "a dictionary", value);
    // Members that are not case names are ignored, also when counting.
    const Rule::Case *found = nullptr;
    int count = 0;
    for (const Rule::Case &c : kAllCases) {
        if (value.contains(Rule::caseName(c))) {
            found = &c;
            ++count;
        }
    }
    if (count != 1)
        fail(DecodingError::Kind::TypeMismatch, path, QStringLiteral("Invalid number of keys found, expected one."));

    const char *name = Rule::caseName(*found);
    const Path p = path.member(name);
    const ObjectReader r(value.at(name), p);
    switch (*found) {
    case Rule::Case::Kind: return Rule::kind(r.string("_0"));
    case Rule::Case::TagsAny: return Rule::tagsAny(r.strings("_0"));
    case Rule::Case::TagsAll: return Rule::tagsAll(r.strings("_0"));
    case Rule::Case::NoTags: return Rule::noTags();
    case Rule::Case::LabelContains: return Rule::labelContains(r.string("_0"));
    case Rule::Case::TextContains: return Rule::textContains(r.string("_0"));
    case Rule::Case::DomainIs: return Rule::domainIs(r.string("_0"));
    case Rule::Case::AddedWithinDays: return Rule::addedWithinDays(r.integer("_0"));
    case Rule::Case::ColourNear: {
        const QString colour = r.string("_0");
        return Rule::colourNear(colour, r.number("_1"));
    }
    case Rule::Case::OpenedAtLeast: return Rule::openedAtLeast(r.integer("_0"));
    }
    return Rule::noTags();
}

} // namespace coding

Rule Rule::fromJSON(const nlohmann::json &json) { return coding::readRule(json, Path{}); }

} // namespace vellora
