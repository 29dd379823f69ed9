#include "LibraryCodec.h"

#include "Parallel.h"

#include <simdjson.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <deque>
#include <cstring>
#include <cmath>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vellora::coding {

namespace {

namespace od = simdjson::ondemand;

// Thrown inside the fast decoder for anything it leaves to the general one.
struct NotSure {};

template <typename T, typename R> T take(R &&result)
{
    T value;
    if (std::forward<R>(result).get(value))
        throw NotSure{};
    return value;
}

// Reads the document in one pass, on demand: nothing of it is copied into a
// parsed tree first. Texts are taken straight from the document's bytes, so
// that the file, the parser's indexes and the records are all a load holds.
class Reader {
public:
    explicit Reader(const char *end) : m_end(end) {}

    static od::json_type typeOf(od::value &v) { return take<od::json_type>(v.type()); }

    static bool isNull(od::value &v)
    {
        if (typeOf(v) != od::json_type::null)
            return false;
        if (!take<bool>(v.is_null()))
            throw NotSure{};
        return true;
    }

    QString text(od::value &v)
    {
        const std::string_view raw = rawText(v);
        if (!m_escaped)
            return QString::fromUtf8(raw.data(), qsizetype(raw.size()));
        unescape(raw);
        return QString::fromUtf8(m_scratch.data(), qsizetype(m_scratch.size()));
    }

    CompactText compactText(od::value &v)
    {
        const std::string_view raw = rawText(v);
        if (!m_escaped)
            return CompactText::fromUtf8(raw);
        unescape(raw);
        return CompactText::fromUtf8(std::string_view(m_scratch));
    }

    QStringList strings(od::value &v)
    {
        QStringList out;
        for (auto element : take<od::array>(v.get_array())) {
            od::value e = take<od::value>(std::move(element));
            out.push_back(text(e));
        }
        return out;
    }

    // The short texts that repeat across items (kind, the collections an
    // item is in, labels, tags, site names) are made once per document and
    // shared by every item that holds them: each separate QString and list
    // is a heap block of its own, and in a large library these blocks take
    // more memory than the text they hold. Keys are the texts as written.
    QString sharedText(od::value &v)
    {
        const std::string_view raw = rawText(v);
        if (raw.size() > kLongest)
            return m_escaped ? (unescape(raw), QString::fromUtf8(m_scratch.data(), qsizetype(m_scratch.size())))
                             : QString::fromUtf8(raw.data(), qsizetype(raw.size()));
        return shared(raw, m_escaped);
    }

    QStringList sharedStrings(od::value &v)
    {
        // The key: each text as written after its length, so that no two
        // lists share one.
        m_key.clear();
        m_raws.clear();
        for (auto element : take<od::array>(v.get_array())) {
            od::value e = take<od::value>(std::move(element));
            const std::string_view raw = rawText(e);
            m_raws.emplace_back(raw, m_escaped);
            m_key += std::to_string(raw.size());
            m_key.push_back(':');
            m_key.append(raw.data(), raw.size());
        }
        if (const auto it = m_lists.find(m_key); it != m_lists.end())
            return it->second;
        QStringList out;
        out.reserve(qsizetype(m_raws.size()));
        for (const auto &[raw, escaped] : m_raws)
            out.push_back(raw.size() > kLongest ? unshared(raw, escaped) : shared(raw, escaped));
        if (m_lists.size() < kMostEntries && m_key.size() <= kLongestKey)
            m_lists.emplace(m_key, out);
        return out;
    }

    // Integers as the general decoder takes them: exact 64-bit values, and
    // whole doubles inside the range; anything else is its to judge.
    static qint64 integer(od::value &v)
    {
        if (typeOf(v) != od::json_type::number)
            throw NotSure{};
        od::number n = take<od::number>(v.get_number());
        switch (n.get_number_type()) {
        case od::number_type::signed_integer:
            return n.get_int64();
        case od::number_type::unsigned_integer: {
            const std::uint64_t u = n.get_uint64();
            if (u <= std::uint64_t(std::numeric_limits<qint64>::max()))
                return qint64(u);
            throw NotSure{};
        }
        case od::number_type::floating_point_number: {
            const double d = n.get_double();
            if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
                return qint64(d);
            throw NotSure{};
        }
        }
        throw NotSure{};
    }

