#include "LibraryFileAccess.h"

#include "LibraryCodec.h"
#include "LibraryLocation.h"
#include "LibraryMerge.h"
#include "Parallel.h"
#include "SafeNames.h"

#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/FileCoordination.h"
#include "platform/FileVersions.h"
#include "platform/Places.h"
#include "platform/PosixIO.h"
#include "platform/Ubiquity.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

namespace {

std::atomic<quint64> g_backupCounter{0};

// A save that has not renamed its temporary file within an hour has died.
constexpr double kAbandonedTemporaryAge = 3600.0;

constexpr double kConflictBackupDays = 30.0;
constexpr qsizetype kConflictBackupCount = 50;

FileStamp stampOf(const struct stat &info)
{
    FileStamp stamp;
    stamp.exists = true;
    stamp.device = quint64(info.st_dev);
    stamp.inode = quint64(info.st_ino);
    stamp.size = qint64(info.st_size);
    stamp.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    return stamp;
}

// A descriptor closed with the last copy of the read that holds it.
struct OpenFile {
    explicit OpenFile(int fd) : fd(fd) {}
    ~OpenFile() { ::close(fd); }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    const int fd;
};

struct RawRead {
    int error = 0; // errno of the failed open or read, 0 on success
    QByteArray bytes;
    FileStamp stamp;
    // In place of `bytes` when the caller keeps no bytes of a file that
    // loads: the decoder gives these back as it reads them, and the file
    // stays open to be read again should the document not load after all.
    std::shared_ptr<coding::DocumentBytes> document;
    std::shared_ptr<OpenFile> file;
};

// Reads the first `size` bytes of `fd` into `data`, a large file in parts
// on several threads, each into its own stretch of the buffer: the pages of a
// buffer of hundreds of MB cost more to fault in than to fill. False when
// the file ended early (it shrank meanwhile) or could not be read (`error`).
bool readInParts(int fd, char *const data, qsizetype size, int &error)
{
    const int parts = partsFor(std::size_t(size), std::size_t(4) << 20);
    std::vector<int> errors(std::size_t(parts), 0);
    std::vector<char> whole(std::size_t(parts), 1);
    runParts(parts, [&](int part) {
        auto [at, end] = partRange(std::size_t(size), parts, part);
        while (at < end) {
            const ssize_t n = ::pread(fd, data + at, end - at, off_t(at));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                errors[std::size_t(part)] = n < 0 ? errno : 0;
                whole[std::size_t(part)] = 0;
                return;
            }
            at += std::size_t(n);
        }
    });
    for (int part = 0; part < parts; ++part) {
        if (errors[std::size_t(part)] != 0) {
            error = errors[std::size_t(part)];
            return false;
        }
    }
    return std::all_of(whole.begin(), whole.end(), [](char done) { return done != 0; });
}

bool readInParts(int fd, QByteArray &bytes, qsizetype size, int &error)
{
    bytes.resize(size);
    return readInParts(fd, bytes.data(), size, error);
}

