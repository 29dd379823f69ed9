#pragma once
// Locale-aware text on ICU, as the search and the rules need it.

#include <QString>
#include <QStringList>

namespace vellora {

// True when `text` contains `term`, ignoring case and diacritics in the
// current locale ("café" is found by "CAFE"). An empty term is never contained.
bool localizedStandardContains(const QString &text, const QString &term);

// Full Unicode lower-casing (ICU's, so "İ" and "ẞ" fold as the locale says).
QString lowercased(const QString &text);

// Case-insensitive equality under full case folding.
bool caseInsensitiveEquals(const QString &a, const QString &b);

enum class ListJoin { And, Or };
// "a", "a and b", "a, b and c" (English locale forms; the current locale's
// pattern where ICU has one).
QString formatList(const QStringList &parts, ListJoin join);

} // namespace vellora
