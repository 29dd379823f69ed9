#include "ReleaseArchive.h"

#include <QDir>
#include <QHash>
#include <QLocale>
#include <QStringList>
#include <archive.h>
#include <archive_entry.h>
#include <ftw.h>
#include <memory>
#include <optional>
#include <sys/stat.h>

namespace vellora {

namespace {

const QString kTopFolder = QStringLiteral("Vellora.app");

QStringList pathComponents(QString path)
{
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (path.startsWith(QLatin1String("./")))
        path.remove(0, 2);
    return path.split(QLatin1Char('/'));
}

bool plainComponent(const QString &component)
{
    return !component.isEmpty() && component != QLatin1String(".") && component != QLatin1String("..")
           && !component.contains(QChar(0));
}

struct ReadCloser {
    void operator()(archive *a) const { archive_read_free(a); }
};
struct WriteCloser {
    void operator()(archive *a) const { archive_write_free(a); }
};

QString archiveError(archive *a)
{
    const char *text = archive_error_string(a);
    return text ? QString::fromLocal8Bit(text) : QStringLiteral("unknown archive error");
}

// The components a link's text passes through on its way to its target,
// starting from the folder that holds the link; empty when the text climbs
// out of the top folder or is absolute.
std::optional<QStringList> linkWalk(const QString &entryPath, const QString &target, QStringList *passed)
{
    if (target.isEmpty() || target.startsWith(QLatin1Char('/')))
        return std::nullopt;
    QStringList resolved = pathComponents(entryPath);
    resolved.removeLast(); // the link's own name
    const QStringList parts = target.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString &part = parts[i];
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (resolved.size() <= 1) // would climb out of the top folder
                return std::nullopt;
            resolved.removeLast();
            continue;
        }
        resolved.append(part);
        if (passed && i + 1 < parts.size())
            passed->append(resolved.join(QLatin1Char('/')));
    }
    if (resolved.isEmpty() || resolved.first() != kTopFolder)
        return std::nullopt;
    return resolved;
}

// Whatever mode the archive gave, nothing installed may be changed by
// another user: group and others lose write, and folders libarchive made on
// its own (under the process's umask) are brought in line too.
int dropForeignWrite(const char *path, const struct stat *info, int kind, FTW *)
{
    if (kind == FTW_SL || kind == FTW_SLN)
        return 0;
    if (info->st_mode & (S_IWGRP | S_IWOTH))
        ::chmod(path, info->st_mode & 07755);
    return 0;
}

} // namespace

QString sizeText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 0, QLocale::DataSizeIecFormat);
}

