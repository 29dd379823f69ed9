#pragma once
// The fast road for library.json, the one document that grows with the
// library. Decoding parses with simdjson and fills the records directly;
// encoding writes each item's members straight into one buffer. Both give
// exactly what the general JSON road gives: the decoder hands every document
// it is not sure of (an unknown key, a null, a number it would have to
// round, a parse error) to the general decoder, which then produces the
// same records or the same error text.

#include "CodingSupport.h"
#include "LibraryFile.h"

#include <QByteArray>
#include <optional>
#include <string>

namespace vellora::coding {

// The records of a document this road fully understands; nothing otherwise.
std::optional<LibraryFile> decodeLibraryFast(const QByteArray &json);

// Appends one item's pretty, sorted form as it sits `depth` levels deep.
// Throws EncodingError, naming the member, for a number that is not finite.
void appendItemJSON(std::string &out, const Item &item, const Path &path, int depth);

} // namespace vellora::coding
