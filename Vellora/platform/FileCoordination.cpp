#include "FileCoordination.h"

#include "Console.h"

#include <QDateTime>
#include <QDir>
#include "PosixIO.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <shared_mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

namespace {
using posix::openRetrying;
using posix::writeAll;

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Below this a write through the page cache is as quick as any.
constexpr qint64 kDirectWriteFrom = qint64(16) << 20;
constexpr size_t kDirectBlock = 4096;
constexpr size_t kDirectStaging = size_t(8) << 20;

struct DirectUnsupported {};
struct WriteFailed {
    int code;
};

// Writes a large file past the page cache (O_DIRECT), through an aligned
// staging buffer. Putting hundreds of MB into the page cache first costs
// more than the disk write itself: every page is fresh memory, and a
// buffered write fills them one at a time. Throws DirectUnsupported when
// the filesystem refuses direct writes, WriteFailed when a write fails.
class DirectSink {
public:
    // Nothing when the descriptor cannot be switched to direct writes.
    static std::unique_ptr<DirectSink> open(int fd)
    {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0)
            return nullptr;
        char *staging = static_cast<char *>(std::aligned_alloc(kDirectBlock, kDirectStaging));
        if (!staging)
            return nullptr;
        if (::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) {
            std::free(staging);
            return nullptr;
        }
        return std::unique_ptr<DirectSink>(new DirectSink(fd, flags, staging));
    }

    ~DirectSink()
    {
        ::fcntl(m_fd, F_SETFL, m_flags);
        std::free(m_staging);
    }

    void append(std::string_view piece)
    {
        m_total += qint64(piece.size());
        while (!piece.empty()) {
            const size_t n = std::min(piece.size(), kDirectStaging - m_filled);
            std::memcpy(m_staging + m_filled, piece.data(), n);
            m_filled += n;
            piece.remove_prefix(n);
            if (m_filled == kDirectStaging) {
                flush(m_filled);
                m_filled = 0;
            }
        }
    }

    // Whole blocks only: the tail is padded, then cut off again.
    void finish()
    {
        if (m_filled > 0) {
            const size_t padded = (m_filled + kDirectBlock - 1) / kDirectBlock * kDirectBlock;
            std::memset(m_staging + m_filled, 0, padded - m_filled);
            flush(padded);
            m_filled = 0;
        }
        ::fcntl(m_fd, F_SETFL, m_flags);
        if (::ftruncate(m_fd, off_t(m_total)) != 0)
            throw WriteFailed{errno};
    }

private:
    DirectSink(int fd, int flags, char *staging) : m_fd(fd), m_flags(flags), m_staging(staging) {}

    void flush(size_t length)
    {
        size_t done = 0;
        while (done < length) {
            const ssize_t n = ::write(m_fd, m_staging + done, length - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EINVAL)
                throw DirectUnsupported{};
            if (n <= 0 || size_t(n) % kDirectBlock != 0)
                throw WriteFailed{n < 0 ? errno : EIO};
            done += size_t(n);
        }
    }

    int m_fd;
    int m_flags;
    char *m_staging;
    size_t m_filled = 0;
    qint64 m_total = 0;
};

// One lock per absolute path, kept for the life of the process.
std::shared_ptr<std::shared_mutex> processLock(const QString &path)
{
    static std::mutex mutex;
    static QHash<QString, std::shared_ptr<std::shared_mutex>> locks;
    const QString key = QFileInfo(path).absoluteFilePath();
    std::lock_guard guard(mutex);
    auto &lock = locks[key];
    if (!lock)
        lock = std::make_shared<std::shared_mutex>();
    return lock;
}


bool flockRetrying(int fd, int operation)
{
    int rc;
    do {
        rc = ::flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// The cross-process half: an open lock file holding a flock.
class LockFile {
public:
    ~LockFile()
    {
        if (m_fd >= 0)
            ::close(m_fd); // closing drops the flock
    }
    // -1 on success, else errno.
    int open(const QString &path)
    {
        m_fd = openRetrying(QFile::encodeName(coordinationLockPath(path)), O_RDWR | O_CREAT, 0644);
        return m_fd >= 0 ? -1 : errno;
    }
    bool lock(int operation) { return flockRetrying(m_fd, operation); }

private:
    int m_fd = -1;
};


} // namespace

QString coordinationLockPath(const QString &path)
{
    const QFileInfo info(path);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".lock");
}

bool coordinateReading(const QString &path, const std::function<void(const QString &)> &accessor, QString *error)
{
    const QFileInfo info(path);
    if (!QFileInfo(info.absolutePath()).isDir()) {
        if (error)
            *error = QStringLiteral("no folder for %1").arg(info.fileName());
        return false;
    }
    auto inProcess = processLock(path);
    std::shared_lock shared(*inProcess);
    LockFile lockFile;
    const int failure = lockFile.open(path);
    if (failure == -1) {
        if (!lockFile.lock(LOCK_SH)) {
            if (error)
                *error = errnoText(errno);
            return false;
        }
    } else if (failure != EACCES && failure != EROFS && failure != EPERM) {
        if (error)
            *error = errnoText(failure);
        return false;
    }
    accessor(path);
    return true;
}