bool isSafeReleaseEntry(const QString &entryPath)
{
    if (entryPath.isEmpty() || entryPath.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = pathComponents(entryPath);
    if (parts.isEmpty() || parts.first() != kTopFolder)
        return false;
    for (const QString &part : parts) {
        if (!plainComponent(part))
            return false;
    }
    return true;
}

bool isSafeReleaseLink(const QString &entryPath, const QString &target)
{
    return linkWalk(entryPath, target, nullptr).has_value();
}

static QString linkThroughLink(const QList<QPair<QString, QString>> &links)
{
    // A link's text is only read right when no folder it passes through is
    // itself a link: "x/l2 -> .." makes "x/l2/../.." climb two levels above
    // where the text seems to point. Links in the final place are fine, each
    // is checked on its own.
    QHash<QString, bool> linkPaths;
    for (const auto &link : links)
        linkPaths.insert(pathComponents(link.first).join(QLatin1Char('/')), true);
    for (const auto &link : links) {
        QStringList passed;
        if (!linkWalk(link.first, link.second, &passed))
            return link.first;
        for (const QString &place : std::as_const(passed)) {
            if (linkPaths.contains(place))
                return link.first;
        }
    }
    return {};
}

UnpackResult unpackReleaseArchive(const QString &archivePath, const QString &stage, const UnpackLimits &limits)
{
    UnpackResult result;
    std::unique_ptr<archive, ReadCloser> reader(archive_read_new());
    archive_read_support_filter_zstd(reader.get());
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_filter_xz(reader.get());
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_filename(reader.get(), QFile::encodeName(archivePath).constData(), 1 << 16) != ARCHIVE_OK) {
        result.error = QStringLiteral("the archive can't be read (%1)").arg(archiveError(reader.get()));
        return result;
    }
    std::unique_ptr<archive, WriteCloser> writer(archive_write_disk_new());
    // No owners, no ACLs or extended attributes; refuse "..", and never write
    // through a link already on disk.
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM
                                                     | ARCHIVE_EXTRACT_SECURE_SYMLINKS
                                                     | ARCHIVE_EXTRACT_SECURE_NODOTDOT
                                                     | ARCHIVE_EXTRACT_NO_OVERWRITE);
    const QString base = QDir(stage).absolutePath() + QLatin1Char('/');
    qint64 total = 0;
    qint64 entries = 0;
    bool sawTop = false;
    QList<QPair<QString, QString>> links;
    archive_entry *entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status != ARCHIVE_OK) {
            result.error = QStringLiteral("the archive is damaged (%1)").arg(archiveError(reader.get()));
            return result;
        }
        if (++entries > limits.maxEntries) {
            result.error = QStringLiteral("the archive holds too many entries");
            return result;
        }
        const QString path = QString::fromUtf8(archive_entry_pathname_utf8(entry) ? archive_entry_pathname_utf8(entry)
                                                                                   : archive_entry_pathname(entry));
        if (!isSafeReleaseEntry(path)) {
            result.error = QStringLiteral("the archive holds an entry outside Vellora.app: \"%1\"").arg(path);
            return result;
        }
        sawTop = true;
        if (archive_entry_hardlink(entry)) {
            result.error = QStringLiteral("the archive holds a hard link: \"%1\"").arg(path);
            return result;
        }
        const auto type = archive_entry_filetype(entry);
        if (type == AE_IFLNK) {
            const QString target = QString::fromUtf8(archive_entry_symlink(entry));
            if (!isSafeReleaseLink(path, target)) {
                result.error = QStringLiteral("the archive holds a link that leaves Vellora.app: \"%1\"").arg(path);
                return result;
            }
            links.append({path, target});
        } else if (type != AE_IFREG && type != AE_IFDIR) {
            result.error = QStringLiteral("the archive holds a special file: \"%1\"").arg(path);
            return result;
        }
        const qint64 declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
        if (declared < 0 || total + declared > limits.maxTotalBytes) {
            result.error = QStringLiteral("the archive unpacks to more than %1").arg(sizeText(limits.maxTotalBytes));
            return result;
        }
        // Only the owner may write: no set-user-id, set-group-id or sticky
        // bit, and no write for group or others.
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0755);
        archive_entry_set_uid(entry, getuid());
        archive_entry_set_gid(entry, getgid());
        archive_entry_copy_pathname(entry, QFile::encodeName(base + path).constData());
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) {
            result.error = QStringLiteral("\"%1\" can't be unpacked (%2)").arg(path, archiveError(writer.get()));
            return result;
        }
        if (type == AE_IFREG) {
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            for (;;) {
                const int r = archive_read_data_block(reader.get(), &block, &size, &offset);
                if (r == ARCHIVE_EOF)
                    break;
                if (r != ARCHIVE_OK) {
                    result.error = QStringLiteral("the archive is damaged (%1)").arg(archiveError(reader.get()));
                    return result;
                }
                total += qint64(size);
                if (total > limits.maxTotalBytes) {
                    result.error = QStringLiteral("the archive unpacks to more than %1").arg(sizeText(limits.maxTotalBytes));
                    return result;
                }
                if (archive_write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK) {
                    result.error = QStringLiteral("\"%1\" can't be written (%2)").arg(path, archiveError(writer.get()));
                    return result;
                }
            }
        }
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) {
            result.error = QStringLiteral("\"%1\" can't be written (%2)").arg(path, archiveError(writer.get()));
            return result;
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        result.error = QStringLiteral("the unpacked tree can't be finished (%1)").arg(archiveError(writer.get()));
        return result;
    }
    if (!sawTop) {
        result.error = QStringLiteral("the archive is empty");
        return result;
    }
    if (const QString bad = linkThroughLink(links); !bad.isEmpty()) {
        result.error = QStringLiteral("the archive holds a link that leaves Vellora.app: \"%1\"").arg(bad);
        return result;
    }
    ::nftw(QFile::encodeName(stage).constData(), dropForeignWrite, 16, FTW_PHYS);
    result.ok = true;
    return result;
}

} // namespace vellora
