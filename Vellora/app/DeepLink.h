#pragma once
// The vellora: addresses that the widget, other programs and a second start
// hand to the window: "vellora://item/<id>", "vellora://board/<id>",
// "vellora://add?url=<address>" and "vellora://search?q=<words>" (the
// desktop's search asking for the window's search with its words). Parsed by hand: the scheme and the host are
// compared exactly, case included, and QUrl would lower-case the host. Pure.

#include <QString>

#include <optional>

namespace vellora {

struct DeepLink {
    enum class Kind { Item, Board, Add, Search };
    Kind kind = Kind::Item;
    // The item or section id (Item, Board).
    QString id;
    // The first "url" query item's value (Add), or "q" (Search),
    // percent-decoded; none when the address has no query, no such item, or
    // an item without a value.
    std::optional<QString> url;
    bool operator==(const DeepLink &) const = default;
};

// None for another scheme, no host, a host other than "item", "board",
// "add" and "search", or an item or board id that is not one plain name (an id is used as
// a file name further on, so "..", "a/b" or an empty id never gets through).
std::optional<DeepLink> parseDeepLink(const QString &address);

} // namespace vellora