void coordinateWriting(const QString &path, const std::function<void(const QString &)> &accessor)
{
    auto inProcess = processLock(path);
    std::unique_lock exclusive(*inProcess);
    LockFile lockFile;
    const int failure = lockFile.open(path);
    if (failure != -1)
        throw FileError(QStringLiteral("cannot lock %1: %2").arg(QFileInfo(path).fileName(), errnoText(failure)), failure);
    if (!lockFile.lock(LOCK_EX)) {
        const int code = errno;
        throw FileError(QStringLiteral("cannot lock %1: %2").arg(QFileInfo(path).fileName(), errnoText(code)), code);
    }
    accessor(path);
}

std::optional<QByteArray> readWholeFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

void writeFileAtomically(const QString &path, const QByteArray &bytes)
{
    writeFileAtomically(path, BytePieces{std::string_view(bytes.constData(), size_t(bytes.size()))});
}

bool samePieces(const QByteArray &bytes, const BytePieces &pieces)
{
    qsizetype at = 0;
    for (const std::string_view piece : pieces) {
        if (bytes.size() - at < qsizetype(piece.size())
            || std::memcmp(bytes.constData() + at, piece.data(), piece.size()) != 0)
            return false;
        at += qsizetype(piece.size());
    }
    return at == bytes.size();
}

void writeFileAtomically(const QString &path, const BytePieces &pieces)
{
    qint64 total = 0;
    for (const std::string_view piece : pieces)
        total += qint64(piece.size());
    writeFileAtomically(
        path,
        [&pieces](const ByteSink &write) {
            for (const std::string_view piece : pieces)
                write(piece);
        },
        total);
}

void writeFileAtomically(const QString &path, const ByteProducer &produce, qint64 sizeHint)
{
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    // Hidden and in the same folder, so the rename stays on one filesystem.
    QByteArray temp = folder + "/." + QFile::encodeName(info.fileName()) + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        const int code = errno;
        throw FileError(QStringLiteral("cannot create a temporary file: %1").arg(errnoText(code)), code);
    }
    auto fail = [&](const char *step) {
        const int code = errno;
        ::close(fd);
        ::unlink(temp.constData());
        throw FileError(QStringLiteral("%1: %2").arg(QLatin1String(step), errnoText(code)), code);
    };
    // Keep the permissions of the file being replaced; a new file gets 0644.
    struct stat existing;
    ::fchmod(fd, ::stat(target.constData(), &existing) == 0 ? (existing.st_mode & 07777) : 0644);
    try {
        bool written = false;
        if (sizeHint >= kDirectWriteFrom) {
            if (std::unique_ptr<DirectSink> sink = DirectSink::open(fd)) {
                try {
                    produce([&sink](std::string_view piece) { sink->append(piece); });
                    sink->finish();
                    written = true;
                } catch (const DirectUnsupported &) {
                    // Start again through the page cache.
                    sink.reset();
                    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
                        fail("write failed");
                }
            }
        }
        if (!written)
            produce([fd](std::string_view piece) {
                if (!writeAll(fd, piece.data(), qint64(piece.size())))
                    throw WriteFailed{errno};
            });
    } catch (const WriteFailed &failure) {
        errno = failure.code;
        fail("write failed");
    } catch (const FileError &) {
        throw;
    } catch (...) {
        // The producer's own failure: nothing of it stays behind.
        ::close(fd);
        ::unlink(temp.constData());
        throw;
    }
    if (::fsync(fd) != 0)
        fail("fsync failed");
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(temp.constData());
        throw FileError(QStringLiteral("close failed: %1").arg(errnoText(code)), code);
    }
    if (::rename(temp.constData(), target.constData()) != 0) {
        const int code = errno;
        ::unlink(temp.constData());
        throw FileError(QStringLiteral("cannot replace %1: %2").arg(info.fileName(), errnoText(code)), code);
    }
    const int dir = openRetrying(folder, O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

int removeAbandonedTemporaries(const QString &path, double minimumAgeSeconds)
{
    const QFileInfo info(path);
    // The names mkstemp() makes from "." + name + ".XXXXXX".
    const QString prefix = QStringLiteral(".") + info.fileName() + QLatin1Char('.');
    const QDir folder(info.absolutePath());
    const QDateTime cutOff = QDateTime::currentDateTimeUtc().addMSecs(-qint64(minimumAgeSeconds * 1000));
    int removed = 0;
    const QStringList names = folder.entryList({prefix + QStringLiteral("??????")}, QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        const QFileInfo temp(folder.filePath(name));
        if (temp.lastModified().toUTC() < cutOff && QFile::remove(temp.absoluteFilePath()))
            ++removed;
    }
    return removed;
}

void coordinatedWrite(const QString &path, const QByteArray &bytes)
{
    coordinateWriting(path, [&](const QString &url) { writeFileAtomically(url, bytes); });
}

void reportCoordinatedReadTimeout(const QString &path, double timeout)
{
    printLine(QStringLiteral("%1: coordinated read timed out after %2 s, reading directly")
                  .arg(QFileInfo(path).fileName())
                  .arg(qint64(timeout)));
}

std::optional<QByteArray> coordinatedReadData(const QString &path, double timeout)
{
    return coordinatedRead<QByteArray>(path, timeout, [](const QString &url) { return readWholeFile(url); });
}

} // namespace vellora
