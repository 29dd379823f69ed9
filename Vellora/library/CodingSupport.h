#pragma once
// Strict readers over parsed JSON, shared by the records' decoders. Not part
// of the library's interface.

#include "CodingError.h"
#include "CompactText.h"

#include <QByteArray>
#include <QString>
#include <QList>
#include <QStringList>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace vellora {
struct LinkEntities;
struct LinkInsight;
struct Rule;
struct Item;
struct Board;
struct SmartFolder;
}

namespace vellora::coding {

// Where a value sits in the document, kept as a chain on the stack so that
// the text is only built when something fails.
struct Path {
    const Path *parent = nullptr;
    const char *key = nullptr; // member name, or nullptr for an index
    qsizetype index = -1;

    Path member(const char *name) const { return Path{this, name, -1}; }
    Path element(qsizetype i) const { return Path{this, nullptr, i}; }
    QString text() const;
};

[[noreturn]] void fail(DecodingError::Kind kind, const Path &path, const QString &message);
[[noreturn]] void typeMismatch(const Path &path, const char *expected, const nlohmann::json &found);

// The JSON type's name as the messages give it ("a string", "null", ...).
const char *describe(const nlohmann::json &value);

QString toString(const nlohmann::json &value, const Path &path);
// The same check as toString(), keeping the document's UTF-8 as it is.
CompactText toCompactText(const nlohmann::json &value, const Path &path);
qint64 toInteger(const nlohmann::json &value, const Path &path);
double toNumber(const nlohmann::json &value, const Path &path);
QStringList toStrings(const nlohmann::json &value, const Path &path);

// One object of the document, read key by key.
class ObjectReader {
public:
    ObjectReader(const nlohmann::json &json, const Path &path);

    const Path &path() const { return m_path; }

    // The member's value; a missing key or a null value fails.
    const nlohmann::json &required(const char *key) const;
    // The member's value, or nullptr when it is missing or null.
    const nlohmann::json *optional(const char *key) const;

    QString string(const char *key) const;
    qint64 integer(const char *key) const;
    double number(const char *key) const;
    QStringList strings(const char *key) const;

    std::optional<QString> optString(const char *key) const;
    std::optional<CompactText> optText(const char *key) const;
    std::optional<qint64> optInteger(const char *key) const;
    std::optional<double> optNumber(const char *key) const;
    std::optional<QStringList> optStrings(const char *key) const;

private:
    const nlohmann::json &m_json;
    const Path &m_path;
};

// Reads an array of records; each element is required (null fails).
template <typename T> QList<T> toRecords(const nlohmann::json &value, const Path &path, T (*read)(const nlohmann::json &, const Path &))
{
    if (!value.is_array())
        typeMismatch(path, "an array", value);
    QList<T> out;
    out.reserve(qsizetype(value.size()));
    qsizetype i = 0;
    for (const auto &element : value) {
        const Path p = path.element(i++);
        if (element.is_null())
            fail(DecodingError::Kind::ValueNotFound, p, QStringLiteral("Expected an object but found null instead."));
        out.push_back(read(element, p));
    }
    return out;
}

// The records' readers, each at its place in the document.
LinkEntities readLinkEntities(const nlohmann::json &value, const Path &path);
LinkInsight readLinkInsight(const nlohmann::json &value, const Path &path);
Rule readRule(const nlohmann::json &value, const Path &path);
Item readItem(const nlohmann::json &value, const Path &path);
Board readBoard(const nlohmann::json &value, const Path &path);
SmartFolder readSmartFolder(const nlohmann::json &value, const Path &path);

// Parses a whole document; text that is not JSON fails as data corrupted.
nlohmann::json parse(const QByteArray &bytes);

// Appends the pretty, sorted form of a value that sits `depth` levels deep;
// lets a long document be written one record at a time.
void appendPrettyJSON(std::string &out, const nlohmann::ordered_json &value, const Path &path, int depth);

// The writer's own scalars: a string with its escapes, and a finite double in
// its shortest form (EncodingError naming `path` otherwise).
void appendJSONString(std::string &out, std::string_view text);
void appendJSONDouble(std::string &out, double d, const Path &path);

// Writing helpers: QString and QStringList into JSON.
inline std::string utf8(const QString &s) { return s.toStdString(); }
nlohmann::ordered_json stringArray(const QStringList &list);

} // namespace vellora::coding
