#include "RuleRows.h"

#include "library/SmartFolder.h"

namespace vellora {

RuleRow RuleRow::fromRule(const Rule &rule)
{
    RuleRow row;
    row.draft = RuleDraft::fromRule(rule);
    row.original = rule;
    row.originalValue = row.draft.value;
    return row;
}

RuleRow RuleRow::fresh(RuleDraft::Kind kind, const QString &value)
{
    RuleRow row;
    row.draft = RuleDraft{QUuid::createUuid(), kind, value};
    row.originalValue = value;
    return row;
}

bool RuleRow::untouched() const
{
    return original && draft.kind == original->ruleCase && draft.value == originalValue;
}

std::optional<Rule> RuleRow::rule() const
{
    if (untouched())
        return original;
    std::optional<Rule> made = draft.rule();
    if (!made)
        return std::nullopt;
    switch (made->ruleCase) {
    case Rule::Case::TagsAny:
    case Rule::Case::TagsAll: {
        QStringList tags;
        for (const QString &tag : std::as_const(made->tags))
            tags << tag.toLower();
        made->tags = tags;
        break;
    }
    case Rule::Case::ColourNear:
        if (original && original->ruleCase == Rule::Case::ColourNear)
            made->tolerance = original->tolerance;
        break;
    default:
        break;
    }
    return made;
}

QString RuleRow::problem() const
{
    if (draft.kind != Rule::Case::ColourNear || untouched())
        return QString();
    if (trimmedBlanks(draft.value).isEmpty() || draft.rule())
        return QString();
    return QStringLiteral("A colour is # and six hex digits, like #C8A070.");
}

QString ruleKindTitle(RuleDraft::Kind kind)
{
    switch (kind) {
    case Rule::Case::Kind: return QStringLiteral("Kind is");
    case Rule::Case::TagsAny: return QStringLiteral("Has any tag");
    case Rule::Case::TagsAll: return QStringLiteral("Has all tags");
    case Rule::Case::NoTags: return QStringLiteral("Has no tags");
    case Rule::Case::LabelContains: return QStringLiteral("Shows");
    case Rule::Case::TextContains: return QStringLiteral("Text contains");
    case Rule::Case::DomainIs: return QStringLiteral("Site is");
    case Rule::Case::AddedWithinDays: return QStringLiteral("Added within days");
    case Rule::Case::ColourNear: return QStringLiteral("Colour near");
    case Rule::Case::OpenedAtLeast: return QStringLiteral("Opened at least");
    }
    return QString();
}

QString ruleKindPlaceholder(RuleDraft::Kind kind)
{
    switch (kind) {
    case Rule::Case::Kind: return QStringLiteral("image or link");
    case Rule::Case::TagsAny:
    case Rule::Case::TagsAll: return QStringLiteral("desk, oak");
    case Rule::Case::NoTags: return QString();
    case Rule::Case::LabelContains: return QStringLiteral("chair");
    case Rule::Case::TextContains: return QStringLiteral("pricing");
    case Rule::Case::DomainIs: return QStringLiteral("example.com");
    case Rule::Case::AddedWithinDays: return QStringLiteral("7");
    case Rule::Case::ColourNear: return QStringLiteral("#C8A070");
    case Rule::Case::OpenedAtLeast: return QStringLiteral("3");
    }
    return QString();
}

QList<Rule> rulesOfRows(const QList<RuleRow> &rows)
{
    QList<Rule> rules;
    for (const RuleRow &row : rows)
        if (std::optional<Rule> rule = row.rule())
            rules << *rule;
    return rules;
}

int countMatches(const QList<Item> &items, const QString &match, const QList<Rule> &rules)
{
    if (rules.isEmpty())
        return 0;
    const SmartFolder folder{QString(), QString(), match, rules};
    int count = 0;
    for (const Item &item : items)
        count += folder.matches(item) ? 1 : 0;
    return count;
}

QString matchCountText(int count)
{
    return (count == 1 ? QStringLiteral("1 item match") : QStringLiteral("%1 items match").arg(count)).toUpper();
}

} // namespace vellora
