#include "CodingSupport.h"

#include <cmath>
#include <vector>

namespace vellora {

DecodingError::DecodingError(Kind kind, const QString &path, const QString &message)
    : std::runtime_error(message.toStdString()), m_kind(kind), m_path(path), m_message(message)
{
}

QString DecodingError::describe() const
{
    return m_path.isEmpty() ? m_message : m_path + QStringLiteral(": ") + m_message;
}

EncodingError::EncodingError(const QString &path, const QString &message)
    : std::runtime_error((path.isEmpty() ? message : path + QStringLiteral(": ") + message).toStdString()), m_path(path)
{
}

namespace coding {

QString Path::text() const
{
    std::vector<const Path *> chain;
    for (const Path *p = this; p; p = p->parent)
        chain.push_back(p);
    QString out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const Path *p = *it;
        if (p->key) {
            if (!out.isEmpty())
                out += QLatin1Char('.');
            out += QString::fromUtf8(p->key);
        } else if (p->index >= 0) {
            out += QLatin1Char('[') + QString::number(p->index) + QLatin1Char(']');
        }
    }
    return out;
}

void fail(DecodingError::Kind kind, const Path &path, const QString &message)
{
    throw DecodingError(kind, path.text(), message);
}

const char *describe(const nlohmann::json &value)
{
    switch (value.type()) {
    case nlohmann::json::value_t::null: return "null";
    case nlohmann::json::value_t::object: return "a dictionary";
    case nlohmann::json::value_t::array: return "an array";
    case nlohmann::json::value_t::string: return "a string";
    case nlohmann::json::value_t::boolean: return "a boolean";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float: return "a number";
    default: return "an unsupported value";
    }
}

void typeMismatch(const Path &path, const char *expected, const nlohmann::json &found)
{
    if (found.is_null())
        fail(DecodingError::Kind::ValueNotFound, path,
             QStringLiteral("Expected %1 but found null instead.").arg(QString::fromUtf8(expected)));
    fail(DecodingError::Kind::TypeMismatch, path,
         QStringLiteral("Expected to decode %1 but found %2 instead.")
             .arg(QString::fromUtf8(expected), QString::fromUtf8(describe(found))));
}

QString toString(const nlohmann::json &value, const Path &path)
{
    if (!value.is_string())
        typeMismatch(path, "a string", value);
    const std::string &s = value.get_ref<const std::string &>();
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

CompactText toCompactText(const nlohmann::json &value, const Path &path)
{
    if (!value.is_string())
        typeMismatch(path, "a string", value);
    return CompactText::fromUtf8(std::string_view(value.get_ref<const std::string &>()));
}

qint64 toInteger(const nlohmann::json &value, const Path &path)
{
    switch (value.type()) {
    case nlohmann::json::value_t::number_integer:
        return value.get<std::int64_t>();
    case nlohmann::json::value_t::number_unsigned: {
        const std::uint64_t u = value.get<std::uint64_t>();
        if (u <= std::uint64_t(std::numeric_limits<qint64>::max()))
            return qint64(u);
        break;
    }
    case nlohmann::json::value_t::number_float: {
        // "1e3" and "2.0" are whole numbers written another way; a fraction
        // or a value beyond 64 bits is not an integer.
        const double d = value.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            return qint64(d);
        break;
    }
    default:
        typeMismatch(path, "a 64-bit integer", value);
    }
    fail(DecodingError::Kind::TypeMismatch, path,
         QStringLiteral("Parsed JSON number <%1> does not fit in a 64-bit integer.").arg(QString::fromStdString(value.dump())));
}

double toNumber(const nlohmann::json &value, const Path &path)
{
    if (!value.is_number())
        typeMismatch(path, "a number", value);
    // A literal beyond the double range ("1e400") parses as infinity, which
    // no save could write back: refuse it here rather than fail every save.
    const double d = value.get<double>();
    if (!std::isfinite(d))
        fail(DecodingError::Kind::DataCorrupted, path,
             QStringLiteral("Number %1 is not representable as a 64-bit floating-point value.")
                 .arg(QString::fromStdString(value.dump())));
    return d;
}

QStringList toStrings(const nlohmann::json &value, const Path &path)
{
    if (!value.is_array())
        typeMismatch(path, "an array", value);
    QStringList out;
    out.reserve(qsizetype(value.size()));
    qsizetype i = 0;
    for (const auto &element : value) {
        const Path p = path.element(i++);
        out.push_back(toString(element, p));
    }
    return out;
}

ObjectReader::ObjectReader(const nlohmann::json &json, const Path &path) : m_json(json), m_path(path)
{
    if (!json.is_object())
        typeMismatch(path, "a dictionary", json);
}

const nlohmann::json &ObjectReader::required(const char *key) const
{
    const auto it = m_json.find(key);
    if (it == m_json.end())
        fail(DecodingError::Kind::KeyNotFound, m_path,
             QStringLiteral("No value associated with key \"%1\".").arg(QString::fromUtf8(key)));
    if (it->is_null()) {
        const Path p = m_path.member(key);
        fail(DecodingError::Kind::ValueNotFound, p, QStringLiteral("Expected a value but found null instead."));
    }
    return *it;
}

const nlohmann::json *ObjectReader::optional(const char *key) const
{
    const auto it = m_json.find(key);
    if (it == m_json.end() || it->is_null())
        return nullptr;
    return &*it;
}

QString ObjectReader::string(const char *key) const
{
    const Path p = m_path.member(key);
    return toString(required(key), p);
}

qint64 ObjectReader::integer(const char *key) const
{
    const Path p = m_path.member(key);
    return toInteger(required(key), p);
}

double ObjectReader::number(const char *key) const
{
    const Path p = m_path.member(key);
    return toNumber(required(key), p);
}

QStringList ObjectReader::strings(const char *key) const
{
    const Path p = m_path.member(key);
    return toStrings(required(key), p);
}

std::optional<QString> ObjectReader::optString(const char *key) const
{
    const nlohmann::json *v = optional(key);
    if (!v)
        return std::nullopt;
    const Path p = m_path.member(key);
    return toString(*v, p);
}

std::optional<CompactText> ObjectReader::optText(const char *key) const
{
    const nlohmann::json *v = optional(key);
    if (!v)
        return std::nullopt;
    const Path p = m_path.member(key);
    return toCompactText(*v, p);
}

std::optional<qint64> ObjectReader::optInteger(const char *key) const
{
    const nlohmann::json *v = optional(key);
    if (!v)
        return std::nullopt;
    const Path p = m_path.member(key);
    return toInteger(*v, p);
}

std::optional<double> ObjectReader::optNumber(const char *key) const
{
    const nlohmann::json *v = optional(key);
    if (!v)
        return std::nullopt;
    const Path p = m_path.member(key);
    return toNumber(*v, p);
}

std::optional<QStringList> ObjectReader::optStrings(const char *key) const
{
    const nlohmann::json *v = optional(key);
    if (!v)
        return std::nullopt;
    const Path p = m_path.member(key);
    return toStrings(*v, p);
}

nlohmann::json parse(const QByteArray &bytes)
{
    try {
        return nlohmann::json::parse(bytes.constBegin(), bytes.constEnd());
    } catch (const nlohmann::json::exception &) {
        throw DecodingError(DecodingError::Kind::DataCorrupted, QString(), QStringLiteral("The given data was not valid JSON."));
    }
}

nlohmann::ordered_json stringArray(const QStringList &list)
{
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const QString &s : list)
        out.push_back(s.toStdString());
    return out;
}

} // namespace coding
} // namespace vellora
