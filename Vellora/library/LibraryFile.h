#pragma once
// The whole content of library.json.

#include "Board.h"
#include "CodingError.h"
#include "Item.h"
#include "SmartFolder.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellora {

struct LibraryFile {
    QList<Board> collections;
    QList<Item> items;
    // The ids of collections in order, as the save writes them.
    QStringList topLevelOrder;
    // Unset when the document has no "smartFolders" key; the store then
    // uses SmartFolder::defaults().
    std::optional<QList<SmartFolder>> smartFolders;

    // All or nothing: throws DecodingError at the first fault anywhere, and
    // nothing of the document is used.
    static LibraryFile decode(const QByteArray &json);
    static LibraryFile fromJSON(const nlohmann::json &json);

    // The exact written form: pretty-printed, keys sorted at every level,
    // unset fields left out. Throws EncodingError for a non-finite number.
    QByteArray encode() const;
    // The same text in the consecutive pieces that encodeInOrder() hands
    // over, for a caller that needs all of it at hand.
    std::vector<std::string> encodePieces() const;
    // The same text handed to `write` piece by piece, in order, while the
    // items are still being encoded on other threads. A failure of `write`
    // passes through once the encoding has stopped.
    void encodeInOrder(const std::function<void(std::string_view)> &write) const;
    nlohmann::ordered_json toJSON() const;
};

} // namespace vellora
