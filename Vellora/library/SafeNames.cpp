#include "SafeNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace vellora {

bool isSafePathComponent(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return name.toUtf8().size() <= 255;
}

std::optional<QString> libraryFilePath(const QString &root, const QString &folder, const QString &name)
{
    if (!isSafePathComponent(name))
        return std::nullopt;
    return root + QLatin1Char('/') + folder + QLatin1Char('/') + name;
}

bool removeLibraryFile(const QString &root, const QString &folder, const QString &name)
{
    const auto path = libraryFilePath(root, folder, name);
    if (!path)
        return false;
    const QFileInfo file(*path);
    if (!file.exists() && !file.isSymLink())
        return false;
    if (file.isDir() && !file.isSymLink())
        return false;
    // The folder holding it must resolve to a place inside the library.
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    const QString canonicalFolder = QFileInfo(file.absolutePath()).canonicalFilePath();
    if (canonicalRoot.isEmpty() || !canonicalFolder.startsWith(canonicalRoot + QLatin1Char('/')))
        return false;
    return QFile::remove(*path);
}

} // namespace vellora
