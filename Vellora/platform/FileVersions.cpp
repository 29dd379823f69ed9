#include "FileVersions.h"

#include "Clock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace vellora::FileVersions {

bool isConflictCopyName(const QString &name, const QString &candidate)
{
    const QFileInfo info(name);
    const QString stem = info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : QStringLiteral(".") + info.suffix();
    if (candidate == name || !candidate.endsWith(suffix))
        return false;
    const QString middle = candidate.mid(stem.size(), candidate.size() - stem.size() - suffix.size());
    if (!candidate.startsWith(stem) || middle.isEmpty())
        return false;
    if (middle.startsWith(QLatin1String(".sync-conflict-")))
        return true;
    return middle.startsWith(QLatin1String(" (")) && middle.endsWith(QLatin1Char(')'))
        && middle.contains(QLatin1String("conflicted copy"));
}

std::optional<double> modificationDate(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    const double unix = double(info.st_mtim.tv_sec) + double(info.st_mtim.tv_nsec) / 1e9;
    return unix - kReferenceDateOffset;
}

std::optional<FileVersion> current(const QString &path)
{
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    return FileVersion{path, modificationDate(path)};
}

QList<FileVersion> unresolvedConflicts(const QString &path)
{
    const QFileInfo info(path);
    QList<FileVersion> versions;
    const QStringList names = QDir(info.absolutePath()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString &name : names) {
        if (!isConflictCopyName(info.fileName(), name))
            continue;
        const QString copy = info.absolutePath() + QLatin1Char('/') + name;
        versions.append(FileVersion{copy, modificationDate(copy)});
    }
    return versions;
}

bool remove(const FileVersion &version)
{
    return QFile::remove(version.path);
}

} // namespace vellora::FileVersions
