#include "ReleaseArchive.h"

#include <QDir>
#include <QStringList>
#include <archive.h>
#include <archive_entry.h>
#include <memory>
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

} // namespace

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
    if (target.isEmpty() || target.startsWith(QLatin1Char('/')))
        return false;
    QStringList resolved = pathComponents(entryPath);
    resolved.removeLast(); // the link's own name
    for (const QString &part : target.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (resolved.size() <= 1) // would climb out of the top folder
                return false;
            resolved.removeLast();
            continue;
        }
        resolved.append(part);
    }
    return !resolved.isEmpty() && resolved.first() == kTopFolder;
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
        } else if (type != AE_IFREG && type != AE_IFDIR) {
            result.error = QStringLiteral("the archive holds a special file: \"%1\"").arg(path);
            return result;
        }
        const qint64 declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
        if (declared < 0 || total + declared > limits.maxTotalBytes) {
            result.error = QStringLiteral("the archive unpacks to more than %1 bytes").arg(limits.maxTotalBytes);
            return result;
        }
        // Only the permission bits: no set-user-id, set-group-id or sticky bit.
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);
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
                    result.error = QStringLiteral("the archive unpacks to more than %1 bytes").arg(limits.maxTotalBytes);
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
    result.ok = true;
    return result;
}

} // namespace vellora
