#pragma once
// Small POSIX helpers shared by the platform's file code: calls that a signal
// can interrupt are retried, and writes go on until every byte is out.

#include <QByteArray>

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace vellora::posix {

inline int openRetrying(const QByteArray &path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path.constData(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

inline bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// The bytes of a regular file of at most `cap` bytes, from a folder others may
// write into: a link in its place is not followed, and the open does not wait
// (a FIFO put there would otherwise block the reader until a writer comes).
// Nothing for anything else or when it cannot be opened.
inline std::optional<QByteArray> readRegularFile(const QByteArray &path, qint64 cap)
{
    const int fd = openRetrying(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > cap) {
        ::close(fd);
        return std::nullopt;
    }
    QByteArray data(qsizetype(info.st_size), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd, data.data() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    ::close(fd);
    data.truncate(done);
    return data;
}

} // namespace vellora::posix
