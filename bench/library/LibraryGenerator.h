#pragma once
// The library the benchmarks measure: `count` items shaped like a real
// library (about 2.7 KB per item in library.json, recognised text on most
// screenshots, one item in five a link with the text of its page), made the
// same way on every run.

#include "library/Records.h"

#include <QString>
#include <QStringList>

#include <array>

namespace benchlibrary {

using namespace vellora;

class Words {
public:
    explicit Words(quint64 seed) : m_state(seed * 0x9E3779B97F4A7C15ull + 1) {}

    quint32 next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return quint32(m_state >> 11);
    }
    int below(int n) { return int(next() % quint32(n)); }

    // Running text of about `chars` characters: sentences of common words,
    // now and then a word that is not ASCII, paragraphs on their own lines.
    QString text(int chars)
    {
        static const std::array<const char *, 96> words = {
            "the", "of", "and", "to", "a", "in", "for", "is", "on", "that", "by", "this", "with", "you", "it",
            "not", "or", "be", "are", "from", "at", "as", "your", "all", "have", "new", "more", "an", "was",
            "we", "will", "home", "can", "us", "about", "if", "page", "my", "has", "search", "free", "but",
            "our", "one", "other", "do", "no", "information", "time", "they", "site", "he", "up", "may", "what",
            "which", "their", "news", "out", "use", "any", "there", "see", "only", "so", "his", "when",
            "contact", "here", "business", "who", "web", "also", "now", "help", "get", "view", "online",
            "first", "been", "would", "how", "were", "me", "services", "some", "these", "click", "its", "like",
            "service", "design", "typography", "layout", "colour", "interface"};
        static const std::array<const char *, 8> foreign = {"café", "naïve", "façade", "über", "résumé",
                                                           "Zürich", "crème", "–"};
        QString out;
        out.reserve(chars + 16);
        int sentence = 0;
        while (out.size() < chars) {
            const char *word = below(40) == 0 ? foreign[size_t(below(int(foreign.size())))]
                                               : words[size_t(below(int(words.size())))];
            QString w = QString::fromUtf8(word);
            if (sentence == 0 && !w.isEmpty())
                w[0] = w[0].toUpper();
            out += w;
            if (++sentence > 6 + below(10)) {
                sentence = 0;
                out += below(5) == 0 ? QStringLiteral(".\n") : QStringLiteral(". ");
            } else {
                out += below(12) == 0 ? QStringLiteral(", ") : QStringLiteral(" ");
            }
        }
        out.truncate(chars);
        return out;
    }

    QString hexColour()
    {
        return QStringLiteral("#%1").arg(next() & 0xffffff, 6, 16, QLatin1Char('0'));
    }

private:
    quint64 m_state;
};

inline QStringList pick(Words &w, const QStringList &from, int count)
{
    QStringList out;
    while (out.size() < count) {
        const QString &s = from[w.below(int(from.size()))];
        if (!out.contains(s))
            out << s;
    }
    return out;
}

