#pragma once
// Our own JSON writer, so the written form of library.json never depends on
// a library's formatting defaults: keys sorted by their UTF-8 bytes when
// asked, forward slashes escaped, integers exact, floating-point numbers in
// the shortest form that reads back to the same value.

#include <QByteArray>

#include <nlohmann/json_fwd.hpp>

namespace vellora {

enum class JsonStyle {
    // No whitespace at all, members in the order they were added.
    Compact,
    // One member per line, two spaces per level, "key" : value, members in
    // ascending key order at every level.
    PrettySorted,
};

// Throws EncodingError, naming the member, for a number that is not finite.
QByteArray writeJSON(const nlohmann::ordered_json &value, JsonStyle style);
QByteArray writeJSON(const nlohmann::json &value, JsonStyle style);

} // namespace vellora
