#include "LibraryCodec.h"

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vellora::coding {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// Thrown inside the fast decoder for anything it leaves to the general one.
struct NotSure {};

template <typename T, typename R> T take(R result)
{
    T value;
    if (std::move(result).get(value))
        throw NotSure{};
    return value;
}

simdjson::dom::object objectOf(element value) { return take<simdjson::dom::object>(value.get_object()); }
simdjson::dom::array arrayOf(element value) { return take<simdjson::dom::array>(value.get_array()); }

QString text(element value)
{
    if (value.type() != element_type::STRING)
        throw NotSure{};
    const std::string_view s = take<std::string_view>(value.get_string());
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

// Integers as the general decoder takes them: exact 64-bit values, and whole
// doubles inside the range; anything else is its to judge.
qint64 integer(element value)
{
    switch (value.type()) {
    case element_type::INT64:
        return take<std::int64_t>(value.get_int64());
    case element_type::UINT64: {
        const std::uint64_t u = take<std::uint64_t>(value.get_uint64());
        if (u <= std::uint64_t(std::numeric_limits<qint64>::max()))
            return qint64(u);
        throw NotSure{};
    }
    case element_type::DOUBLE: {
        const double d = take<double>(value.get_double());
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            return qint64(d);
        throw NotSure{};
    }
    default:
        throw NotSure{};
    }
}

double number(element value)
{
    switch (value.type()) {
    case element_type::INT64: return double(take<std::int64_t>(value.get_int64()));
    case element_type::UINT64: return double(take<std::uint64_t>(value.get_uint64()));
    case element_type::DOUBLE: {
        const double d = take<double>(value.get_double());
        if (!std::isfinite(d))
            throw NotSure{};
        return d;
    }
    default: throw NotSure{};
    }
}

CompactText compactText(element value)
{
    if (value.type() != element_type::STRING)
        throw NotSure{};
    return CompactText::fromUtf8(take<std::string_view>(value.get_string()));
}

QStringList strings(element value)
{
    if (value.type() != element_type::ARRAY)
        throw NotSure{};
    const auto array = arrayOf(value);
    QStringList out;
    out.reserve(qsizetype(array.size()));
    for (element e : array)
        out.push_back(text(e));
    return out;
}

bool isNull(element value) { return value.type() == element_type::NULL_VALUE; }

// The short texts that repeat across items (kind, the collections an item is
// in, labels, tags) are made once per document and shared by every item that
// holds them: each separate QString and list is a heap block of its own, and
// in a large library these blocks take more memory than the text they hold.
class Interner {
public:
    QString text(element value)
    {
        if (value.type() != element_type::STRING)
            throw NotSure{};
        const std::string_view s = take<std::string_view>(value.get_string());
        if (s.size() > kLongest)
            return QString::fromUtf8(s.data(), qsizetype(s.size()));
        // The views point into the parser's document, which outlives this.
        if (const auto it = m_texts.find(s); it != m_texts.end())
            return it->second;
        QString made = QString::fromUtf8(s.data(), qsizetype(s.size()));
        if (m_texts.size() < kMostEntries)
            m_texts.emplace(s, made);
        return made;
    }

    QStringList strings(element value)
    {
        if (value.type() != element_type::ARRAY)
            throw NotSure{};
        const auto array = arrayOf(value);
        // The key: each text after its length, so that no two lists share one.
        m_key.clear();
        for (element e : array) {
            if (e.type() != element_type::STRING)
                throw NotSure{};
            const std::string_view s = take<std::string_view>(e.get_string());
            m_key += std::to_string(s.size());
            m_key.push_back(':');
            m_key.append(s.data(), s.size());
        }
        if (const auto it = m_lists.find(m_key); it != m_lists.end())
            return it->second;
        QStringList out;
        out.reserve(qsizetype(array.size()));
        for (element e : array)
            out.push_back(text(e));
        if (m_lists.size() < kMostEntries && m_key.size() <= kLongestKey)
            m_lists.emplace(m_key, out);
        return out;
    }

private:
    static constexpr size_t kLongest = 200;
    static constexpr size_t kLongestKey = 1000;
    static constexpr size_t kMostEntries = 50000;
    std::unordered_map<std::string_view, QString> m_texts;
    std::unordered_map<std::string, QStringList> m_lists;
    std::string m_key;
};

// A small record read through the general decoder, from its minified text:
// the insight of a link and the smart folders are few and rarely large.
nlohmann::json general(element value)
{
    const std::string minified = simdjson::minify(value);
    return nlohmann::json::parse(minified);
}

enum class ItemKey {
    Id, Kind, OriginalFilename, StoredFilename, ThumbnailFilename, PixelWidth, PixelHeight, ContentHash,
    DateAdded, DateCreated, CollectionIds, SourceURL, Labels, OcrText, Tags, Palette, FileSize, Title, SiteName,
    Summary, FaviconFilename, SnapshotDate, PageText, Insight, OpenCount, LastOpenedAt, TrashedAt, TrashedFrom,
};

ItemKey itemKey(std::string_view key)
{
    static const std::vector<std::pair<std::string_view, ItemKey>> table = [] {
        std::vector<std::pair<std::string_view, ItemKey>> t = {
            {"id", ItemKey::Id}, {"kind", ItemKey::Kind}, {"originalFilename", ItemKey::OriginalFilename},
            {"storedFilename", ItemKey::StoredFilename}, {"thumbnailFilename", ItemKey::ThumbnailFilename},
            {"pixelWidth", ItemKey::PixelWidth}, {"pixelHeight", ItemKey::PixelHeight},
            {"contentHash", ItemKey::ContentHash}, {"dateAdded", ItemKey::DateAdded},
            {"dateCreated", ItemKey::DateCreated}, {"collectionIds", ItemKey::CollectionIds},
            {"sourceURL", ItemKey::SourceURL}, {"labels", ItemKey::Labels}, {"ocrText", ItemKey::OcrText},
            {"tags", ItemKey::Tags}, {"palette", ItemKey::Palette}, {"fileSize", ItemKey::FileSize},
            {"title", ItemKey::Title}, {"siteName", ItemKey::SiteName}, {"summary", ItemKey::Summary},
            {"faviconFilename", ItemKey::FaviconFilename}, {"snapshotDate", ItemKey::SnapshotDate},
            {"pageText", ItemKey::PageText}, {"insight", ItemKey::Insight}, {"openCount", ItemKey::OpenCount},
            {"lastOpenedAt", ItemKey::LastOpenedAt}, {"trashedAt", ItemKey::TrashedAt},
            {"trashedFrom", ItemKey::TrashedFrom}};
        std::sort(t.begin(), t.end());
        return t;
    }();
    const auto it = std::lower_bound(table.begin(), table.end(), key,
                                     [](const auto &entry, std::string_view k) { return entry.first < k; });
    // A member this road does not know may be one the general decoder reads.
    if (it == table.end() || it->first != key)
        throw NotSure{};
    return it->second;
}

template <typename T, typename F> void optionalField(std::optional<T> &field, element value, F read)
{
    if (isNull(value))
        field.reset();
    else
        field = read(value);
}

Item readItemFast(element value, const Path &path, Interner &shared)
{
    auto sharedText = [&shared](element v) { return shared.text(v); };
    auto sharedStrings = [&shared](element v) { return shared.strings(v); };
    if (value.type() != element_type::OBJECT)
        throw NotSure{};
    Item item;
    unsigned required = 0;
    for (const auto field : objectOf(value)) {
        const element v = field.value;
        const ItemKey key = itemKey(field.key);
        if (key <= ItemKey::CollectionIds) {
            if (isNull(v))
                throw NotSure{};
            required |= 1u << unsigned(key);
        }
        switch (key) {
        case ItemKey::Id: item.id = text(v); break;
        case ItemKey::Kind: item.kind = shared.text(v); break;
        case ItemKey::OriginalFilename: item.originalFilename = text(v); break;
        case ItemKey::StoredFilename: item.storedFilename = text(v); break;
        case ItemKey::ThumbnailFilename: item.thumbnailFilename = text(v); break;
        case ItemKey::PixelWidth: item.pixelWidth = integer(v); break;
        case ItemKey::PixelHeight: item.pixelHeight = integer(v); break;
        case ItemKey::ContentHash: item.contentHash = text(v); break;
        case ItemKey::DateAdded: item.dateAdded = number(v); break;
        case ItemKey::DateCreated: item.dateCreated = number(v); break;
        case ItemKey::CollectionIds: item.collectionIds = shared.strings(v); break;
        case ItemKey::SourceURL: optionalField(item.sourceURL, v, text); break;
        case ItemKey::Labels: optionalField(item.labels, v, sharedStrings); break;
        case ItemKey::OcrText: optionalField(item.ocrText, v, compactText); break;
        case ItemKey::Tags: optionalField(item.tags, v, sharedStrings); break;
        case ItemKey::Palette: optionalField(item.palette, v, strings); break;
        case ItemKey::FileSize: optionalField(item.fileSize, v, integer); break;
        case ItemKey::Title: optionalField(item.title, v, text); break;
        case ItemKey::SiteName: optionalField(item.siteName, v, sharedText); break;
        case ItemKey::Summary: optionalField(item.summary, v, text); break;
        case ItemKey::FaviconFilename: optionalField(item.faviconFilename, v, text); break;
        case ItemKey::SnapshotDate: optionalField(item.snapshotDate, v, number); break;
        case ItemKey::PageText: optionalField(item.pageText, v, compactText); break;
        case ItemKey::Insight:
            if (isNull(v)) {
                item.insight.reset();
            } else {
                const Path p = path.member("insight");
                item.insight = readLinkInsight(general(v), p);
            }
            break;
        case ItemKey::OpenCount: optionalField(item.openCount, v, integer); break;
        case ItemKey::LastOpenedAt: optionalField(item.lastOpenedAt, v, number); break;
        case ItemKey::TrashedAt: optionalField(item.trashedAt, v, number); break;
        case ItemKey::TrashedFrom: optionalField(item.trashedFrom, v, sharedStrings); break;
        }
    }
    if (required != (1u << (unsigned(ItemKey::CollectionIds) + 1)) - 1)
        throw NotSure{};
    return item;
}

Board readBoardFast(element value)
{
    if (value.type() != element_type::OBJECT)
        throw NotSure{};
    Board board;
    unsigned required = 0;
    for (const auto field : objectOf(value)) {
        const element v = field.value;
        const std::string_view key = field.key;
        if (key == "zone") {
            optionalField(board.zone, v, text);
            continue;
        }
        if (key == "zoneOwner") {
            optionalField(board.zoneOwner, v, text);
            continue;
        }
        if (isNull(v))
            throw NotSure{};
        if (key == "id") {
            board.id = text(v);
            required |= 1;
        } else if (key == "name") {
            board.name = text(v);
            required |= 2;
        } else if (key == "dateCreated") {
            board.dateCreated = number(v);
            required |= 4;
        } else if (key == "groups") {
            board.groups = strings(v);
            required |= 8;
        } else {
            throw NotSure{};
        }
    }
    if (required != 15)
        throw NotSure{};
    return board;
}

template <typename T, typename F> QList<T> records(element value, F read)
{
    if (value.type() != element_type::ARRAY)
        throw NotSure{};
    const auto array = arrayOf(value);
    QList<T> out;
    out.reserve(qsizetype(array.size()));
    qsizetype i = 0;
    for (element e : array) {
        if (isNull(e))
            throw NotSure{};
        out.push_back(read(e, i++));
    }
    return out;
}

void appendInteger(std::string &out, qint64 n)
{
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, res.ptr);
}

void appendText(std::string &out, const QString &s)
{
    const QByteArray utf8 = s.toUtf8();
    appendJSONString(out, std::string_view(utf8.constData(), size_t(utf8.size())));
}

// Kept as the document held it: no conversion on the way out.
void appendText(std::string &out, const CompactText &s) { appendJSONString(out, s.utf8View()); }

void newline(std::string &out, int depth)
{
    out.push_back('\n');
    out.append(std::size_t(depth) * 2, ' ');
}

void appendTexts(std::string &out, const QStringList &list, int depth)
{
    if (list.isEmpty()) {
        out += "[]";
        return;
    }
    out.push_back('[');
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (i)
            out.push_back(',');
        newline(out, depth + 1);
        appendText(out, list[i]);
    }
    newline(out, depth);
    out.push_back(']');
}