// True when `fd` holds nothing past `size`; a failed read sets `error`.
bool endsAt(int fd, off_t size, int &error)
{
    char probe;
    for (;;) {
        const ssize_t n = ::pread(fd, &probe, 1, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        return n == 0;
    }
}

// The bytes and the stamp of the very file they were read from; with
// `giveBack`, a whole file is read into memory the decoder may give back.
std::optional<RawRead> readRaw(const QString &path, bool giveBack)
{
    RawRead raw;
    int fd;
    do {
        // O_NONBLOCK: a FIFO in its place must not hang the reader for good.
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        raw.error = errno;
        return raw;
    }
    struct stat info;
    const bool described = ::fstat(fd, &info) == 0;
    if (described)
        raw.stamp = stampOf(info);
    if (!described || !S_ISREG(info.st_mode)) {
        // Exists, but is no file a library can be read from: never written over.
        raw.error = described ? EINVAL : errno;
        raw.stamp.exists = true;
        ::close(fd);
        return raw;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (giveBack && info.st_size > 0 && info.st_size < (qint64(1) << 30)) {
        auto document = std::make_shared<coding::DocumentBytes>(std::size_t(info.st_size));
        if (document->isValid() && readInParts(fd, document->data(), qsizetype(info.st_size), raw.error)
            && endsAt(fd, off_t(info.st_size), raw.error)) {
            raw.document = std::move(document);
            raw.file = std::make_shared<OpenFile>(fd);
            return raw;
        }
        if (raw.error != 0) {
            ::close(fd);
            return raw;
        }
        // It changed size while it was read: read as below, whatever it holds now.
    }
    // Room for the whole file and the parser's read-ahead up front: the
    // decoder then parses these bytes in place instead of copying them.
    off_t offset = 0;
    if (info.st_size > 0 && info.st_size < (qint64(1) << 30)) {
        raw.bytes.reserve(qsizetype(info.st_size) + 64);
        if (readInParts(fd, raw.bytes, qsizetype(info.st_size), raw.error))
            offset = off_t(info.st_size);
        else
            raw.bytes.clear();
        if (raw.error != 0) {
            ::close(fd);
            return raw;
        }
    }
    // What the size did not tell: a file that changed size while it was
    // read, or one that reports none.
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            raw.error = errno;
            break;
        }
        if (n == 0)
            break;
        raw.bytes.append(buffer, n);
        offset += n;
    }
    ::close(fd);
    return raw;
}

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// A moment as the conflict message shows it: "2026-12-09 07:52:03 +0000".
QString describeDate(double referenceSeconds)
{
    return dateFromReferenceSeconds(referenceSeconds).toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
        + QStringLiteral(" +0000");
}

} // namespace

FileStamp fileStamp(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return stampOf(info);
}

std::optional<double> modificationDate(const FileStamp &stamp)
{
    if (!stamp.exists)
        return std::nullopt;
    qint64 seconds = stamp.modifiedNs / 1000000000LL;
    qint64 nanoseconds = stamp.modifiedNs % 1000000000LL;
    if (nanoseconds < 0) {
        nanoseconds += 1000000000LL;
        --seconds;
    }
    // The same arithmetic as FileVersions::modificationDate(), so the two compare equal.
    return double(seconds) + double(nanoseconds) / 1e9 - kReferenceDateOffset;
}

QString libraryBackupName(const QString &tag, double referenceSeconds, quint64 counter)
{
    const QDateTime moment = dateFromReferenceSeconds(referenceSeconds).toUTC();
    const QString stamp = moment.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'")).replace(QLatin1Char(':'), QLatin1Char('-'));
    return QStringLiteral("%1-%2-%3.json").arg(tag, stamp).arg(counter % 100000, 5, 10, QLatin1Char('0'));
}