    static double number(od::value &v)
    {
        if (typeOf(v) != od::json_type::number)
            throw NotSure{};
        od::number n = take<od::number>(v.get_number());
        switch (n.get_number_type()) {
        case od::number_type::signed_integer: return double(n.get_int64());
        case od::number_type::unsigned_integer: return double(n.get_uint64());
        case od::number_type::floating_point_number: {
            const double d = n.get_double();
            if (!std::isfinite(d))
                throw NotSure{};
            return d;
        }
        }
        throw NotSure{};
    }

    // A small record read through the general decoder, from its text as
    // written: the insight of a link and the smart folders are few and small.
    static nlohmann::json general(od::value &v)
    {
        if (typeOf(v) == od::json_type::object) {
            od::object o = take<od::object>(v.get_object());
            return nlohmann::json::parse(take<std::string_view>(o.raw_json()));
        }
        if (typeOf(v) == od::json_type::array) {
            od::array a = take<od::array>(v.get_array());
            return nlohmann::json::parse(take<std::string_view>(a.raw_json()));
        }
        throw NotSure{};
    }

    // A member's name as written; one with an escape is left to the general road.
    std::string_view key(od::field &field) const
    {
        const char *begin = field.key().raw();
        const char *end = static_cast<const char *>(std::memchr(begin, '"', size_t(m_end - begin)));
        if (!end)
            throw NotSure{};
        const std::string_view k(begin, size_t(end - begin));
        if (k.find('\\') != std::string_view::npos)
            throw NotSure{};
        return k;
    }

private:
    // The string as written between its quotes; sets m_escaped when it holds
    // an escape. A raw control character, which JSON does not allow, is the
    // general road's to refuse.
    std::string_view rawText(od::value &v)
    {
        if (typeOf(v) != od::json_type::string)
            throw NotSure{};
        const char *begin = take<od::raw_json_string>(v.get_raw_json_string()).raw();
        const char *p = begin;
        const char *end = nullptr;
        for (;;) {
            end = static_cast<const char *>(std::memchr(p, '"', size_t(m_end - p)));
            if (!end)
                throw NotSure{};
            const char *b = end;
            while (b > begin && b[-1] == '\\')
                --b;
            if ((end - b) % 2 == 0)
                break;
            p = end + 1;
        }
        const std::string_view raw(begin, size_t(end - begin));
        unsigned char low = 0;
        bool escaped = false;
        for (const char c : raw) {
            low |= static_cast<unsigned char>(c) < 0x20;
            escaped |= c == '\\';
        }
        if (low)
            throw NotSure{};
        m_escaped = escaped;
        return raw;
    }

