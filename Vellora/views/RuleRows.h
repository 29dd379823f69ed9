#pragma once
// The rows of the smart-folder editor as plain values, free of widgets: each
// row is a RuleDraft plus the rule it was made from, so that editing a folder
// never loses what the row's text cannot say.
//
//  - A row the user did not change gives back its rule exactly as stored: a
//    colourNear keeps its own tolerance, tags keep their spelling, and a rule
//    whose stored value the editor's text cannot express (a kind word other
//    than image or link, an empty tag list, a colour in another form) is kept
//    unchanged rather than dropped.
//  - A changed colourNear row keeps the tolerance of the rule it came from;
//    only a new row gets 30.
//  - Tags are one per comma-separated entry, trimmed and lower-cased (the
//    library's tags are lower case; matching ignores case anyway).
//  - A colour that is not "#" and six hex digits (a sign, five digits, a
//    name) is refused with a message instead of being dropped silently.

#include "enrichment/RuleDraft.h"
#include "library/Item.h"
#include "library/Rule.h"

#include <QList>
#include <QString>
#include <optional>

namespace vellora {

struct RuleRow {
    RuleDraft draft;
    // The folder's rule this row was made from; none for a new row.
    std::optional<Rule> original;
    // The row's text as first shown.
    QString originalValue;

    // A row for a stored rule.
    static RuleRow fromRule(const Rule &rule);
    // A new row of that kind and text (Add Rule, the model's rules).
    static RuleRow fresh(RuleDraft::Kind kind, const QString &value);

    // True while kind and text are as first shown for a stored rule.
    bool untouched() const;
    // The rule this row stands for; none when it gives none.
    std::optional<Rule> rule() const;
    // Why the row is refused, for the user; empty when it is not. Only a
    // colour is refused: other rows that give no rule are left out silently.
    QString problem() const;
};

// The editor's title of a kind ("Kind is", "Has any tag", ...).
QString ruleKindTitle(RuleDraft::Kind kind);
// The value field's placeholder for a kind ("image or link", "desk, oak", ...).
QString ruleKindPlaceholder(RuleDraft::Kind kind);

// The rules of the rows in order, rows that give none left out.
QList<Rule> rulesOfRows(const QList<RuleRow> &rows);
// How many items hold for the rules under the match ("any" = at least one,
// anything else = every rule); no rules match nothing.
int countMatches(const QList<Item> &items, const QString &match, const QList<Rule> &rules);
// The footer text: "1 ITEM MATCH", "2 ITEMS MATCH".
QString matchCountText(int count);

} // namespace vellora
