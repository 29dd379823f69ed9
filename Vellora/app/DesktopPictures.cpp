#include "DesktopPictures.h"

#include "platform/ImageIO.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace vellora {

namespace {

// Plain code-point order, the same on every machine and in every locale.
QStringList sortedEntries(const QString &folder, QDir::Filters filters)
{
    QStringList names = QDir(folder).entryList(filters | QDir::NoDotAndDotDot, QDir::NoSort);
    std::sort(names.begin(), names.end());
    QStringList paths;
    paths.reserve(names.size());
    for (const QString &name : names)
        paths.append(QDir(folder).filePath(name));
    return paths;
}

QStringList subfolders(const QString &folder)
{
    return sortedEntries(folder, QDir::Dirs);
}

} // namespace

QStringList desktopPictureFolders(const QString &backgrounds, const QString &wallpapers)
{
    QStringList folders;
    if (QFileInfo(backgrounds).isDir()) {
        folders.append(backgrounds);
        const QStringList second = subfolders(backgrounds);
        folders += second;
        for (const QString &folder : second)
            folders += subfolders(folder);
    }
    if (QFileInfo(wallpapers).isDir())
        folders.append(wallpapers);
    return folders;
}

bool isDesktopPicture(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return false;
    const QString extension = info.suffix().toLower();
    if (extension == QLatin1String("jpg") || extension == QLatin1String("png"))
        return true;
    // HEIC decoding depends on the decoder plugins installed beside libheif.
    if (extension == QLatin1String("heic"))
        return !downsampledImage(path, 64).isNull();
    return false;
}

QStringList picturesIn(const QString &folder)
{
    QStringList pictures;
    for (const QString &path : sortedEntries(folder, QDir::Files))
        if (isDesktopPicture(path))
            pictures.append(path);
    return pictures;
}

QStringList desktopPictures(const QStringList &folders, int count)
{
    for (const QString &folder : folders) {
        const QStringList pictures = picturesIn(folder);
        if (pictures.size() >= count)
            return pictures.mid(0, count);
    }
    return {};
}

} // namespace vellora
