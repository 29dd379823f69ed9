#include "UnlistedFiles.h"

#include "platform/AtomicFile.h"
#include "platform/Clock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <sys/stat.h>

namespace vellora {

namespace {

// Reference seconds of the later of mtime and ctime; nothing for a non-file.
std::optional<double> arrivalOf(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    const auto seconds = [](const timespec &t) { return double(t.tv_sec) + double(t.tv_nsec) / 1e9; };
    return std::max(seconds(info.st_mtim), seconds(info.st_ctim)) - kReferenceDateOffset;
}

} // namespace

ListedNames listedNames(const QList<Item> &items)
{
    ListedNames names;
    for (const Item &item : items) {
        names.originals.insert(item.storedFilename);
        names.thumbnails.insert(item.thumbnailFilename);
        if (item.faviconFilename)
            names.favicons.insert(*item.faviconFilename);
    }
    return names;
}

UnlistedSweep sweepUnlistedFiles(const QString &root, const ListedNames &listed, double now)
{
    UnlistedSweep sweep;
    const QString day = dateFromReferenceSeconds(now).toUTC().toString(QStringLiteral("yyyy-MM-dd"));
    const QString target = root + QStringLiteral("/backups/unlisted-") + day;
    const struct {
        const char *folder;
        const QSet<QString> *names;
    } folders[] = {{"originals", &listed.originals},
                   {"thumbnails", &listed.thumbnails},
                   {"covers", &listed.thumbnails},
                   {"favicons", &listed.favicons}};
    for (const auto &entry : folders) {
        const QString folder = root + QLatin1Char('/') + QLatin1String(entry.folder);
        const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
        for (const QString &name : names) {
            if (entry.names->contains(name))
                continue;
            const QString path = folder + QLatin1Char('/') + name;
            const auto arrived = arrivalOf(path);
            if (!arrived || now - *arrived < kUnlistedMinimumAge)
                continue;
            if (isAbandonedTemporaryName(name)) {
                if (QFile::remove(path))
                    ++sweep.temporaries;
                continue;
            }
            const QString into = target + QLatin1Char('/') + QLatin1String(entry.folder);
            if (!QDir().mkpath(into))
                continue;
            QString destination = into + QLatin1Char('/') + name;
            for (int n = 2; QFileInfo::exists(destination) && n < 1000; ++n)
                destination = into + QLatin1Char('/') + QString::number(n) + QLatin1Char('-') + name;
            if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(destination).constData()) == 0) {
                ++sweep.moved;
                sweep.folder = target;
            }
        }
    }
    return sweep;
}

} // namespace vellora
