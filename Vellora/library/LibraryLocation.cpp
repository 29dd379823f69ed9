#include "LibraryLocation.h"

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/FileCoordination.h"
#include "platform/Places.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <vector>

namespace vellora {

namespace {

struct Folders {
    QString local;
    std::optional<QString> container;
    QString drive;
};

std::mutex g_mutex;
std::optional<Folders> g_folders;
std::function<void(const QString &)> g_moveHook;

Folders folders()
{
    std::lock_guard lock(g_mutex);
    if (!g_folders) {
        Folders f;
        f.local = QDir::cleanPath(applicationSupportFolder());
        if (const auto container = CloudPlaces::container(QString::fromLatin1(LibraryLocation::kContainerIdentifier)))
            f.container = QDir::cleanPath(*container + QStringLiteral("/Data"));
        // Without a synced folder there is no cloud drive: a folder in the
        // home directory would only pass for one.
        if (CloudPlaces::syncedFolder())
            f.drive = QDir::cleanPath(CloudPlaces::drive() + QStringLiteral("/Vellora.library"));
        g_folders = f;
    }
    return *g_folders;
}

QString same(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool existsAt(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

[[noreturn]] void throwErrno(const QString &what, int code)
{
    throw FileError(QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(code))), code);
}

// Copies a file or a whole folder tree; false on the first failure.
bool copyTree(const QString &from, const QString &to)
{
    const QFileInfo info(from);
    if (info.isSymLink())
        return QFile::link(info.symLinkTarget(), to);
    if (!info.isDir())
        return QFile::copy(from, to);
    if (!QDir().mkdir(to))
        return false;
    const QStringList names = QDir(from).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (!copyTree(from + QLatin1Char('/') + name, to + QLatin1Char('/') + name))
            return false;
    }
    return true;
}

void removeTree(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

// A rename, or a copy and delete when the two sides are on different filesystems.
void moveEntry(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return;
    const int code = errno;
    if (code != EXDEV)
        throwErrno(QStringLiteral("cannot move %1").arg(QFileInfo(from).fileName()), code);
    const QFileInfo target(to);
    const QString staging = target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".moving");
    removeTree(staging);
    if (!copyTree(from, staging)) {
        removeTree(staging);
        throw FileError(QStringLiteral("cannot copy %1").arg(QFileInfo(from).fileName()), EIO);
    }
    if (::rename(QFile::encodeName(staging).constData(), QFile::encodeName(to).constData()) != 0) {
        const int renameCode = errno;
        removeTree(staging);
        throwErrno(QStringLiteral("cannot move %1").arg(QFileInfo(from).fileName()), renameCode);
    }
    removeTree(from);
}

qint64 unixSeconds()
{
    return qint64(now() + kReferenceDateOffset);
}

struct MovedEntry {
    QString source;
    QString destination;
    std::optional<QString> setAside; // what stood at the destination before
    bool removedEmptyFolder = false;
};

// Puts everything back, newest first. Best effort: a step that fails leaves
// that entry where it is and the others are still tried.
void rollBack(const std::vector<MovedEntry> &entries)
{
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (existsAt(it->destination) && !existsAt(it->source)) {
            try {
                moveEntry(it->destination, it->source);
            } catch (const FileError &) {
                continue;
            }
        }
        if (it->setAside && !existsAt(it->destination))
            ::rename(QFile::encodeName(*it->setAside).constData(), QFile::encodeName(it->destination).constData());
        else if (it->removedEmptyFolder && !existsAt(it->destination))
            QDir().mkdir(it->destination);
    }
}

} // namespace

QStringList LibraryLocation::movedEntries()
{
    return {QStringLiteral("library.json"), QStringLiteral("originals"), QStringLiteral("thumbnails"),
            QStringLiteral("covers"), QStringLiteral("favicons")};
}

QString LibraryLocation::root()
{
    const QByteArray override = qgetenv("VELLORA_ROOT");
    if (!override.isEmpty())
        return same(QFile::decodeName(override));
    const QString location = Defaults::standard().string(QString::fromLatin1(kLocationKey), QStringLiteral("local"));
    if (const auto folder = url(location))
        return *folder;
    return localURL();
}

std::optional<QString> LibraryLocation::url(const QString &location)
{
    const Folders f = folders();
    if (location == QLatin1String("icloud"))
        return f.container;
    if (location == QLatin1String("iclouddrive"))
        return f.drive.isEmpty() ? std::nullopt : std::optional<QString>(f.drive);
    return f.local;
}

bool LibraryLocation::isICloud(const QString &folder)
{
    const Folders f = folders();
    const QString path = same(folder);
    return (f.container && path == *f.container) || (!f.drive.isEmpty() && path == f.drive);
}

bool LibraryLocation::iCloudAvailable()
{
    return folders().container.has_value();
}

