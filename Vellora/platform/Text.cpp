#include "Text.h"

#include <unicode/coll.h>
#include <unicode/listformatter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/stsearch.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <memory>

namespace vellora {

namespace {
icu::UnicodeString toICU(const QString &text)
{
    return icu::UnicodeString(reinterpret_cast<const UChar *>(text.utf16()), int32_t(text.size()));
}

QString fromICU(const icu::UnicodeString &text)
{
    return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
}

// Case folding, then canonical decomposition with the combining marks taken
// out: the same comparison strength as a primary-level collator, but cheap
// enough to run over every item's text on each keystroke.
icu::UnicodeString searchKey(const QString &text)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2 *nfd = icu::Normalizer2::getNFDInstance(status);
    icu::UnicodeString folded = toICU(text);
    folded.foldCase();
    if (U_FAILURE(status))
        return folded;
    icu::UnicodeString decomposed = nfd->normalize(folded, status);
    if (U_FAILURE(status))
        return folded;
    icu::UnicodeString out;
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 c = decomposed.char32At(i);
        if (u_getCombiningClass(c) == 0 && u_charType(c) != U_NON_SPACING_MARK)
            out.append(c);
        i += U16_LENGTH(c);
    }
    return out;
}
} // namespace

bool localizedStandardContains(const QString &text, const QString &term)
{
    if (term.isEmpty())
        return false;
    const icu::UnicodeString needle = searchKey(term);
    if (needle.isEmpty())
        return false;
    return searchKey(text).indexOf(needle) >= 0;
}

QString searchFolded(const QString &text)
{
    return fromICU(searchKey(text));
}

QString lowercased(const QString &text)
{
    icu::UnicodeString s = toICU(text);
    s.toLower(icu::Locale::getDefault());
    return fromICU(s);
}

bool caseInsensitiveEquals(const QString &a, const QString &b)
{
    icu::UnicodeString x = toICU(a), y = toICU(b);
    return x.foldCase() == y.foldCase();
}

QString formatList(const QStringList &parts, ListJoin join)
{
    if (parts.isEmpty())
        return {};
    UErrorCode status = U_ZERO_ERROR;
    const UListFormatterType type = join == ListJoin::And ? ULISTFMT_TYPE_AND : ULISTFMT_TYPE_OR;
    std::unique_ptr<icu::ListFormatter> formatter(
        icu::ListFormatter::createInstance(icu::Locale::getDefault(), type, ULISTFMT_WIDTH_WIDE, status));
    if (U_FAILURE(status) || !formatter) {
        // Without ICU data, fall back to the English form.
        if (parts.size() == 1)
            return parts.first();
        const QString word = join == ListJoin::And ? QStringLiteral(" and ") : QStringLiteral(" or ");
        return parts.mid(0, parts.size() - 1).join(QStringLiteral(", ")) + word + parts.last();
    }
    std::vector<icu::UnicodeString> items;
    items.reserve(parts.size());
    for (const QString &p : parts)
        items.push_back(toICU(p));
    icu::UnicodeString out;
    formatter->format(items.data(), int32_t(items.size()), out, status);
    if (U_FAILURE(status))
        return parts.join(QStringLiteral(", "));
    return fromICU(out);
}

} // namespace vellora
