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
#include <cstddef>
#include <optional>
#include <string>

namespace vellora::coding {

// The bytes of a large document read for decoding, in memory of their own
// with the parser's read-ahead after them. The decoder gives each stretch
// back to the system once the records it holds are made: a large
// library.json and its records are then never resident in full together.
class DocumentBytes {
public:
    // Zeroed; not valid when the memory could not be had.
    explicit DocumentBytes(std::size_t size);
    ~DocumentBytes();
    DocumentBytes(const DocumentBytes &) = delete;
    DocumentBytes &operator=(const DocumentBytes &) = delete;

    bool isValid() const { return m_data != nullptr; }
    char *data() { return m_data; }
    const char *data() const { return m_data; }
    std::size_t size() const { return m_size; }
    // size() and the read-ahead, all of it readable.
    std::size_t capacity() const { return m_mapped; }

    // Gives back the whole pages inside [from, to), which read as zeros from
    // then on; the start of the first page not given back.
    const char *release(const char *from, const char *to);

private:
    char *m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_mapped = 0;
};

// The records of a document this road fully understands; nothing otherwise.
std::optional<LibraryFile> decodeLibraryFast(const QByteArray &json);

// The same for a document in `bytes`, which are given back as they are
// read: afterwards they no longer hold the document, whatever the outcome.
std::optional<LibraryFile> decodeLibraryFast(DocumentBytes &bytes);

// Appends one item's pretty, sorted form as it sits `depth` levels deep.
// Throws EncodingError, naming the member, for a number that is not finite.
void appendItemJSON(std::string &out, const Item &item, const Path &path, int depth);

} // namespace vellora::coding