// One member of an item: whether it is set, and how it is written.
struct ItemMember {
    const char *key;
    bool (*present)(const Item &);
    void (*write)(std::string &, const Item &, const Path &, int);
};

#define VELLORA_TEXT(name) {#name, [](const Item &) { return true; }, \
    [](std::string &o, const Item &i, const Path &, int) { appendText(o, i.name); }}
#define VELLORA_OPT_TEXT(name) {#name, [](const Item &i) { return i.name.has_value(); }, \
    [](std::string &o, const Item &i, const Path &, int) { appendText(o, *i.name); }}
#define VELLORA_TEXTS(name) {#name, [](const Item &) { return true; }, \
    [](std::string &o, const Item &i, const Path &, int d) { appendTexts(o, i.name, d); }}
#define VELLORA_OPT_TEXTS(name) {#name, [](const Item &i) { return i.name.has_value(); }, \
    [](std::string &o, const Item &i, const Path &, int d) { appendTexts(o, *i.name, d); }}
#define VELLORA_INTEGER(name) {#name, [](const Item &) { return true; }, \
    [](std::string &o, const Item &i, const Path &, int) { appendInteger(o, i.name); }}
#define VELLORA_OPT_INTEGER(name) {#name, [](const Item &i) { return i.name.has_value(); }, \
    [](std::string &o, const Item &i, const Path &, int) { appendInteger(o, *i.name); }}