namespace {

// Copies `sourceFd` (which holds exactly `bytes`) into the new file `out`:
// a clone shares the blocks, copy_file_range copies in the kernel (and
// clones where it can); writing the bytes is the last resort.
qint64 sizeOf(const BytePieces &pieces)
{
    qint64 size = 0;
    for (const std::string_view piece : pieces)
        size += qint64(piece.size());
    return size;
}

bool copyInto(int out, int sourceFd, const BytePieces &pieces)
{
    if (sourceFd >= 0) {
        if (::ioctl(out, FICLONE, sourceFd) == 0)
            return true;
        loff_t from = 0;
        loff_t to = 0;
        struct stat source;
        qint64 left = ::fstat(sourceFd, &source) == 0 ? qint64(source.st_size) : sizeOf(pieces);
        while (left > 0) {
            const ssize_t n = ::copy_file_range(sourceFd, &from, out, &to, size_t(left), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            left -= n;
        }
        if (left == 0)
            return true;
        // Not on this filesystem (or cut short): start again with the bytes.
        if (pieces.empty() || ::ftruncate(out, 0) != 0 || ::lseek(out, 0, SEEK_SET) != 0)
            return false;
    }
    for (const std::string_view piece : pieces)
        if (!posix::writeAll(out, piece.data(), qint64(piece.size())))
            return false;
    return true;
}

// The backup written durably under a temporary name, then renamed into place.
bool writeBackupFile(const QString &path, int sourceFd, const BytePieces &pieces)
{
    try {
        if (sourceFd < 0)
            writeFileAtomically(path, pieces);
        else
            writeFileAtomicallyThrough(path, [&](int out) {
                if (!copyInto(out, sourceFd, pieces))
                    throw FileError(QStringLiteral("cannot copy the backup"), errno);
            });
        return true;
    } catch (const FileError &) {
        return false;
    }
}

std::optional<QString> writeBackup(int sourceFd, const BytePieces &pieces, const QString &root, const QString &tag)
{
    const QString dir = root + QStringLiteral("/backups");
    QDir().mkpath(dir);
    const quint64 counter = ++g_backupCounter;
    const QString path = dir + QLatin1Char('/') + libraryBackupName(tag, now(), counter);
    std::optional<QString> written;
    if (writeBackupFile(path, sourceFd, pieces))
        written = path;
    QDir folder(dir);
    if (!folder.exists())
        return written;
    QStringList timed = folder.entryList({QStringLiteral("library-*")}, QDir::Files | QDir::Hidden);
    timed.sort();
    for (qsizetype i = 0; i + 20 < timed.size(); ++i)
        folder.remove(timed.at(i));

    // Versions set aside by merges: every ordinary concurrent edit makes one,
    // so they are kept for 30 days and at most the newest 50; a timed backup
    // leaves them alone.
    if (tag != QLatin1String("conflict"))
        return written;
    QStringList conflicts = folder.entryList({QStringLiteral("conflict-*.json")}, QDir::Files | QDir::Hidden);
    conflicts.sort();
    const QString cutOff = libraryBackupName(QStringLiteral("conflict"), now() - kConflictBackupDays * 86400.0, 0);
    for (qsizetype i = 0; i < conflicts.size(); ++i) {
        const bool tooMany = i + kConflictBackupCount < conflicts.size();
        const bool tooOld = conflicts.at(i) < cutOff;
        if ((tooMany || tooOld) && dir + QLatin1Char('/') + conflicts.at(i) != written.value_or(QString()))
            folder.remove(conflicts.at(i));
    }
    return written;
}

} // namespace

std::optional<QString> writeLibraryBackup(const QByteArray &bytes, const QString &root, const QString &tag)
{
    return writeBackup(-1, BytePieces{std::string_view(bytes.constData(), size_t(bytes.size()))}, root, tag);
}

std::optional<QString> writeLibraryBackupFrom(int sourceFd, const BytePieces &pieces, const QString &root,
                                              const QString &tag)
{
    return writeBackup(sourceFd, pieces, root, tag);
}

std::optional<QString> existingLibraryBackup(const QString &root, const QString &tag, const QByteArray &bytes)
{
    const QDir folder(root + QStringLiteral("/backups"));
    const QStringList names = folder.entryList({tag + QStringLiteral("-*.json")}, QDir::Files | QDir::Hidden, QDir::Name);
    for (auto it = names.crbegin(); it != names.crend(); ++it) {
        const QString path = folder.filePath(*it);
        if (QFileInfo(path).size() != bytes.size())
            continue;
        if (readWholeFile(path) == bytes)
            return path;
    }
    return std::nullopt;
}

void resolveLibraryConflicts(const QString &file, const QString &root)
{
    const QList<FileVersion> conflicts = FileVersions::unresolvedConflicts(file);
    if (conflicts.isEmpty())
        return;
    const auto current = FileVersions::current(file);
    if (!current)
        return;

    QList<FileVersion> candidates{*current};
    candidates.append(conflicts);
    FileVersion winner = candidates.first();
    auto earlier = [](const std::optional<double> &a, const std::optional<double> &b) {
        if (!b)
            return false;
        return !a || *a < *b;
    };
    for (qsizetype i = 1; i < candidates.size(); ++i) {
        if (earlier(winner.modificationDate, candidates.at(i).modificationDate))
            winner = candidates.at(i);
    }

    // Each version is read once, so what picks the winner is also what is
    // kept and written. A version that does not decode is never chosen: it
    // is kept as a backup and the newest one that decodes wins instead.
    const auto decoded = [](const std::optional<QByteArray> &bytes) -> std::optional<LibraryFile> {
        if (!bytes)
            return std::nullopt;
        try {
            LibraryFile file = LibraryFile::decode(*bytes);
            if (file.collections.isEmpty())
                return std::nullopt;
            return file;
        } catch (const std::exception &) {
            return std::nullopt;
        }
    };
    QList<std::optional<QByteArray>> contents;
    QList<std::optional<LibraryFile>> documents;
    for (const FileVersion &candidate : candidates) {
        contents.append(readWholeFile(candidate.path));
        documents.append(decoded(contents.constLast()));
    }
    qsizetype winnerIndex = candidates.indexOf(winner);
    const bool anyDecodes = std::any_of(documents.cbegin(), documents.cend(), [](const auto &d) { return d.has_value(); });
    if (anyDecodes && !documents.at(winnerIndex)) {
        winnerIndex = -1;
        for (qsizetype i = 0; i < candidates.size(); ++i)
            if (documents.at(i) && (winnerIndex < 0 || earlier(candidates.at(winnerIndex).modificationDate,
                                                               candidates.at(i).modificationDate)))
                winnerIndex = i;
        winner = candidates.at(winnerIndex);
    }
    const bool winnerIsCurrent = winner == *current;

    // Every version is kept as it was; the others are then merged into the
    // winner record by record, so neither side's new items are lost. Without
    // the version both started from, all they hold counts as added.
    bool everyLoserKept = true;
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        // A copy that wins is kept as well: the file becomes a merge of it.
        if (i == winnerIndex && (winnerIsCurrent || !anyDecodes))
            continue;
        if (!contents.at(i) || !writeLibraryBackup(*contents.at(i), root, QStringLiteral("conflict")))
            everyLoserKept = false;
    }
    std::optional<LibraryFile> merged = documents.at(winnerIndex);
    bool mergedAny = false;
    for (qsizetype i = 0; merged && i < candidates.size(); ++i) {
        if (i == winnerIndex || !documents.at(i))
            continue;
        merged = mergeLibraries(LibraryFile(), *merged, *documents.at(i));
        mergedAny = true;
    }
    bool winnerInPlace = winnerIsCurrent && !mergedAny;
    if (!winnerInPlace) {
        try {
            if (mergedAny && winnerIsCurrent)
                writeLibraryBackup(*contents.at(winnerIndex), root, QStringLiteral("conflict"));
            // A winner that could not be read is never written as nothing.
            const std::optional<QByteArray> bytes = mergedAny ? merged->encode() : contents.at(winnerIndex);
            if (bytes) {
                coordinatedWrite(file, *bytes);
                winnerInPlace = true;
            }
        } catch (const std::exception &) {
        }
    }
    if (everyLoserKept && winnerInPlace) {
        for (const FileVersion &conflict : conflicts)
            FileVersions::remove(conflict);
    }
    printLine(QStringLiteral("library.json: resolved %1 iCloud conflict(s), kept the version from %2")
                  .arg(conflicts.size())
                  .arg(describeDate(winner.modificationDate.value_or(now()))));
}

