#pragma once
// The two ways the library document's coding can fail. Both carry the place
// in the document where it happened ("items[3].dateAdded"), so a save that
// fails can say which field was at fault.

#include <QString>

#include <stdexcept>

namespace vellora {

class DecodingError : public std::runtime_error {
public:
    enum class Kind {
        DataCorrupted, // not JSON at all, or a value the record cannot take
        KeyNotFound,   // a required key is missing
        ValueNotFound, // a required value is null
        TypeMismatch,  // the JSON type is not the one the field needs
    };

    DecodingError(Kind kind, const QString &path, const QString &message);

    Kind kind() const { return m_kind; }
    // Where in the document, e.g. "items[2].insight.keyPoints"; empty at the top.
    QString path() const { return m_path; }
    // The error text alone; what() gives the same text.
    QString message() const { return m_message; }
    // "<path>: <message>", for logs.
    QString describe() const;

private:
    Kind m_kind;
    QString m_path;
    QString m_message;
};

class EncodingError : public std::runtime_error {
public:
    EncodingError(const QString &path, const QString &message);
    // The field that could not be written, e.g. "items[0].dateAdded".
    QString path() const { return m_path; }

private:
    QString m_path;
};

} // namespace vellora
