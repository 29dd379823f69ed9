#include "WebAddress.h"

#include <QHostAddress>

namespace vellora {

namespace {

bool isAlpha(QChar c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }
bool isHex(QChar c) { return isDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }

bool hasForbiddenCharacters(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c <= 0x20 || c == 0x7F)
            return true;
        switch (c) {
        case u'"': case u'<': case u'>': case u'\\': case u'^':
        case u'`': case u'{': case u'|': case u'}':
            return true;
        case u'%':
            if (i + 2 >= text.size() || !isHex(text.at(i + 1)) || !isHex(text.at(i + 2)))
                return true;
            break;
        default:
            break;
        }
    }
    return false;
}

// The scheme ends at the first ":" when everything before it is a valid
// scheme; "example.com/a?b=c:d" has none.
qsizetype schemeLength(const QString &text)
{
    if (text.isEmpty() || !isAlpha(text.front()))
        return -1;
    for (qsizetype i = 1; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u':')
            return i;
        if (!(isAlpha(c) || isDigit(c) || c == u'+' || c == u'-' || c == u'.'))
            return -1;
    }
    return -1;
}

} // namespace

std::optional<WebAddress> WebAddress::parse(const QString &text)
{
    if (hasForbiddenCharacters(text))
        return std::nullopt;

    WebAddress a;
    qsizetype pos = 0;
    const qsizetype schemeEnd = schemeLength(text);
    if (schemeEnd > 0) {
        a.scheme = text.left(schemeEnd);
        pos = schemeEnd + 1;
    }

    // The fragment and the query are cut off first: "#" ends everything,
    // "?" ends the authority and the path.
    QString rest = text.mid(pos);
    if (const qsizetype hash = rest.indexOf(u'#'); hash >= 0) {
        a.fragment = rest.mid(hash + 1);
        rest.truncate(hash);
    }
    if (const qsizetype question = rest.indexOf(u'?'); question >= 0) {
        a.query = rest.mid(question + 1);
        rest.truncate(question);
    }

    if (rest.startsWith(QLatin1String("//"))) {
        a.hasAuthority = true;
        qsizetype end = rest.indexOf(u'/', 2);
        if (end < 0)
            end = rest.size();
        QString authority = rest.mid(2, end - 2);
        a.path = rest.mid(end);

        if (const qsizetype at = authority.lastIndexOf(u'@'); at >= 0) {
            a.userInfo = authority.left(at);
            authority = authority.mid(at + 1);
        }
        QString hostPort = authority;
        qsizetype colon = -1;
        if (hostPort.startsWith(u'[')) {
            const qsizetype close = hostPort.indexOf(u']');
            if (close < 0)
                return std::nullopt;
            if (close + 1 < hostPort.size()) {
                if (hostPort.at(close + 1) != u':')
                    return std::nullopt;
                colon = close + 1;
            }
        } else {
            colon = hostPort.lastIndexOf(u':');
        }
        if (colon >= 0) {
            a.port = hostPort.mid(colon + 1);
            a.host = hostPort.left(colon);
            for (QChar c : std::as_const(a.port))
                if (!isDigit(c))
                    return std::nullopt;
        } else {
            a.host = hostPort;
        }
        if (a.host.contains(u'[') != a.host.startsWith(u'[') || a.host.count(u'[') > 1
            || a.host.count(u']') != a.host.count(u'['))
            return std::nullopt;
    } else {
        if (rest.contains(u'[') || rest.contains(u']'))
            return std::nullopt;
        a.path = rest;
    }
    return a;
}

QString WebAddress::hostOf(const QString &text)
{
    const auto a = parse(text);
    return a && a->hasAuthority ? a->host : QString();
}

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace vellora

namespace vellora {

bool isLocalNetworkAddress(const QHostAddress &given)
{
    QHostAddress address = given;
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4);
    if (address.isNull() || address.isLoopback() || address.isLinkLocal() || address.isMulticast()
        || address.isBroadcast() || address.isUniqueLocalUnicast() || address.isSiteLocal()
        || address == QHostAddress(QHostAddress::AnyIPv4) || address == QHostAddress(QHostAddress::AnyIPv6))
        return true;
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    static const QList<std::pair<QHostAddress, int>> ranges = {
        {QHostAddress(QStringLiteral("0.0.0.0")), 8},    {QHostAddress(QStringLiteral("10.0.0.0")), 8},
        {QHostAddress(QStringLiteral("100.64.0.0")), 10}, {QHostAddress(QStringLiteral("127.0.0.0")), 8},
        {QHostAddress(QStringLiteral("169.254.0.0")), 16}, {QHostAddress(QStringLiteral("172.16.0.0")), 12},
        {QHostAddress(QStringLiteral("192.168.0.0")), 16}, {QHostAddress(QStringLiteral("224.0.0.0")), 3},
    };
    return std::any_of(ranges.begin(), ranges.end(),
                       [&](const auto &range) { return address.isInSubnet(range.first, range.second); });
}

bool isLocalNetworkHostName(const QString &host)
{
    QString name = host.toLower();
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    if (name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost")))
        return true;
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
        name = name.mid(1, name.size() - 2);
    const QHostAddress literal(name);
    return !literal.isNull() && isLocalNetworkAddress(literal);
}

} // namespace vellora
