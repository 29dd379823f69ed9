#include "JsonWriter.h"

#include "CodingSupport.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace vellora {

namespace {

bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\' || c == '/'; }

// The length of the run at the start of [p, end) that needs no escape.
size_t plainRun(const char *p, const char *const end)
{
    const char *const start = p;
#ifdef __SSE2__
    // Sixteen bytes at a time: long texts (recognised and page text) are
    // most of a large library's bytes, and nearly none of them need escaping.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i control = _mm_set1_epi8(0x1F);
    while (end - p >= 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i special = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)),
            _mm_or_si128(_mm_cmpeq_epi8(chunk, slash), _mm_cmpeq_epi8(_mm_max_epu8(chunk, control), control)));
        const int mask = _mm_movemask_epi8(special);
        if (mask != 0)
            return size_t(p - start) + size_t(__builtin_ctz(unsigned(mask)));
        p += 16;
    }
#endif
    while (p < end && !needsEscape(static_cast<unsigned char>(*p)))
        ++p;
    return size_t(p - start);
}

void appendString(std::string &out, std::string_view s)
{
    static const char hex[] = "0123456789abcdef";
    out.push_back('"');
    const char *p = s.data();
    const char *const end = p + s.size();
    while (p < end) {
        const size_t run = plainRun(p, end);
        out.append(p, run);
        p += run;
        if (p == end)
            break;
        const unsigned char c = static_cast<unsigned char>(*p++);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += "\\/"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xf]);
        }
    }
    out.push_back('"');
}

void appendDouble(std::string &out, double d)
{
    char buf[64];
    // Plain digits for the everyday range (times, tolerances), exponent form
    // only where plain digits would run long; both are the shortest text
    // that reads back to the same double.
    const double mag = std::fabs(d);
    const bool plain = mag == 0.0 || (mag >= 1e-6 && mag < 1e21);
    const auto res = plain ? std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed)
                           : std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    out.append(buf, res.ptr);
}

template <typename Json>
class Writer {
public:
    explicit Writer(JsonStyle style) : m_pretty(style == JsonStyle::PrettySorted) {}

    void value(const Json &v, const coding::Path &path, int depth)
    {
        switch (v.type()) {
        case nlohmann::json::value_t::object: object(v, path, depth); break;
        case nlohmann::json::value_t::array: array(v, path, depth); break;
        case nlohmann::json::value_t::string: appendString(out, v.template get_ref<const std::string &>()); break;
        case nlohmann::json::value_t::boolean: out += v.template get<bool>() ? "true" : "false"; break;
        case nlohmann::json::value_t::number_integer: integer(v.template get<std::int64_t>()); break;
        case nlohmann::json::value_t::number_unsigned: integer(v.template get<std::uint64_t>()); break;
        case nlohmann::json::value_t::number_float: {
            const double d = v.template get<double>();
            coding::appendJSONDouble(out, d, path);
            break;
        }
        case nlohmann::json::value_t::null: out += "null"; break;
        default: throw EncodingError(path.text(), QStringLiteral("value has no JSON form"));
        }
    }

    std::string out;

private:
    template <typename T> void integer(T n)
    {
        char buf[32];
        const auto res = std::to_chars(buf, buf + sizeof buf, n);
        out.append(buf, res.ptr);
    }

    void newline(int depth)
    {
        out.push_back('\n');
        out.append(std::size_t(depth) * 2, ' ');
    }

    void object(const Json &v, const coding::Path &path, int depth)
    {
        if (v.empty()) {
            out += "{}";
            return;
        }
        std::vector<std::pair<const std::string *, const Json *>> members;
        members.reserve(v.size());
        for (auto it = v.begin(); it != v.end(); ++it)
            members.emplace_back(&it.key(), &it.value());
        if (m_pretty)
            std::stable_sort(members.begin(), members.end(),
                             [](const auto &a, const auto &b) { return *a.first < *b.first; });
        out.push_back('{');
        bool first = true;
        for (const auto &[key, member] : members) {
            if (!first)
                out.push_back(',');
            first = false;
            if (m_pretty)
                newline(depth + 1);
            appendString(out, *key);
            out += m_pretty ? " : " : ":";
            const coding::Path p = path.member(key->c_str());
            value(*member, p, depth + 1);
        }
        if (m_pretty)
            newline(depth);
        out.push_back('}');
    }

    void array(const Json &v, const coding::Path &path, int depth)
    {
        if (v.empty()) {
            out += "[]";
            return;
        }
        out.push_back('[');
        qsizetype i = 0;
        for (const auto &element : v) {
            if (i)
                out.push_back(',');
            if (m_pretty)
                newline(depth + 1);
            const coding::Path p = path.element(i++);
            value(element, p, depth + 1);
        }
        if (m_pretty)
            newline(depth);
        out.push_back(']');
    }

    bool m_pretty;
};

template <typename Json> QByteArray write(const Json &value, JsonStyle style)
{
    Writer<Json> w(style);
    w.out.reserve(4096);
    const coding::Path root;
    w.value(value, root, 0);
    return QByteArray(w.out.data(), qsizetype(w.out.size()));
}

} // namespace

namespace coding {
void appendJSONString(std::string &out, std::string_view text) { appendString(out, text); }

void appendJSONDouble(std::string &out, double d, const Path &path)
{
    if (!std::isfinite(d))
        throw EncodingError(path.text(), QStringLiteral("%1 is not a finite number and cannot be written")
                                             .arg(std::isnan(d) ? QStringLiteral("nan") : d > 0 ? QStringLiteral("inf") : QStringLiteral("-inf")));
    appendDouble(out, d);
}

void appendPrettyJSON(std::string &out, const nlohmann::ordered_json &value, const Path &path, int depth)
{
    Writer<nlohmann::ordered_json> w(JsonStyle::PrettySorted);
    w.out.swap(out);
    w.value(value, path, depth);
    w.out.swap(out);
}
} // namespace coding

QByteArray writeJSON(const nlohmann::ordered_json &value, JsonStyle style) { return write(value, style); }
QByteArray writeJSON(const nlohmann::json &value, JsonStyle style) { return write(value, style); }

} // namespace vellora
