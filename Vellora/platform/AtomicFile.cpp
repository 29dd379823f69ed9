#include "AtomicFile.h"

#include "FileCopy.h"
#include "PosixIO.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

namespace {
using posix::writeAll;

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// What every temporary name carries after the target's name; mkostemp()
// puts six letters or digits after it.
constexpr QLatin1String kTemporaryMark(".tmp-");
constexpr qsizetype kRandomLength = 6;

bool endsInRandomPart(const QString &name, qsizetype from)
{
    if (name.size() - from != kRandomLength)
        return false;
    for (qsizetype i = from; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (!(c.isDigit() || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')))
            return false;
    }
    return true;
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

} // namespace

void writeFileAtomicallyThrough(const QString &path, const DescriptorFill &fill, Durability durability)
{
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    // Hidden, so that file managers, sync clients and our own folder
    // watchers pass over it; marked, so that a sweep can tell it from
    // anything else that is hidden.
    QByteArray temp = folder + "/." + QFile::encodeName(info.fileName()) + kTemporaryMark.data() + "XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
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
        fill(fd);
    } catch (...) {
        // Nothing of a failed fill stays behind.
        ::close(fd);
        ::unlink(temp.constData());
        throw;
    }
    if (durability != Durability::Atomic && ::fsync(fd) != 0)
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
    // Without it a power cut can undo the rename of data that is on disk.
    if (durability == Durability::Durable)
        syncFolder(info.absolutePath());
}

void writeFileAtomically(const QString &path, const ByteProducer &produce, qint64 sizeHint, Durability durability)
{
    writeFileAtomicallyThrough(
        path,
        [&](int fd) {
            try {
                if (sizeHint >= kDirectWriteFrom) {
                    if (std::unique_ptr<DirectSink> sink = DirectSink::open(fd)) {
                        try {
                            produce([&sink](std::string_view piece) { sink->append(piece); });
                            sink->finish();
                            return;
                        } catch (const DirectUnsupported &) {
                            // Start again through the page cache.
                            sink.reset();
                            if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
                                throw WriteFailed{errno};
                        }
                    }
                }
                produce([fd](std::string_view piece) {
                    if (!writeAll(fd, piece.data(), qint64(piece.size())))
                        throw WriteFailed{errno};
                });
            } catch (const WriteFailed &failure) {
                throw FileError(QStringLiteral("write failed: %1").arg(errnoText(failure.code)), failure.code);
            }
        },
        durability);
}

void writeFileAtomically(const QString &path, const BytePieces &pieces, Durability durability)
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
        total, durability);
}

void writeFileAtomically(const QString &path, const QByteArray &bytes, Durability durability)
{
    writeFileAtomically(path, BytePieces{std::string_view(bytes.constData(), size_t(bytes.size()))}, durability);
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

bool isAbandonedTemporaryName(const QString &fileName)
{
    const qsizetype mark = fileName.lastIndexOf(kTemporaryMark);
    // Something of the target's name must come before the mark.
    const qsizetype first = fileName.startsWith(u'.') ? 1 : 0;
    return mark > first && endsInRandomPart(fileName, mark + kTemporaryMark.size());
}

int removeAbandonedTemporaries(const QString &path, double minimumAgeSeconds)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    // Every naming a writer of `path` has used: this one, and those of
    // older builds, whose files may still lie here.
    const QString names[] = {
        QLatin1Char('.') + name + kTemporaryMark,
        name + kTemporaryMark,
        QLatin1Char('.') + name + QLatin1Char('.'),
    };
    const QDir folder(info.absolutePath());
    const QDateTime cutOff = QDateTime::currentDateTimeUtc().addMSecs(-qint64(minimumAgeSeconds * 1000));
    int removed = 0;
    const QStringList entries = folder.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &entry : entries) {
        const bool temporary = std::any_of(std::begin(names), std::end(names), [&](const QString &prefix) {
            return entry.startsWith(prefix) && endsInRandomPart(entry, prefix.size());
        });
        if (!temporary)
            continue;
        const QFileInfo file(folder.filePath(entry));
        if (file.lastModified().toUTC() < cutOff && QFile::remove(file.absoluteFilePath()))
            ++removed;
    }
    return removed;
}

bool writeFileIfChanged(const QString &path, const QByteArray &bytes, bool *wrote, QString *error)
{
    if (wrote)
        *wrote = false;
    QFile current(path);
    if (current.open(QIODevice::ReadOnly) && current.size() == bytes.size() && current.readAll() == bytes)
        return true;
    current.close();
    QDir().mkpath(QFileInfo(path).absolutePath());
    try {
        writeFileAtomically(path, bytes);
    } catch (const FileError &failure) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, failure.description());
        return false;
    }
    if (wrote)
        *wrote = true;
    return true;
}

} // namespace vellora
