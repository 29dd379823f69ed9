#pragma once
// A long text of a record (recognised text, page text) held as UTF-8.
//
// These texts are most of a library's size, are mostly ASCII and are read
// rarely (search, the inspector, a prompt): as QString each would take twice
// its size in library.json, as UTF-8 it takes its size, and the bytes read
// from the document are kept as they are. The QString is made when asked for.
// Copies share the bytes, like QString.

#include <QByteArray>
#include <QString>
#include <QStringDecoder>
#include <QStringView>
#include <QUtf8StringView>

#include <string>
#include <string_view>

namespace vellora {

class CompactText {
public:
    CompactText() = default;
    // Implicit, so that code written for QString fields keeps assigning
    // QStrings. Unpaired surrogates, which no library.json can hold, become
    // U+FFFD as in every save.
    CompactText(const QString &text) : m_utf8(text.toUtf8()) {}
    CompactText(QStringView text) : m_utf8(text.toUtf8()) {}
    // UTF-8, as string literals in this code base are.
    CompactText(const char *utf8) : m_utf8(utf8) {}

    // Takes `utf8` as it is; the caller vouches that it is valid UTF-8.
    static CompactText fromUtf8(const QByteArray &utf8)
    {
        CompactText t;
        t.m_utf8 = utf8;
        return t;
    }
    static CompactText fromUtf8(std::string_view utf8)
    {
        return fromUtf8(QByteArray(utf8.data(), qsizetype(utf8.size())));
    }

    QString toString() const
    {
        // QString::fromUtf8() drops a byte order mark at the start; here it
        // is the text's first character and stays.
        if (m_utf8.startsWith("\xEF\xBB\xBF")) {
            QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless
                                                              | QStringConverter::Flag::ConvertInitialBom);
            return decoder.decode(m_utf8);
        }
        return QString::fromUtf8(m_utf8);
    }
    operator QString() const { return toString(); }
    std::string toStdString() const { return std::string(m_utf8.constData(), size_t(m_utf8.size())); }

    const QByteArray &utf8() const { return m_utf8; }
    std::string_view utf8View() const { return {m_utf8.constData(), size_t(m_utf8.size())}; }

    bool isEmpty() const { return m_utf8.isEmpty(); }
    // Whether both hold the very same bytes in memory (not just equal ones).
    bool isSharedWith(const CompactText &other) const
    {
        return m_utf8.constData() == other.m_utf8.constData() && m_utf8.size() == other.m_utf8.size();
    }

    // The QString calls made on these texts.
    QString trimmed() const { return toString().trimmed(); }
    bool contains(const QString &s, Qt::CaseSensitivity cs = Qt::CaseSensitive) const
    {
        return toString().contains(s, cs);
    }
    bool startsWith(const QString &s, Qt::CaseSensitivity cs = Qt::CaseSensitive) const
    {
        return toString().startsWith(s, cs);
    }

    // Equal UTF-8 is equal text.
    friend bool operator==(const CompactText &a, const CompactText &b) { return a.m_utf8 == b.m_utf8; }
    friend bool operator!=(const CompactText &a, const CompactText &b) { return !(a == b); }
    friend bool operator==(const CompactText &a, const QString &b)
    {
        return QtPrivate::compareStrings(QUtf8StringView(a.m_utf8), QStringView(b)) == 0;
    }
    friend bool operator==(const QString &a, const CompactText &b) { return b == a; }
    friend bool operator!=(const CompactText &a, const QString &b) { return !(a == b); }
    friend bool operator!=(const QString &a, const CompactText &b) { return !(b == a); }

private:
    QByteArray m_utf8;
};

} // namespace vellora
