#include "Version.h"

#include <limits>

#ifndef VELLORA_VERSION_TEXT
#define VELLORA_VERSION_TEXT ""
#endif
#ifndef VELLORA_BUILD_TEXT
#define VELLORA_BUILD_TEXT ""
#endif

namespace vellora {

qint64 parseBuildNumber(QStringView text)
{
    if (text.isEmpty())
        return 0;
    qsizetype i = 0;
    bool negative = false;
    if (text.front() == u'+' || text.front() == u'-') {
        negative = text.front() == u'-';
        i = 1;
    }
    if (i == text.size())
        return 0;
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    constexpr qint64 min = std::numeric_limits<qint64>::min();
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return 0;
        const int digit = int(c - u'0');
        // The sign is applied as the digits accumulate, so the most negative
        // value parses although its magnitude has no positive counterpart.
        if (negative) {
            if (value < (min + digit) / 10)
                return 0;
            value = value * 10 - digit;
        } else {
            if (value > (max - digit) / 10)
                return 0;
            value = value * 10 + digit;
        }
    }
    return value;
}

QString versionOrZero(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("0") : text;
}

QString makeBetaLabel(const QString &version, qint64 build)
{
    return QStringLiteral("Vellora ") + version + QStringLiteral(" (") + QString::number(build)
        + QStringLiteral(") \u00B7 Beta");
}

QString appVersion()
{
    static const QString value = versionOrZero(QStringLiteral(VELLORA_VERSION_TEXT));
    return value;
}

qint64 appBuild()
{
    static const qint64 value = parseBuildNumber(QStringLiteral(VELLORA_BUILD_TEXT));
    return value;
}

QString betaLabel()
{
    static const QString value = makeBetaLabel(appVersion(), appBuild());
    return value;
}

} // namespace vellora
