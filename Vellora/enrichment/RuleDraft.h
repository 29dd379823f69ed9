#pragma once
// One row of the smart-folder editor: a rule as the user types it. The
// language model's generated rules come back as rows too.

#include "library/Rule.h"

#include <QString>
#include <QUuid>
#include <optional>

namespace vellora {

struct RuleDraft {
    // The ten kinds of a row; their raw values are the rule case names
    // ("kind", "tagsAny", ..., "openedAtLeast"), in this order.
    using Kind = Rule::Case;

    QUuid id;
    Kind kind = Kind::TextContains;
    QString value;

    bool operator==(const RuleDraft &) const = default;

    // Every kind, in the editor's order.
    static const QList<Kind> &allKinds();
    static QString rawValue(Kind kind);
    // The kind whose raw value is exactly `text` (letter case included); none otherwise.
    static std::optional<Kind> kindFromRawValue(const QString &text);

    // A row for an existing rule, with a new id: tags joined with ", ",
    // numbers in decimal, the colour without its tolerance, nothing for noTags.
    static RuleDraft fromRule(const Rule &rule);

    // The rule this row stands for; none when the text does not make one
    // (the row is then left out, silently). Blanks and tabs around the text
    // are ignored; a colour gets its "#" when it lacks one and always the
    // tolerance 30.
    std::optional<Rule> rule() const;
};

// Blanks and tabs (not line breaks) trimmed from both ends.
QString trimmedBlanks(const QString &text);

} // namespace vellora