#define VELLORA_NUMBER(name) {#name, [](const Item &) { return true; }, \
    [](std::string &o, const Item &i, const Path &p, int) { appendJSONDouble(o, i.name, p.member(#name)); }}
#define VELLORA_OPT_NUMBER(name) {#name, [](const Item &i) { return i.name.has_value(); }, \
    [](std::string &o, const Item &i, const Path &p, int) { appendJSONDouble(o, *i.name, p.member(#name)); }}

const std::vector<ItemMember> &itemMembers()
{
    static const std::vector<ItemMember> members = [] {
        std::vector<ItemMember> m = {
            VELLORA_TEXT(id), VELLORA_TEXT(kind), VELLORA_TEXT(originalFilename), VELLORA_TEXT(storedFilename),
            VELLORA_TEXT(thumbnailFilename), VELLORA_INTEGER(pixelWidth), VELLORA_INTEGER(pixelHeight),
            VELLORA_TEXT(contentHash), VELLORA_NUMBER(dateAdded), VELLORA_NUMBER(dateCreated),
            VELLORA_TEXTS(collectionIds), VELLORA_OPT_TEXT(sourceURL), VELLORA_OPT_TEXTS(labels),
            VELLORA_OPT_TEXT(ocrText), VELLORA_OPT_TEXTS(tags), VELLORA_OPT_TEXTS(palette),
            VELLORA_OPT_INTEGER(fileSize), VELLORA_OPT_TEXT(title), VELLORA_OPT_TEXT(siteName),
            VELLORA_OPT_TEXT(summary), VELLORA_OPT_TEXT(faviconFilename), VELLORA_OPT_NUMBER(snapshotDate),
            VELLORA_OPT_TEXT(pageText),
            {"insight", [](const Item &i) { return i.insight.has_value(); },
             [](std::string &o, const Item &i, const Path &p, int d) {
                 appendPrettyJSON(o, i.insight->toJSON(), p.member("insight"), d);
             }},
            VELLORA_OPT_INTEGER(openCount), VELLORA_OPT_NUMBER(lastOpenedAt), VELLORA_OPT_NUMBER(trashedAt),
            VELLORA_OPT_TEXTS(trashedFrom)};
        // The written order is the keys' byte order, as for every object.
        std::sort(m.begin(), m.end(), [](const ItemMember &a, const ItemMember &b) {
            return std::string_view(a.key) < std::string_view(b.key);
        });
        return m;
    }();
    return members;
}

#undef VELLORA_TEXT
#undef VELLORA_OPT_TEXT
#undef VELLORA_TEXTS
#undef VELLORA_OPT_TEXTS
#undef VELLORA_INTEGER
#undef VELLORA_OPT_INTEGER
#undef VELLORA_NUMBER
#undef VELLORA_OPT_NUMBER

} // namespace

std::optional<LibraryFile> decodeLibraryFast(const QByteArray &json)
{
    simdjson::dom::parser parser;
    element root;
    // simdjson reads a little past the end; use the array's own spare room
    // when it has enough instead of copying a document of hundreds of MB.
    const bool padded = json.capacity() - json.size() >= qsizetype(simdjson::SIMDJSON_PADDING);
    if (parser.parse(reinterpret_cast<const uint8_t *>(json.constData()), size_t(json.size()), !padded).get(root))
        return std::nullopt;
    try {
        if (root.type() != element_type::OBJECT)
            return std::nullopt;
        LibraryFile file;
        const Path top;
        unsigned required = 0;
        for (const auto field : objectOf(root)) {
            const std::string_view key = field.key;
            const element v = field.value;
            if (key == "smartFolders") {
                if (isNull(v)) {
                    file.smartFolders.reset();
                } else {
                    const Path p = top.member("smartFolders");
                    file.smartFolders = toRecords<SmartFolder>(general(v), p, &readSmartFolder);
                }
                continue;
            }
            if (isNull(v))
                return std::nullopt;
            if (key == "collections") {
                file.collections = records<Board>(v, [](element e, qsizetype) { return readBoardFast(e); });
                required |= 1;
            } else if (key == "items") {
                const Path itemsPath = top.member("items");
                Interner shared;
                file.items = records<Item>(v, [&itemsPath, &shared](element e, qsizetype i) {
                    return readItemFast(e, itemsPath.element(i), shared);
                });
                required |= 2;
            } else if (key == "topLevelOrder") {
                file.topLevelOrder = strings(v);
                required |= 4;
            } else {
                return std::nullopt;
            }
        }
        if (required != 7)
            return std::nullopt;
        return file;
    } catch (const NotSure &) {
        return std::nullopt;
    } catch (const DecodingError &) {
        return std::nullopt;
    } catch (const nlohmann::json::exception &) {
        return std::nullopt;
    }
}

void appendItemJSON(std::string &out, const Item &item, const Path &path, int depth)
{
    out.push_back('{');
    bool first = true;
    for (const ItemMember &member : itemMembers()) {
        if (!member.present(item))
            continue;
        if (!first)
            out.push_back(',');
        first = false;
        newline(out, depth + 1);
        out.push_back('"');
        out += member.key;
        out += "\" : ";
        member.write(out, item, path, depth + 1);
    }
    newline(out, depth);
    out.push_back('}');
}

} // namespace vellora::coding
