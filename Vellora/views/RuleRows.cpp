#include "RuleRows.h"

#include "library/SmartFolder.h"

#include <QCoreApplication>

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
    return QCoreApplication::translate("vellora::SmartFolderEditor", "A colour is # and six hex digits, like #C8A070.");
}

QString ruleKindTitle(RuleDraft::Kind kind)
{
    switch (kind) {
    case Rule::Case::Kind: return QCoreApplication::translate("vellora::SmartFolderEditor", "Kind is");
    case Rule::Case::TagsAny: return QCoreApplication::translate("vellora::SmartFolderEditor", "Has any tag");
    case Rule::Case::TagsAll: return QCoreApplication::translate("vellora::SmartFolderEditor", "Has all tags");
    case Rule::Case::NoTags: return QCoreApplication::translate("vellora::SmartFolderEditor", "Has no tags");
    case Rule::Case::LabelContains: return QCoreApplication::translate("vellora::SmartFolderEditor", "Shows");
    case Rule::Case::TextContains: return QCoreApplication::translate("vellora::SmartFolderEditor", "Text contains");
    case Rule::Case::DomainIs: return QCoreApplication::translate("vellora::SmartFolderEditor", "Site is");
    case Rule::Case::AddedWithinDays: return QCoreApplication::translate("vellora::SmartFolderEditor", "Added within days");
    case Rule::Case::ColourNear: return QCoreApplication::translate("vellora::SmartFolderEditor", "Colour near");
    case Rule::Case::OpenedAtLeast: return QCoreApplication::translate("vellora::SmartFolderEditor", "Opened at least");
    }
    return QString();
}

QString ruleKindPlaceholder(RuleDraft::Kind kind)
{
    switch (kind) {
    case Rule::Case::Kind: return QCoreApplication::translate("vellora::SmartFolderEditor", "image or link");
    case Rule::Case::TagsAny:
    case Rule::Case::TagsAll: return QCoreApplication::translate("vellora::SmartFolderEditor", "desk, oak");
    case Rule::Case::NoTags: return QString();
    case Rule::Case::LabelContains: return QCoreApplication::translate("vellora::SmartFolderEditor", "chair");
    case Rule::Case::TextContains: return QCoreApplication::translate("vellora::SmartFolderEditor", "pricing");
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
    return (count == 1 ? QCoreApplication::translate("vellora::SmartFolderEditor", "1 item match") : QCoreApplication::translate("vellora::SmartFolderEditor", "%1 items match").arg(count)).toUpper();
}

} // namespace vellora