std::optional<QString> LibraryLocation::iCloudContainerURL()
{
    return folders().container;
}

QString LibraryLocation::iCloudDriveURL()
{
    return folders().drive;
}

QString LibraryLocation::localURL()
{
    return folders().local;
}

int LibraryLocation::itemCount(const QString &path)
{
    const QFileInfo info(path);
    if (!existsAt(path))
        return 0;
    if (!info.isDir())
        return 1;
    QDir dir(path);
    if (!dir.isReadable())
        return 0;
    return int(dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size());
}

LibraryLocation::MigrationResult LibraryLocation::migrate(const QString &location, const Progress &progress)
{
    const auto target = url(location);
    if (!target)
        throw FileError(QString::fromLatin1(kICloudUnavailable));
    const QString current = root();
    if (same(current) == same(*target)) {
        MigrationResult result;
        result.reusedExisting = true;
        return result;
    }
    const Folders f = folders();
    QString backupName;
    if (same(current) == f.local)
        backupName = QStringLiteral("Vellora.local-backup");
    else if (!f.drive.isEmpty() && same(current) == f.drive)
        backupName = QStringLiteral("Vellora.library.migrated-backup");
    else
        backupName = QFileInfo(same(current)).fileName() + QStringLiteral(".backup");

    const Progress report = progress ? progress : Progress([](const QString &line) { printLine(line); });
    MigrationResult result = moveContents(current, *target, backupName, report);
    if (result.backup && !f.drive.isEmpty() && same(current) == f.drive)
        setHidden(*result.backup);
    Defaults::standard().set(QString::fromLatin1(kLocationKey), location);
    return result;
}

LibraryLocation::MigrationResult LibraryLocation::moveContents(const QString &from, const QString &to,
                                                               const QString &backupName, const Progress &progress)
{
    MigrationResult result;
    const QString old = same(from);
    const QString target = same(to);
    if (QFileInfo(target + QStringLiteral("/library.json")).isFile()) {
        result.reusedExisting = true;
        return result;
    }
    if (!QDir().mkpath(target))
        throw FileError(QStringLiteral("cannot create %1").arg(target));

    std::vector<MovedEntry> done;
    std::optional<MovedEntry> inFlight;
    try {
        for (const QString &name : movedEntries()) {
            MovedEntry entry{old + QLatin1Char('/') + name, target + QLatin1Char('/') + name, std::nullopt, false};
            if (!existsAt(entry.source))
                continue;
            if (progress)
                progress(QStringLiteral("Moving ") + name + QChar(0x2026));
            const int count = itemCount(entry.source);
            inFlight = entry;
            if (existsAt(entry.destination)) {
                const QFileInfo existing(entry.destination);
                if (existing.isDir() && !existing.isSymLink() && itemCount(entry.destination) == 0) {
                    if (!QDir().rmdir(entry.destination))
                        throwErrno(QStringLiteral("cannot replace %1").arg(name), errno);
                    inFlight->removedEmptyFolder = true;
                } else {
                    const QString aside = target + QStringLiteral("/.") + name + QStringLiteral(".previous-")
                        + QString::number(unixSeconds());
                    if (existsAt(aside)
                        || ::rename(QFile::encodeName(entry.destination).constData(), QFile::encodeName(aside).constData()) != 0)
                        throwErrno(QStringLiteral("cannot set aside %1").arg(name), existsAt(aside) ? EEXIST : errno);
                    inFlight->setAside = aside;
                }
            }
            if (g_moveHook)
                g_moveHook(name);
            moveEntry(entry.source, entry.destination);
            done.push_back(*inFlight);
            inFlight.reset();
            if (itemCount(entry.destination) != count)
                throw FileError(name + QStringLiteral(": count mismatch"));
            result.moved.insert(name, count);
        }

        const QFileInfo oldInfo(old);
        const QString parent = oldInfo.absolutePath();
        QString backup = parent + QLatin1Char('/') + backupName;
        if (existsAt(backup))
            backup = parent + QLatin1Char('/') + backupName + QLatin1Char('-') + QString::number(unixSeconds());
        if (::rename(QFile::encodeName(old).constData(), QFile::encodeName(backup).constData()) != 0)
            throwErrno(QStringLiteral("cannot move %1 to %2").arg(oldInfo.fileName(), QFileInfo(backup).fileName()), errno);
        result.backup = backup;
    } catch (...) {
        if (inFlight)
            done.push_back(*inFlight);
        rollBack(done);
        throw;
    }
    if (progress)
        progress(QStringLiteral("Done"));
    return result;
}

void LibraryLocation::resetForTesting()
{
    CloudPlaces::resetForTesting();
    std::lock_guard lock(g_mutex);
    g_folders.reset();
}

void LibraryLocation::setMoveHookForTesting(std::function<void(const QString &)> hook)
{
    g_moveHook = std::move(hook);
}

} // namespace vellora