    static unsigned hex4(const char *p)
    {
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = p[i];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= unsigned(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= unsigned(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= unsigned(c - 'A' + 10);
            else
                throw NotSure{};
        }
        return v;
    }

    // Into m_scratch, as UTF-8. An unpaired surrogate is the general road's
    // to refuse.
    void unescape(std::string_view raw)
    {
        m_scratch.clear();
        m_scratch.reserve(raw.size());
        const char *p = raw.data();
        const char *const end = p + raw.size();
        while (p < end) {
            const char *slash = static_cast<const char *>(std::memchr(p, '\\', size_t(end - p)));
            if (!slash) {
                m_scratch.append(p, size_t(end - p));
                break;
            }
            m_scratch.append(p, size_t(slash - p));
            if (end - slash < 2)
                throw NotSure{};
            p = slash + 2;
            switch (slash[1]) {
            case '"': m_scratch.push_back('"'); break;
            case '\\': m_scratch.push_back('\\'); break;
            case '/': m_scratch.push_back('/'); break;
            case 'b': m_scratch.push_back('\b'); break;
            case 'f': m_scratch.push_back('\f'); break;
            case 'n': m_scratch.push_back('\n'); break;
            case 'r': m_scratch.push_back('\r'); break;
            case 't': m_scratch.push_back('\t'); break;
            case 'u': {
                if (end - p < 4)
                    throw NotSure{};
                unsigned code = hex4(p);
                p += 4;
                if (code >= 0xDC00 && code <= 0xDFFF)
                    throw NotSure{};
                if (code >= 0xD800 && code <= 0xDBFF) {
                    if (end - p < 6 || p[0] != '\\' || p[1] != 'u')
                        throw NotSure{};
                    const unsigned low = hex4(p + 2);
                    if (low < 0xDC00 || low > 0xDFFF)
                        throw NotSure{};
                    p += 6;
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                appendUtf8(code);
                break;
            }
            default:
                throw NotSure{};
            }
        }
    }

    void appendUtf8(unsigned code)
    {
        if (code < 0x80) {
            m_scratch.push_back(char(code));
        } else if (code < 0x800) {
            m_scratch.push_back(char(0xC0 | (code >> 6)));
            m_scratch.push_back(char(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            m_scratch.push_back(char(0xE0 | (code >> 12)));
            m_scratch.push_back(char(0x80 | ((code >> 6) & 0x3F)));
            m_scratch.push_back(char(0x80 | (code & 0x3F)));
        } else {
            m_scratch.push_back(char(0xF0 | (code >> 18)));
            m_scratch.push_back(char(0x80 | ((code >> 12) & 0x3F)));
            m_scratch.push_back(char(0x80 | ((code >> 6) & 0x3F)));
            m_scratch.push_back(char(0x80 | (code & 0x3F)));
        }
    }

    QString unshared(std::string_view raw, bool escaped)
    {
        if (!escaped)
            return QString::fromUtf8(raw.data(), qsizetype(raw.size()));
        unescape(raw);
        return QString::fromUtf8(m_scratch.data(), qsizetype(m_scratch.size()));
    }

    // The keys are copies: the document's bytes may be given back before
    // this reader is done.
    QString shared(std::string_view raw, bool escaped)
    {
        if (const auto it = m_texts.find(raw); it != m_texts.end())
            return it->second;
        QString made = unshared(raw, escaped);
        if (m_texts.size() < kMostEntries)
            m_texts.emplace(std::string_view(m_keys.emplace_back(raw)), made);
        return made;
    }

    static constexpr size_t kLongest = 200;
    static constexpr size_t kLongestKey = 1000;
    static constexpr size_t kMostEntries = 50000;
    const char *m_end;
    bool m_escaped = false;
    std::string m_scratch;
    std::string m_key;
    std::vector<std::pair<std::string_view, bool>> m_raws;
    // Never moved once made, so the map's views of them stay good.
    std::deque<std::string> m_keys;
    std::unordered_map<std::string_view, QString> m_texts;
    std::unordered_map<std::string, QStringList> m_lists;
};

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

template <typename T, typename F> void optionalField(std::optional<T> &field, od::value &value, F read)
{
    if (Reader::isNull(value))
        field.reset();
    else
        field = read(value);
}

Item readItemFast(od::object object, const Path &path, Reader &r)
{
    auto text = [&r](od::value &v) { return r.text(v); };
    auto compactText = [&r](od::value &v) { return r.compactText(v); };
    auto strings = [&r](od::value &v) { return r.strings(v); };
    auto sharedText = [&r](od::value &v) { return r.sharedText(v); };
    auto sharedStrings = [&r](od::value &v) { return r.sharedStrings(v); };
    auto integer = [](od::value &v) { return Reader::integer(v); };
    auto number = [](od::value &v) { return Reader::number(v); };
    Item item;
    unsigned required = 0;
    for (auto member : object) {
        od::field field = take<od::field>(std::move(member));
        const ItemKey key = itemKey(r.key(field));
        od::value v = field.value();
        if (key <= ItemKey::CollectionIds) {
            if (Reader::isNull(v))
                throw NotSure{};
            required |= 1u << unsigned(key);
        }
        switch (key) {
        case ItemKey::Id: item.id = r.text(v); break;
        case ItemKey::Kind: item.kind = r.sharedText(v); break;
        case ItemKey::OriginalFilename: item.originalFilename = r.text(v); break;
        case ItemKey::StoredFilename: item.storedFilename = r.text(v); break;
        case ItemKey::ThumbnailFilename: item.thumbnailFilename = r.text(v); break;
        case ItemKey::PixelWidth: item.pixelWidth = Reader::integer(v); break;
        case ItemKey::PixelHeight: item.pixelHeight = Reader::integer(v); break;
        case ItemKey::ContentHash: item.contentHash = r.text(v); break;
        case ItemKey::DateAdded: item.dateAdded = Reader::number(v); break;
        case ItemKey::DateCreated: item.dateCreated = Reader::number(v); break;
        case ItemKey::CollectionIds: item.collectionIds = r.sharedStrings(v); break;
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
            if (Reader::isNull(v)) {
                item.insight.reset();
            } else {
                const Path p = path.member("insight");
                item.insight = readLinkInsight(Reader::general(v), p);
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

Board readBoardFast(od::value &value, Reader &r)
{
    auto text = [&r](od::value &v) { return r.text(v); };
    Board board;
    unsigned required = 0;
    for (auto member : take<od::object>(value.get_object())) {
        od::field field = take<od::field>(std::move(member));
        const std::string_view key = r.key(field);
        od::value v = field.value();
        if (key == "zone") {
            optionalField(board.zone, v, text);
            continue;
        }
        if (key == "zoneOwner") {
            optionalField(board.zoneOwner, v, text);
            continue;
        }
        if (Reader::isNull(v))
            throw NotSure{};
        if (key == "id") {
            board.id = r.text(v);
            required |= 1;
        } else if (key == "name") {
            board.name = r.text(v);
            required |= 2;
        } else if (key == "dateCreated") {
            board.dateCreated = Reader::number(v);
            required |= 4;
        } else if (key == "groups") {
            board.groups = r.strings(v);
            required |= 8;
        } else {
            throw NotSure{};
        }
    }
    if (required != 15)
        throw NotSure{};
    return board;
}

template <typename T, typename F> QList<T> records(od::value &value, F read)
{
    od::array array = take<od::array>(value.get_array());
    // Counting first walks only the parser's index; growing the list instead
    // would move every record already read, again and again.
    QList<T> out;
    out.reserve(qsizetype(take<size_t>(array.count_elements())));
    qsizetype i = 0;
    for (auto element : array) {
        od::value e = take<od::value>(std::move(element));
        if (Reader::isNull(e))
            throw NotSure{};
        out.push_back(read(e, i++));
    }
    return out;
}

// How much of the document a part reads before it gives those bytes back.
constexpr std::size_t kReleaseStep = std::size_t(4) << 20;

// The items, read on several threads at once. One pass over the parser's
// index finds where each item's text begins and ends; each part then parses
// its items on its own parser straight into the list's storage, so that the
// records' memory is first touched by as many threads as there are parts.
// With `give`, each part hands back the bytes of the items it has read: the
// parts' stretches of the document do not overlap, and nothing reads an
// item's text once its record is made.
QList<Item> readItems(od::value &value, const simdjson::padded_string_view &input, const Path &itemsPath,
                      DocumentBytes *give)
{
    od::array array = take<od::array>(value.get_array());
    std::vector<std::string_view> texts;
    texts.reserve(take<size_t>(array.count_elements()));
    for (auto element : array) {
        od::value e = take<od::value>(std::move(element));
        if (Reader::typeOf(e) != od::json_type::object)
            throw NotSure{};
        od::object o = take<od::object>(e.get_object());
        texts.push_back(take<std::string_view>(o.raw_json()));
    }
    if (texts.empty())
        return {};

    const char *const documentEnd = input.data() + input.size();
    const char *const bufferEnd = input.data() + input.capacity();
    return listInParts<Item>(texts.size(), partsFor(texts.size(), 1000),
                             [&](int, std::size_t first, std::size_t last, Item *cells, std::size_t &made) {
                                 od::parser parser;
                                 Reader r(documentEnd);
                                 const char *kept = first < last ? texts[first].data() : nullptr;
                                 const auto giveBack = [&](std::size_t upTo) {
                                     const std::string_view read = texts[upTo];
                                     kept = give->release(kept, read.data() + read.size());
                                 };
                                 for (std::size_t i = first; i < last; ++i, ++made) {
                                     const std::string_view text = texts[i];
                                     // The document's own padding lies beyond every item's end.
                                     const simdjson::padded_string_view view(text.data(), text.size(),
                                                                             size_t(bufferEnd - text.data()));
                                     od::document doc;
                                     if (parser.iterate(view).get(doc))
                                         throw NotSure{};
                                     new (cells + i) Item(readItemFast(take<od::object>(doc.get_object()),
                                                                       itemsPath.element(qsizetype(i)), r));
                                     if (give && text.data() + text.size() - kept >= std::ptrdiff_t(kReleaseStep))
                                         giveBack(i);
                                 }
                                 if (give && last > first)
                                     giveBack(last - 1);
                             });
}

void appendInteger(std::string &out, qint64 n)
{
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, res.ptr);
}

void appendText(std::string &out, const QString &s)
{
    // Names, ids and hashes are ASCII: narrowed in place of a conversion
    // that makes a new array for every member of every item.
    const char16_t *const units = reinterpret_cast<const char16_t *>(s.constData());
    const size_t length = size_t(s.size());
    char16_t seen = 0;
    for (size_t i = 0; i < length; ++i)
        seen |= units[i];
    if (seen < 0x80) {
        thread_local std::string ascii;
        ascii.resize(length);
        for (size_t i = 0; i < length; ++i)
            ascii[i] = char(units[i]);
        appendJSONString(out, ascii);
        return;
    }
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

namespace {

std::optional<LibraryFile> decodeFast(const simdjson::padded_string_view &input, DocumentBytes *give)
{
    try {
        od::parser parser;
        od::document doc;
        if (parser.iterate(input).get(doc))
            return std::nullopt;
        Reader r(input.data() + input.size());
        LibraryFile file;
        const Path top;
        unsigned required = 0;
        for (auto member : take<od::object>(doc.get_object())) {
            od::field field = take<od::field>(std::move(member));
            const std::string_view key = r.key(field);
            od::value v = field.value();
            if (key == "smartFolders") {
                if (Reader::isNull(v)) {
                    file.smartFolders.reset();
                } else {
                    const Path p = top.member("smartFolders");
                    file.smartFolders = toRecords<SmartFolder>(Reader::general(v), p, &readSmartFolder);
                }
                continue;
            }
            if (Reader::isNull(v))
                return std::nullopt;
            if (key == "collections") {
                file.collections = records<Board>(v, [&r](od::value &e, qsizetype) { return readBoardFast(e, r); });
                required |= 1;
            } else if (key == "items") {
                file.items = readItems(v, input, top.member("items"), give);
                required |= 2;
            } else if (key == "topLevelOrder") {
                file.topLevelOrder = r.strings(v);
                required |= 4;
            } else {
                return std::nullopt;
            }
        }
        // Anything after the top-level object is the general road's to refuse.
        const char *after = nullptr;
        if (!doc.current_location().get(after))
            return std::nullopt;
        if (required != 7)
            return std::nullopt;
        return file;
    } catch (const NotSure &) {
        return std::nullopt;
    } catch (const DecodingError &) {
        return std::nullopt;
    } catch (const nlohmann::json::exception &) {
        return std::nullopt;
    } catch (const simdjson::simdjson_error &) {
        return std::nullopt;
    }
}

std::size_t pageSize()
{
    static const std::size_t size = std::size_t(::sysconf(_SC_PAGESIZE));
    return size;
}

} // namespace

DocumentBytes::DocumentBytes(std::size_t size)
{
    const std::size_t page = pageSize();
    const std::size_t mapped = (size + simdjson::SIMDJSON_PADDING + page - 1) / page * page;
    void *memory = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return;
    // Filling hundreds of MB a small page at a time is most of a read's
    // cost; large pages where the system allows them cut the faults by the
    // hundreds. Giving bytes back still works: the kernel splits a large
    // page that is given back in part. Only a hint; without it, small pages.
    ::madvise(memory, mapped, MADV_HUGEPAGE);
    m_data = static_cast<char *>(memory);
    m_size = size;
    m_mapped = mapped;
}

DocumentBytes::~DocumentBytes()
{
    if (m_data)
        ::munmap(m_data, m_mapped);
}

const char *DocumentBytes::release(const char *from, const char *to)
{
    const std::uintptr_t page = pageSize();
    const std::uintptr_t begin = (std::uintptr_t(from) + page - 1) / page * page;
    const std::uintptr_t end = std::uintptr_t(to) / page * page;
    if (end <= begin)
        return from;
    // Anonymous private memory: the pages come back as zeros if read again.
    ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_DONTNEED);
    return reinterpret_cast<const char *>(end);
}

std::optional<LibraryFile> decodeLibraryFast(const QByteArray &json)
{
    // simdjson reads a little past the end; use the array's own spare room
    // when it has enough instead of copying a document of hundreds of MB.
    simdjson::padded_string copy;
    simdjson::padded_string_view input;
    if (json.capacity() - json.size() >= qsizetype(simdjson::SIMDJSON_PADDING)) {
        input = simdjson::padded_string_view(json.constData(), size_t(json.size()), size_t(json.capacity()));
    } else {
        copy = simdjson::padded_string(json.constData(), size_t(json.size()));
        input = copy;
    }
    return decodeFast(input, nullptr);
}

std::optional<LibraryFile> decodeLibraryFast(DocumentBytes &bytes)
{
    if (!bytes.isValid())
        return std::nullopt;
    return decodeFast(simdjson::padded_string_view(bytes.data(), bytes.size(), bytes.capacity()), &bytes);
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
