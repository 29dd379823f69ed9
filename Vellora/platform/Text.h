#pragma once
// Locale-aware text on ICU, as the search and the rules need it.

#include <QString>
#include <QStringList>

namespace vellora {

// True when `text` contains `term`, ignoring case and diacritics in the
// current locale ("café" is found by "CAFE"). An empty term is never contained.
bool localizedStandardContains(const QString &text, const QString &term);

// The form in which localizedStandardContains compares: case-folded, with
// diacritics taken off. For callers that compare one term against many texts
// and keep the texts' forms: localizedStandardContains(t, q) is
// !searchFolded(q).isEmpty() && searchFolded(t).contains(searchFolded(q)).
QString searchFolded(const QString &text);

// Full Unicode lower-casing (ICU's, so "İ" and "ẞ" fold as the locale says).
QString lowercased(const QString &text);

// Case-insensitive equality under full case folding.
bool caseInsensitiveEquals(const QString &a, const QString &b);

enum class ListJoin { And, Or };
// "a", "a and b", "a, b and c" (English locale forms; the current locale's
// pattern where ICU has one).
QString formatList(const QStringList &parts, ListJoin join);

} // namespace vellora