inline LibraryFile makeLibrary(int count)
{
    static const QStringList labels = {"screenshot", "text", "web site", "document", "poster", "chair",
                                       "furniture", "interior", "outdoor", "sky", "building", "person",
                                       "food", "plant", "logo", "illustration", "pattern", "typography",
                                       "map", "chart", "table", "phone", "laptop", "car", "animal"};
    static const QStringList tags = {"design", "inspiration", "ui", "web", "print", "colour", "type", "layout",
                                     "mobile", "branding", "ideas", "reference", "moodboard", "icons",
                                     "photography", "architecture", "later", "work", "home", "kitchen"};
    LibraryFile file;
    for (int b = 0; b < 8; ++b) {
        Board board;
        board.id = QStringLiteral("B0000000-0000-4000-8000-00000000000%1").arg(b);
        board.name = QStringLiteral("Collection %1").arg(b);
        board.dateCreated = 786000000.0 + b;
        file.collections << board;
        file.topLevelOrder << board.id;
    }
    file.items.reserve(count);
    for (int i = 0; i < count; ++i) {
        Words w(quint64(i) + 1);
        Item item;
        item.id = QStringLiteral("%1-%2-4%3-8%4-%5")
                      .arg(w.next(), 8, 16, QLatin1Char('0'))
                      .arg(w.next() & 0xffff, 4, 16, QLatin1Char('0'))
                      .arg(w.next() & 0xfff, 3, 16, QLatin1Char('0'))
                      .arg(w.next() & 0xfff, 3, 16, QLatin1Char('0'))
                      .arg(quint64(w.next()) << 16 | (w.next() & 0xffff), 12, 16, QLatin1Char('0'))
                      .toUpper();
        const bool link = i % 5 == 0;
        item.kind = link ? QStringLiteral("link") : QStringLiteral("image");
        item.originalFilename = link ? QStringLiteral("www.example%1.com").arg(i % 97)
                                     : QStringLiteral("Screenshot 2026-03-%1 at %2.%3.%4.png")
                                           .arg(1 + i % 28, 2, 10, QLatin1Char('0'))
                                           .arg(i % 24, 2, 10, QLatin1Char('0'))
                                           .arg(i % 60, 2, 10, QLatin1Char('0'))
                                           .arg((i / 60) % 60, 2, 10, QLatin1Char('0'));
        item.storedFilename = item.id + QStringLiteral(".png");
        item.thumbnailFilename = item.id + QStringLiteral(".jpg");
        item.pixelWidth = 1440 + w.below(1500);
        item.pixelHeight = 900 + w.below(900);
        QString hash;
        for (int k = 0; k < 8; ++k)
            hash += QStringLiteral("%1").arg(w.next(), 8, 16, QLatin1Char('0'));
        item.contentHash = hash;
        item.dateAdded = 786000000.0 + i * 37.125 + w.below(1000) / 1000.0;
        item.dateCreated = 786000000.0 + i * 11.5;
        item.collectionIds = {file.collections[i % 8].id};
        if (w.below(4) == 0)
            item.collectionIds << file.collections[(i + 3) % 8].id;
        item.labels = pick(w, labels, 2 + w.below(4));
        item.tags = pick(w, tags, 1 + w.below(4));
        QStringList palette;
        for (int k = 0; k < 5; ++k)
            palette << w.hexColour();
        item.palette = palette;
        item.fileSize = 80000 + w.below(3000000);
        if (link) {
            item.sourceURL = QStringLiteral("https://www.example%1.com/articles/%2/%3?ref=home")
                                 .arg(i % 97)
                                 .arg(2020 + i % 7)
                                 .arg(w.text(40).toLower().replace(QLatin1Char(' '), QLatin1Char('-')));
            item.title = w.text(50 + w.below(30));
            item.siteName = QStringLiteral("Example %1").arg(i % 97);
            item.summary = w.text(140 + w.below(80));
            item.faviconFilename = item.id + QStringLiteral(".png");
            item.snapshotDate = item.dateAdded + 2.5;
            // Pages are cut to 6000 characters when they are taken.
            item.pageText = w.text(3000 + w.below(3001));
            LinkInsight insight;
            insight.summary = w.text(120 + w.below(80));
            insight.keyPoints = {w.text(60), w.text(70), w.text(50)};
            insight.category = QStringLiteral("article");
            insight.entities.author = QStringLiteral("Ann Author");
            insight.suggestedTags = pick(w, tags, 3);
            item.insight = insight;
            if (w.below(3) == 0) {
                item.openCount = 1 + w.below(9);
                item.lastOpenedAt = item.dateAdded + 3600.0;
            }
        } else {
            // Screenshots carry their recognised text; other pictures the
            // empty text that marks them as read.
            item.ocrText = w.below(10) < 7 ? w.text(400 + w.below(1000)) : QString();
        }
        file.items << item;
    }
    file.smartFolders = SmartFolder::defaults();
    return file;
}


} // namespace benchlibrary
