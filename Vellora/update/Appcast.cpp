#include "Appcast.h"

#include <QFile>
#include <QStringList>
#include <QSysInfo>
#include <nlohmann/json.hpp>

namespace vellora {

namespace {

using json = nlohmann::json;

QString text(const json &value) { return QString::fromStdString(value.get<std::string>()); }

std::optional<QString> optionalText(const json &object, const char *key, QString &error)
{
    const auto it = object.find(key);
    if (it == object.end())
        return std::nullopt;
    if (!it->is_string()) {
        error = QStringLiteral("\"%1\" is not a string").arg(QLatin1String(key));
        return std::nullopt;
    }
    return text(*it);
}

// Major and minor of a dotted version; nothing when a component is not a number.
std::optional<std::pair<int, int>> majorMinor(const QString &dotted)
{
    const QStringList parts = dotted.trimmed().split(QLatin1Char('.'));
    if (parts.isEmpty() || parts.first().isEmpty())
        return std::nullopt;
    bool ok = false;
    const int major = parts.at(0).toInt(&ok);
    if (!ok || major < 0)
        return std::nullopt;
    int minor = 0;
    if (parts.size() > 1) {
        minor = parts.at(1).toInt(&ok);
        if (!ok || minor < 0)
            return std::nullopt;
    }
    return std::make_pair(major, minor);
}

} // namespace

AppcastDecodeResult decodeAppcast(const QByteArray &body)
{
    AppcastDecodeResult result;
    const json document = json::parse(body.constBegin(), body.constEnd(), nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        result.error = QStringLiteral("the feed is not a JSON object");
        return result;
    }
    Appcast appcast;
    for (const char *key : {"version", "url", "sha256"}) {
        const auto it = document.find(key);
        if (it == document.end() || !it->is_string()) {
            result.error = QStringLiteral("\"%1\" is missing or not a string").arg(QLatin1String(key));
            return result;
        }
    }
    const auto build = document.find("build");
    if (build == document.end() || !build->is_number_integer()) {
        result.error = QStringLiteral("\"build\" is missing or not an integer");
        return result;
    }
    appcast.version = text(document["version"]);
    appcast.url = text(document["url"]);
    appcast.sha256 = text(document["sha256"]);
    appcast.build = build->is_number_unsigned() ? qint64(std::min<std::uint64_t>(build->get<std::uint64_t>(), std::uint64_t(INT64_MAX)))
                                                : build->get<std::int64_t>();
    QString error;
    appcast.notes = optionalText(document, "notes", error);
    appcast.minimumSystemVersion = optionalText(document, "minimumSystemVersion", error);
    appcast.published = optionalText(document, "published", error);
    if (!error.isEmpty()) {
        result.error = error;
        return result;
    }
    result.appcast = appcast;
    return result;
}

QByteArray encodeAppcast(const Appcast &appcast)
{
    nlohmann::ordered_json out;
    out["version"] = appcast.version.toStdString();
    out["build"] = appcast.build;
    out["url"] = appcast.url.toStdString();
    out["sha256"] = appcast.sha256.toStdString();
    if (appcast.notes)
        out["notes"] = appcast.notes->toStdString();
    if (appcast.minimumSystemVersion)
        out["minimumSystemVersion"] = appcast.minimumSystemVersion->toStdString();
    if (appcast.published)
        out["published"] = appcast.published->toStdString();
    return QByteArray::fromStdString(out.dump());
}

bool systemSatisfies(const QString &running, const QString &minimum)
{
    const auto need = majorMinor(minimum);
    const auto have = majorMinor(running);
    if (!need || !have)
        return false;
    return *have >= *need;
}

QString runningSystemVersion()
{
    QFile file(QStringLiteral("/etc/debian_version"));
    if (file.open(QIODevice::ReadOnly)) {
        const QString version = QString::fromLatin1(file.read(64)).trimmed();
        if (majorMinor(version))
            return version;
    }
    return QSysInfo::productVersion();
}

} // namespace vellora
