#pragma once
// The labelled real pictures under tests/data/labelled/: thumbnails of
// pictures from Debian packages (see manifest.tsv for each one's package and
// licence), each with the labels a person gives it. Read by the label
// precision test and bench/enrichment/bench_labelprecision.

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace fixtures {

inline const QStringList kDetectorLabels{QStringLiteral("face"), QStringLiteral("person"), QStringLiteral("cat")};

struct LabelledPicture {
    QString file;   // path of the thumbnail
    QSet<QString> labels;
};

inline QString labelledFolder()
{
    return QStringLiteral(VELLORA_SOURCE_DIR "/tests/data/labelled");
}

// Every row of the manifest: "file<TAB>labels<TAB>package<TAB>licence<TAB>path",
// labels comma-separated or "-" for none. Empty when it cannot be read.
inline QList<LabelledPicture> labelledPictures()
{
    QFile manifest(labelledFolder() + QStringLiteral("/manifest.tsv"));
    if (!manifest.open(QIODevice::ReadOnly))
        return {};
    QList<LabelledPicture> out;
    for (const QByteArray &raw : manifest.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const QStringList fields = line.split(u'\t');
        if (fields.size() < 4)
            continue;
        LabelledPicture picture{labelledFolder() + u'/' + fields[0], {}};
        if (fields[1] != QStringLiteral("-"))
            for (const QString &label : fields[1].split(u','))
                picture.labels.insert(label.trimmed());
        out << picture;
    }
    return out;
}

inline QImage readLabelled(const LabelledPicture &picture)
{
    QImageReader reader(picture.file);
    return reader.read();
}

// Labels given and how many of them are right, per label.
struct LabelScore {
    int shown = 0; // pictures that show it
    int given = 0;
    int right = 0;
    double precision() const { return given ? double(right) / given : 1.0; }
    double recall() const { return shown ? double(right) / shown : 1.0; }
};

} // namespace fixtures
