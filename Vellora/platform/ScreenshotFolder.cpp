#include "ScreenshotFolder.h"

#include "Defaults.h"

#include <QDir>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QStandardPaths>

namespace vellora {

QString screenshotFolder(const Defaults &defaults)
{
    return screenshotFolder(defaults.string(QString::fromLatin1(kScreenshotFolderKey)));
}

QString screenshotFolder(const QString &setting)
{
    const QString chosen = setting.trimmed();
    if (!chosen.isEmpty()) {
        if (chosen == QLatin1String("~"))
            return QDir::homePath();
        if (chosen.startsWith(QLatin1String("~/")))
            return QDir::cleanPath(QDir::homePath() + chosen.mid(1));
        return QDir::cleanPath(QFileInfo(chosen).absoluteFilePath());
    }
    // Qt reads the XDG user folders (user-dirs.dirs) as xdg-user-dir does.
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!pictures.isEmpty()) {
        const QString screenshots = QDir::cleanPath(pictures + QStringLiteral("/Screenshots"));
        if (QFileInfo(screenshots).isDir())
            return screenshots;
    }
    return QDir::cleanPath(desktop);
}

bool hasImageExtension(const QString &fileName)
{
    static const QMimeDatabase database;
    // By the name only: the content of a file still being judged is not read.
    const QList<QMimeType> types = database.mimeTypesForFileName(fileName);
    for (const QMimeType &type : types) {
        if (type.name().startsWith(QLatin1String("image/")))
            return true;
        const QStringList ancestors = type.allAncestors();
        for (const QString &ancestor : ancestors) {
            if (ancestor.startsWith(QLatin1String("image/")))
                return true;
        }
    }
    return false;
}

QSet<QString> imageFiles(const QString &folder)
{
    QSet<QString> files;
    if (folder.isEmpty())
        return files;
    QDir dir(folder);
    // Hidden entries are left out by not asking for them; a link could point
    // anywhere, so only plain files count.
    const QStringList names = dir.entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::NoSort);
    for (const QString &name : names) {
        if (name.startsWith(QLatin1Char('.')) || !hasImageExtension(name))
            continue;
        files.insert(dir.absoluteFilePath(name));
    }
    return files;
}

bool endsWhole(const QByteArray &bytes)
{
    qsizetype end = bytes.size();
    while (end > 0 && bytes.at(end - 1) == '\0')
        --end;
    const QByteArrayView body(bytes.constData(), end);
    if (bytes.startsWith("\xFF\xD8\xFF"))
        return body.endsWith("\xFF\xD9");
    if (bytes.startsWith("\x89PNG\r\n\x1A\n")) {
        static const char iend[] = "\0\0\0\0IEND\xAE\x42\x60\x82";
        return body.endsWith(QByteArrayView(iend, sizeof iend - 1));
    }
    return true;
}

} // namespace vellora
