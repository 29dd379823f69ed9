#include "DeepLink.h"

#include "library/SafeNames.h"

#include <QUrl>

namespace vellora {

namespace {

// The last component of a path as a file manager names it: trailing slashes
// do not count, and the root alone is "/".
QString lastPathComponent(const QString &path)
{
    qsizetype end = path.size();
    while (end > 1 && path[end - 1] == u'/')
        --end;
    if (end == 1 && path[0] == u'/')
        return QStringLiteral("/");
    const qsizetype slash = path.lastIndexOf(u'/', end - 1);
    return QUrl::fromPercentEncoding(path.mid(slash + 1, end - slash - 1).toUtf8());
}

// The first value of the query item `wanted`, percent-decoded; none when the
// query has no such item or the item no value. Each item goes up to '&';
// '+' stays a plus, as in any URL query.
std::optional<QString> queryValue(const std::optional<QString> &query, const QString &wanted)
{
    if (!query)
        return std::nullopt;
    for (const QString &pair : query->split(u'&')) {
        const qsizetype eq = pair.indexOf(u'=');
        const QString name = QUrl::fromPercentEncoding((eq < 0 ? pair : pair.left(eq)).toUtf8());
        if (name != wanted)
            continue;
        if (eq >= 0)
            return QUrl::fromPercentEncoding(pair.mid(eq + 1).toUtf8());
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace

std::optional<DeepLink> parseDeepLink(const QString &address)
{
    static const QString prefix = QStringLiteral("vellora:");
    if (!address.startsWith(prefix, Qt::CaseSensitive))
        return std::nullopt;
    QString rest = address.mid(prefix.size());
    QString fragmentless = rest.left(rest.indexOf(u'#') < 0 ? rest.size() : rest.indexOf(u'#'));
    const qsizetype q = fragmentless.indexOf(u'?');
    const QString beforeQuery = q < 0 ? fragmentless : fragmentless.left(q);
    const std::optional<QString> query = q < 0 ? std::nullopt : std::optional<QString>(fragmentless.mid(q + 1));
    if (!beforeQuery.startsWith(QStringLiteral("//")))
        return std::nullopt;
    const QString hierarchy = beforeQuery.mid(2);
    const qsizetype slash = hierarchy.indexOf(u'/');
    QString authority = slash < 0 ? hierarchy : hierarchy.left(slash);
    const QString path = slash < 0 ? QString() : hierarchy.mid(slash);
    // The host without user information and port, in its encoded form.
    if (const qsizetype at = authority.lastIndexOf(u'@'); at >= 0)
        authority = authority.mid(at + 1);
    if (const qsizetype colon = authority.lastIndexOf(u':'); colon >= 0 && !authority.endsWith(u']'))
        authority = authority.left(colon);
    const QString host = authority;
    if (host.isEmpty())
        return std::nullopt;

    DeepLink link;
    if (host == QLatin1String("item") || host == QLatin1String("board")) {
        link.kind = host == QLatin1String("item") ? DeepLink::Kind::Item : DeepLink::Kind::Board;
        link.id = lastPathComponent(path);
        if (!isSafePathComponent(link.id))
            return std::nullopt;
        return link;
    }
    if (host == QLatin1String("add")) {
        link.kind = DeepLink::Kind::Add;
        link.url = queryValue(query, QStringLiteral("url"));
        return link;
    }
    if (host == QLatin1String("search")) {
        link.kind = DeepLink::Kind::Search;
        link.url = queryValue(query, QStringLiteral("q"));
        return link;
    }
    return std::nullopt;
}

} // namespace vellora