namespace {

// Items written before sizes were kept take the size of their original, or 0
// when it is missing or not a regular file. A library of that age may have a
// hundred thousand of them: one stat each against the folder opened once, on
// several threads, rather than a path and a QFileInfo per item on one.
void fillMissingFileSizes(const QString &root, QList<Item> &items)
{
    std::vector<qsizetype> missing;
    for (qsizetype i = 0; i < items.size(); ++i)
        if (!std::as_const(items)[i].fileSize)
            missing.push_back(i);
    if (missing.empty())
        return;
    const int folder = ::open(QFile::encodeName(root + QStringLiteral("/originals")).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Item *const cells = items.data();
    const int parts = partsFor(missing.size(), 2000);
    runParts(parts, [&](int part) {
        const auto [first, last] = partRange(missing.size(), parts, part);
        for (std::size_t k = first; k < last; ++k) {
            Item &item = cells[missing[k]];
            qint64 size = 0;
            struct stat info {};
            if (folder >= 0 && isSafePathComponent(item.storedFilename)
                && ::fstatat(folder, QFile::encodeName(item.storedFilename).constData(), &info, 0) == 0
                && S_ISREG(info.st_mode))
                size = qint64(info.st_size);
            item.fileSize = size;
        }
    });
    if (folder >= 0)
        ::close(folder);
}

// The records of a read that gave its bytes to the decoder; nothing, with
// `raw.bytes` read again from the same file, when the document is to be
// decoded (and its faults told) by the general road, or copied aside.
std::optional<LibraryFile> decodeGivingBack(RawRead &raw)
{
    std::optional<LibraryFile> fast = coding::decodeLibraryFast(*raw.document);
    raw.document.reset();
    if (fast && !fast->collections.isEmpty()) {
        raw.file.reset();
        return fast;
    }
    // The descriptor still names the file that was read, even if another
    // has been renamed into its place since.
    if (!readInParts(raw.file->fd, raw.bytes, qsizetype(raw.stamp.size), raw.error)
        || !endsAt(raw.file->fd, off_t(raw.stamp.size), raw.error)) {
        if (raw.error == 0)
            raw.error = EIO;
        raw.bytes.clear();
    }
    raw.file.reset();
    return std::nullopt;
}

} // namespace

LibraryRead readLibraryFile(const QString &root, KeepBytes keep)
{
    if (const QString drive = LibraryLocation::iCloudDriveURL(); !drive.isEmpty() && QDir::cleanPath(root) == drive)
        setHidden(root);
    for (const char *folder : {"originals", "thumbnails", "covers", "favicons"})
        QDir().mkpath(root + QLatin1Char('/') + QLatin1String(folder));

    const QString path = root + QStringLiteral("/library.json");
    removeAbandonedTemporaries(path, kAbandonedTemporaryAge);
    resolveLibraryConflicts(path, root);

    LibraryRead result;
    const bool giveBack = keep == KeepBytes::OnlyWhenNotLoaded;
    auto raw = coordinatedRead<RawRead>(path, kLibraryReadTimeout,
                                        [giveBack](const QString &url) { return readRaw(url, giveBack); });
    if (!raw) {
        // The coordination failed before the file was opened.
        if (QFileInfo::exists(path)) {
            result.status = LibraryReadStatus::Unreadable;
            result.reason = QStringLiteral("library.json could not be read");
        }
        return result;
    }
    if (raw->error == ENOENT && !raw->stamp.exists) {
        result.status = LibraryReadStatus::Absent;
        return result;
    }
    result.stamp = raw->stamp;
    std::optional<LibraryFile> given;
    if (raw->document)
        given = decodeGivingBack(*raw);
    if (raw->error != 0) {
        result.status = LibraryReadStatus::Unreadable;
        result.reason = raw->error == EINVAL ? QStringLiteral("library.json could not be read: not a regular file")
                                             : QStringLiteral("library.json could not be read: %1").arg(errnoText(raw->error));
        return result;
    }
    result.bytes = raw->bytes;
    LibraryFile document;
    try {
        document = given ? std::move(*given) : LibraryFile::decode(raw->bytes);
    } catch (const DecodingError &error) {
        result.status = LibraryReadStatus::Undecodable;
        result.reason = QStringLiteral("library.json could not be decoded: %1").arg(error.describe());
        return result;
    } catch (const std::exception &error) {
        result.status = LibraryReadStatus::Undecodable;
        result.reason = QStringLiteral("library.json could not be decoded: %1").arg(QString::fromUtf8(error.what()));
        return result;
    }
    if (document.collections.isEmpty()) {
        result.status = LibraryReadStatus::NoCollections;
        result.reason = QStringLiteral("library.json holds no collection");
        return result;
    }
    fillMissingFileSizes(root, document.items);
    result.status = LibraryReadStatus::Loaded;
    result.file = std::move(document);
    if (giveBack)
        result.bytes = QByteArray();
    return result;
}

std::optional<QString> ensureDownloaded(const QString &path)
{
    Ubiquity &ubiquity = Ubiquity::current();
    const auto values = ubiquity.values(path);
    if (!values || !values->ubiquitous)
        return path;
    if (values->status == DownloadStatus::Current)
        return path;
    ubiquity.startDownloading(path);
    return std::nullopt;
}

std::optional<double> libraryModificationDate(const QString &root)
{
    return FileVersions::modificationDate(root + QStringLiteral("/library.json"));
}

} // namespace vellora
