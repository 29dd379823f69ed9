#include "RuleDraft.h"

#include "platform/Text.h"

namespace vellora {

namespace {
bool isBlank(QChar c) { return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space; }

std::optional<qint64> decimalInteger(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    qsizetype i = 0;
    if (text[0] == QLatin1Char('+') || text[0] == QLatin1Char('-'))
        ++i;
    if (i == text.size())
        return std::nullopt;
    for (qsizetype j = i; j < text.size(); ++j)
        if (text[j] < QLatin1Char('0') || text[j] > QLatin1Char('9'))
            return std::nullopt;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

bool isHexDigit(QChar c)
{
    return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}
} // namespace

QString trimmedBlanks(const QString &text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

const QList<RuleDraft::Kind> &RuleDraft::allKinds()
{
    static const QList<Kind> kinds = {Kind::Kind,          Kind::TagsAny,      Kind::TagsAll,    Kind::NoTags,
                                      Kind::LabelContains, Kind::TextContains, Kind::DomainIs,   Kind::AddedWithinDays,
                                      Kind::ColourNear,    Kind::OpenedAtLeast};
    return kinds;
}

QString RuleDraft::rawValue(Kind kind) { return QString::fromLatin1(Rule::caseName(kind)); }

std::optional<RuleDraft::Kind> RuleDraft::kindFromRawValue(const QString &text)
{
    for (Kind kind : allKinds())
        if (text == QLatin1String(Rule::caseName(kind)))
            return kind;
    return std::nullopt;
}

RuleDraft RuleDraft::fromRule(const Rule &rule)
{
    RuleDraft draft{QUuid::createUuid(), rule.ruleCase, QString()};
    switch (rule.ruleCase) {
    case Kind::TagsAny:
    case Kind::TagsAll:
        draft.value = rule.tags.join(QStringLiteral(", "));
        break;
    case Kind::AddedWithinDays:
    case Kind::OpenedAtLeast:
        draft.value = QString::number(rule.number);
        break;
    case Kind::NoTags:
        break;
    default: // kind, labelContains, textContains, domainIs, colourNear
        draft.value = rule.text;
        break;
    }
    return draft;
}

std::optional<Rule> RuleDraft::rule() const
{
    const QString text = trimmedBlanks(value);
    switch (kind) {
    case Kind::Kind: {
        const QString word = lowercased(text);
        if (word == QLatin1String("image") || word == QLatin1String("link"))
            return Rule::kind(word);
        return std::nullopt;
    }
    case Kind::TagsAny:
    case Kind::TagsAll: {
        QStringList tags;
        for (const QString &piece : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString tag = trimmedBlanks(piece);
            if (!tag.isEmpty())
                tags << tag;
        }
        if (tags.isEmpty())
            return std::nullopt;
        return kind == Kind::TagsAny ? Rule::tagsAny(tags) : Rule::tagsAll(tags);
    }
    case Kind::NoTags:
        return Rule::noTags();
    case Kind::LabelContains:
    case Kind::TextContains:
    case Kind::DomainIs:
        if (text.isEmpty())
            return std::nullopt;
        return kind == Kind::LabelContains ? Rule::labelContains(text)
            : kind == Kind::TextContains   ? Rule::textContains(text)
                                           : Rule::domainIs(text);
    case Kind::AddedWithinDays:
    case Kind::OpenedAtLeast: {
        const std::optional<qint64> n = decimalInteger(text);
        if (!n)
            return std::nullopt;
        return kind == Kind::AddedWithinDays ? Rule::addedWithinDays(*n) : Rule::openedAtLeast(*n);
    }
    case Kind::ColourNear: {
        const QString colour = text.startsWith(QLatin1Char('#')) ? text : QStringLiteral("#") + text;
        if (colour.size() != 7)
            return std::nullopt;
        for (qsizetype i = 1; i < 7; ++i)
            if (!isHexDigit(colour[i]))
                return std::nullopt;
        return Rule::colourNear(colour, 30.0);
    }
    }
    return std::nullopt;
}

} // namespace vellora
