#include "LinkParser.h"

#include "platform/Text.h"
#include "platform/WebAddress.h"

#include <QSet>

namespace vellora {

std::optional<QString> normalizedLinkURL(const QString &text)
{
    QString s = text.trimmed();
    if (s.isEmpty() || s.contains(u' '))
        return std::nullopt;
    if (!s.contains(QLatin1String("://")))
        s.prepend(QLatin1String("https://"));
    const auto address = WebAddress::parse(s);
    if (!address)
        return std::nullopt;
    const QString scheme = address->scheme.toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return std::nullopt;
    if (!address->hasAuthority || !address->host.contains(u'.'))
        return std::nullopt;
    return s;
}

QStringList mergeTags(const QStringList &existing, const QStringList &added)
{
    QStringList result;
    QSet<QString> seen;
    auto keep = [&](const QString &tag) {
        if (!seen.contains(tag)) {
            seen.insert(tag);
            result.append(tag);
        }
    };
    for (const QString &tag : existing)
        keep(tag);
    for (const QString &tag : added)
        keep(lowercased(tag));
    return result;
}

} // namespace vellora
