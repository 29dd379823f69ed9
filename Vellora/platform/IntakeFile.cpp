#include "IntakeFile.h"

#include "PosixIO.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

namespace {

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

void setError(IntakeError *error, IntakeError::Kind kind, const QString &text)
{
    if (error)
        *error = IntakeError{kind, text};
}

// pread until `count` bytes or the end; -1 on an error.
qint64 readAt(int fd, char *buffer, qint64 count, qint64 offset)
{
    qint64 done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, buffer + done, size_t(count - done), off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

} // namespace

IntakeFile::IntakeFile(IntakeFile &&other) noexcept
    : m_fd(other.m_fd), m_size(other.m_size), m_cap(other.m_cap), m_modifiedNs(other.m_modifiedNs)
{
    other.m_fd = -1;
}

IntakeFile &IntakeFile::operator=(IntakeFile &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.m_fd;
        m_size = other.m_size;
        m_cap = other.m_cap;
        m_modifiedNs = other.m_modifiedNs;
        other.m_fd = -1;
    }
    return *this;
}

IntakeFile::~IntakeFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<IntakeFile> IntakeFile::open(const QString &path, LinkPolicy links, qint64 maxBytes, IntakeError *error)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY;
    if (links == LinkPolicy::Refuse)
        flags |= O_NOFOLLOW;
    const int fd = posix::openRetrying(QFile::encodeName(path), flags);
    if (fd < 0) {
        const int code = errno;
        if (code == ELOOP)
            setError(error, IntakeError::Kind::Link, QStringLiteral("a symbolic link"));
        else
            setError(error, IntakeError::Kind::Unopenable, errnoText(code));
        return std::nullopt;
    }
    IntakeFile file;
    file.m_fd = fd;
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        setError(error, IntakeError::Kind::Unopenable, errnoText(errno));
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        setError(error, IntakeError::Kind::NotRegular, QStringLiteral("not a regular file"));
        return std::nullopt;
    }
    if (info.st_size > maxBytes) {
        setError(error, IntakeError::Kind::TooLarge, QStringLiteral("larger than %1 MB").arg(maxBytes / (1024 * 1024)));
        return std::nullopt;
    }
    // Regular files never block; reads below are plain ones.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file.m_size = qint64(info.st_size);
    file.m_cap = maxBytes;
    file.m_modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    return file;
}

std::optional<QByteArray> IntakeFile::head(qint64 count) const
{
    if (m_fd < 0)
        return std::nullopt;
    QByteArray bytes(qsizetype(std::min(count, std::max<qint64>(m_size, 0))), Qt::Uninitialized);
    const qint64 n = readAt(m_fd, bytes.data(), bytes.size(), 0);
    if (n < 0)
        return std::nullopt;
    bytes.truncate(qsizetype(n));
    return bytes;
}

std::optional<QByteArray> IntakeFile::readAll() const
{
    if (m_fd < 0)
        return std::nullopt;
    // The size at open is a hint: the file may have changed since, and no
    // more than the cap is ever taken.
    QByteArray bytes(qsizetype(m_size), Qt::Uninitialized);
    qint64 done = readAt(m_fd, bytes.data(), m_size, 0);
    if (done < 0)
        return std::nullopt;
    bytes.truncate(qsizetype(done));
    char probe[1 << 16];
    for (;;) {
        const qint64 n = readAt(m_fd, probe, sizeof probe, done);
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        if (done + n > m_cap)
            return std::nullopt;
        bytes.append(probe, qsizetype(n));
        done += n;
    }
    return bytes;
}

bool IntakeFile::copyTo(const QString &to) const
{
    if (m_fd < 0)
        return false;
    const QByteArray target = QFile::encodeName(to);
    const int out = posix::openRetrying(target, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (out < 0)
        return false;
    bool ok = true;
    qint64 done = 0;
    char buffer[1 << 16];
    for (;;) {
        const qint64 n = readAt(m_fd, buffer, sizeof buffer, done);
        if (n < 0 || done + std::max<qint64>(n, 0) > m_cap) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (!posix::writeAll(out, buffer, n)) {
            ok = false;
            break;
        }
        done += n;
    }
    ok = (::close(out) == 0) && ok;
    if (!ok)
        ::unlink(target.constData());
    return ok;
}

std::optional<QByteArray> readIntakeFile(const QString &path, LinkPolicy links, qint64 maxBytes)
{
    const auto file = IntakeFile::open(path, links, maxBytes);
    return file ? file->readAll() : std::nullopt;
}

} // namespace vellora
